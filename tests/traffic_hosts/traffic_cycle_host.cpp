// A host program that drives the report thread one cycle at a time.
//
// It defines sleep and connect itself, and exports them, so the library's calls
// reach these first: the library stays exactly as shipped, only the host around
// it is instrumented. sleep prints "sleep N" and waits until the test says
// "wake K" (K becomes sleep's result, the seconds "left over"); connect can be
// told to shut the next report connection's sending side.
//
// Commands on standard input, one per line; each prints one line:
//   send N      N bytes written to a socket        -> "sent N"
//   recv N      N bytes read from a socket         -> "received N"
//   counters                                       -> "counters send=S receive=R"
//   wake K      ends the pending sleep with K      -> (the next "sleep" line)
//   fds N       holds descriptors up to N          -> "fds lowest_free=F"
//   shut-next   the next report write meets a shut connection -> "shut armed"
//   pending     the report thread's pending signals -> "pending report=HEX"
#include "traffic_inspect.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

static traffic_view view;
static pthread_mutex_t wake_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake_cond = PTHREAD_COND_INITIALIZER;
static bool wake_posted = false;
static unsigned int wake_result = 0;
static pid_t sleeper_tid = 0;
static bool shut_next = false;

extern "C" unsigned int sleep(unsigned int seconds)
{
    pthread_mutex_lock(&wake_lock);
    sleeper_tid = static_cast<pid_t>(syscall(SYS_gettid));
    traffic_say("sleep %u", seconds);
    while (!wake_posted)
        pthread_cond_wait(&wake_cond, &wake_lock);
    wake_posted = false;
    unsigned int result = wake_result;
    pthread_mutex_unlock(&wake_lock);
    return result;
}

extern "C" int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    static auto next = reinterpret_cast<int (*)(int, const struct sockaddr *, socklen_t)>(
        dlsym(RTLD_NEXT, "connect"));
    int result = next(fd, address, length);
    if (result == 0 && __atomic_exchange_n(&shut_next, false, __ATOMIC_SEQ_CST))
        shutdown(fd, SHUT_WR);
    return result;
}

int main()
{
    view = traffic_view_open();
    int stream[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, stream) != 0)
        return 1;
    static char buf[65536];
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        char word[32] = "";
        long value = 0;
        if (std::sscanf(line, "%31s %ld", word, &value) < 1)
            continue;
        size_t amount = value > 0 && value <= static_cast<long>(sizeof buf)
                            ? static_cast<size_t>(value) : 0;
        if (std::strcmp(word, "send") == 0) {
            ssize_t n = write(stream[0], buf, amount);
            // Drained past the library, so only the sending side is counted.
            syscall(SYS_read, stream[1], buf, amount);
            traffic_say("sent %zd", n);
        } else if (std::strcmp(word, "recv") == 0) {
            syscall(SYS_write, stream[1], buf, amount);
            traffic_say("received %zd", read(stream[0], buf, amount));
        } else if (std::strcmp(word, "counters") == 0) {
            traffic_say("counters send=%lld receive=%lld", traffic_load(view.send),
                        traffic_load(view.receive));
        } else if (std::strcmp(word, "wake") == 0) {
            pthread_mutex_lock(&wake_lock);
            wake_result = static_cast<unsigned int>(value);
            wake_posted = true;
            pthread_cond_signal(&wake_cond);
            pthread_mutex_unlock(&wake_lock);
        } else if (std::strcmp(word, "fds") == 0) {
            struct rlimit limit = {4096, 4096};
            setrlimit(RLIMIT_NOFILE, &limit);
            int fd = 0;
            while (fd >= 0 && fd < value)
                fd = open("/dev/null", O_RDONLY);
            int lowest = open("/dev/null", O_RDONLY);
            close(lowest);
            traffic_say("fds lowest_free=%d", lowest);
        } else if (std::strcmp(word, "shut-next") == 0) {
            __atomic_store_n(&shut_next, true, __ATOMIC_SEQ_CST);
            traffic_say("shut armed");
        } else if (std::strcmp(word, "pending") == 0) {
            pthread_mutex_lock(&wake_lock);
            pid_t tid = sleeper_tid;
            pthread_mutex_unlock(&wake_lock);
            traffic_say("pending report=%llx", traffic_task_mask(tid, "SigPnd:"));
        }
    }
    return 0;
}
