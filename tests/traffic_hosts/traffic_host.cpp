// A host program for the preload tests: each command exercises one side of the
// library from inside a real preloaded process and prints what it saw.
//
//   traffic_host count           every counting rule, one line per call
//   traffic_host cp              the name, LD_PRELOAD and when the thread starts
//   traffic_host threads W N S   W writer threads making N writes of S bytes
//   traffic_host mask            the report thread's blocked and pending signals
//   traffic_host fork-thread OP  when a fork child gets its report thread
//   traffic_host fork-report     a child reports the parent's unreported bytes
//   traffic_host fork-locked     fork while another thread holds global_mutex
//   traffic_host vfork           a vfork child writes before it exits
//   traffic_host end HOW         counts 100 bytes each way, then ends: "return",
//                                "exit", "_exit", "signal", or "idle" (nothing counted)
#include "traffic_inspect.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static traffic_view view;

// The fortified names, called directly: a host built with _FORTIFY_SOURCE
// reaches them through the C library's headers.
extern "C" ssize_t __read_chk(int fd, void *buf, size_t count, size_t buf_size);
extern "C" ssize_t __recv_chk(int fd, void *buf, size_t len, size_t buf_size, int flags);
extern "C" ssize_t __recvfrom_chk(int fd, void *buf, size_t len, size_t buf_size, int flags,
                                  struct sockaddr *src, socklen_t *src_len);

// Runs one call and prints its result, its errno and what it added.
template <typename Call>
static void measure(const char *name, Call call)
{
    long long send_before = traffic_load(view.send);
    long long receive_before = traffic_load(view.receive);
    errno = 0;
    long long result = call();
    int error = errno;
    traffic_say("op %s result=%lld errno=%d send=%lld receive=%lld", name, result, error,
                traffic_load(view.send) - send_before,
                traffic_load(view.receive) - receive_before);
}

// The vectored, message, splice and fortified calls, on the descriptors that
// command_count made.
static int command_count_vectored(const int stream[2], const int datagram[2],
                                  const int pipe_fds[2], int file)
{
    char buf[256];
    std::memset(buf, 'v', sizeof buf);
    struct iovec two[2] = {{buf, 60}, {buf + 60, 40}};
    struct iovec none[2] = {{buf, 0}, {buf, 0}};
    measure("writev_socket", [&] { return writev(stream[0], two, 2); });
    measure("readv_socket", [&] { return readv(stream[1], two, 2); });
    measure("writev_pipe", [&] { return writev(pipe_fds[1], two, 2); });
    measure("readv_pipe", [&] { return readv(pipe_fds[0], two, 2); });
    measure("writev_nothing", [&] { return writev(stream[0], none, 2); });
    static struct iovec too_many[IOV_MAX + 1] = {{buf, 1}};
    measure("readv_too_many", [&] { return readv(stream[1], too_many, IOV_MAX + 1); });

    struct msghdr msg = {};
    msg.msg_iov = two;
    msg.msg_iovlen = 2;
    measure("sendmsg_socket", [&] { return sendmsg(stream[0], &msg, 0); });
    measure("recvmsg_socket", [&] { return recvmsg(stream[1], &msg, 0); });
    measure("recvmsg_pipe", [&] { return recvmsg(pipe_fds[0], &msg, 0); });
    struct iovec first = {buf, 20}, second = {buf, 30};
    struct mmsghdr two_messages[2] = {};
    two_messages[0].msg_hdr.msg_iov = &first;
    two_messages[0].msg_hdr.msg_iovlen = 1;
    two_messages[1].msg_hdr.msg_iov = &second;
    two_messages[1].msg_hdr.msg_iovlen = 1;
    measure("sendmmsg_datagram", [&] { return sendmmsg(datagram[0], two_messages, 2, 0); });
    struct iovec big[2] = {{buf, 100}, {buf + 100, 100}};
    two_messages[0].msg_hdr.msg_iov = &big[0];
    two_messages[1].msg_hdr.msg_iov = &big[1];
    measure("recvmmsg_datagram",
            [&] { return recvmmsg(datagram[1], two_messages, 2, MSG_DONTWAIT, nullptr); });
    measure("recvmmsg_empty",
            [&] { return recvmmsg(datagram[1], two_messages, 2, MSG_DONTWAIT, nullptr); });

    // splice: a pipe on one side, counted by what the other side is.
    int carry[2];
    if (pipe(carry) != 0)
        return 1;
    if (syscall(SYS_write, carry[1], buf, 25) != 25)
        return 1;
    measure("splice_pipe_to_socket",
            [&] { return splice(carry[0], nullptr, stream[0], nullptr, 25, 0); });
    measure("splice_socket_to_pipe",
            [&] { return splice(stream[1], nullptr, carry[1], nullptr, 25, 0); });
    off64_t at = 0;
    measure("splice_pipe_to_file", [&] { return splice(carry[0], nullptr, file, &at, 25, 0); });

    measure("write_socket_for_chk", [&] { return write(stream[0], buf, 70); });
    measure("read_chk_socket", [&] { return __read_chk(stream[1], buf, 30, sizeof buf); });
    measure("recv_chk_socket", [&] { return __recv_chk(stream[1], buf, 40, sizeof buf, 0); });
    measure("read_chk_pipe", [&] {
        syscall(SYS_write, pipe_fds[1], buf, 10);
        return __read_chk(pipe_fds[0], buf, 10, sizeof buf);
    });
    measure("sendto_for_chk", [&] { return sendto(datagram[0], buf, 15, 0, nullptr, 0); });
    measure("recvfrom_chk_datagram", [&] {
        return __recvfrom_chk(datagram[1], buf, sizeof buf, sizeof buf, 0, nullptr, nullptr);
    });
    return 0;
}

static int command_count(void)
{
    int stream[2], eof[2], datagram[2], pipe_fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, stream) != 0 ||
        socketpair(AF_UNIX, SOCK_STREAM, 0, eof) != 0 ||
        socketpair(AF_UNIX, SOCK_DGRAM, 0, datagram) != 0 || pipe(pipe_fds) != 0)
        return 1;
    close(eof[1]);
    fcntl(stream[1], F_SETFL, O_NONBLOCK);
    char file_name[] = "/tmp/kivo-traffic-count-XXXXXX";
    char copy_name[] = "/tmp/kivo-traffic-copy-XXXXXX";
    int file = mkstemp(file_name);
    int copy = mkstemp(copy_name);
    if (file < 0 || copy < 0)
        return 1;
    unlink(file_name);
    unlink(copy_name);
    const int closed_fd = 1000;
    char buf[256];
    std::memset(buf, 'k', sizeof buf);

    measure("write_socket", [&] { return write(stream[0], buf, 100); });
    measure("read_socket", [&] { return read(stream[1], buf, 100); });
    measure("read_socket_empty", [&] { return read(stream[1], buf, 100); });
    measure("write_socket_zero", [&] { return write(stream[0], buf, 0); });
    measure("read_socket_eof", [&] { return read(eof[0], buf, 100); });
    measure("write_closed_fd", [&] { return write(closed_fd, buf, 10); });
    measure("read_closed_fd", [&] { return read(closed_fd, buf, 10); });
    measure("write_pipe", [&] { return write(pipe_fds[1], buf, 50); });
    measure("read_pipe", [&] { return read(pipe_fds[0], buf, 50); });
    measure("write_file", [&] { return write(file, buf, 30); });
    lseek(file, 0, SEEK_SET);
    measure("read_file", [&] { return read(file, buf, 30); });
    measure("send_socket", [&] { return send(stream[0], buf, 40, 0); });
    measure("recv_socket", [&] { return recv(stream[1], buf, 40, 0); });
    measure("send_zero", [&] { return send(stream[0], buf, 0, 0); });
    measure("recv_empty", [&] { return recv(stream[1], buf, 40, MSG_DONTWAIT); });
    measure("recv_eof", [&] { return recv(eof[0], buf, 40, 0); });
    measure("send_pipe", [&] { return send(pipe_fds[1], buf, 40, 0); });
    measure("sendto_datagram", [&] { return sendto(datagram[0], buf, 20, 0, nullptr, 0); });
    measure("recvfrom_datagram",
            [&] { return recvfrom(datagram[1], buf, sizeof buf, 0, nullptr, nullptr); });
    measure("sendto_closed_fd", [&] { return sendto(closed_fd, buf, 20, 0, nullptr, 0); });
    measure("recvfrom_empty", [&] {
        return recvfrom(datagram[1], buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr);
    });
    off_t offset = 0;
    measure("sendfile_file", [&] { return sendfile(copy, file, &offset, 30); });
    offset = 0;
    measure("sendfile_socket", [&] { return sendfile(stream[0], file, &offset, 30); });
    measure("read_socket_sent_file", [&] { return read(stream[1], buf, 100); });
    measure("sendfile_closed_fd", [&] { return sendfile(closed_fd, file, &offset, 30); });
    off64_t offset64 = 0;
    measure("sendfile64_socket", [&] { return sendfile64(stream[0], file, &offset64, 30); });
    measure("read_socket_sent_file64", [&] { return read(stream[1], buf, 100); });
    return command_count_vectored(stream, datagram, pipe_fds, file);
}

static int command_cp(void)
{
    const char *preload = std::getenv("LD_PRELOAD");
    traffic_say("cp=%s preload=%s tasks=%d", view.cp, preload ? "kept" : "removed",
                traffic_task_count());
    // send and recv never start the thread; read, write and sendfile do.
    int stream[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, stream) != 0)
        return 1;
    char buf[8] = {};
    if (send(stream[0], buf, sizeof buf, 0) != sizeof buf ||
        recv(stream[1], buf, sizeof buf, 0) != sizeof buf)
        return 1;
    traffic_say("after_send tasks=%d", traffic_task_count());
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0 || write(pipe_fds[1], buf, 1) != 1)
        return 1;
    traffic_say("after_write tasks=%d", traffic_task_count());
    return 0;
}

struct writer_job {
    pthread_barrier_t *start;
    int fd;
    long writes;
    size_t size;
};

struct reader_job {
    int fd;
    long long expected;
};

static void *writer_main(void *arg)
{
    writer_job *job = static_cast<writer_job *>(arg);
    char buf[4096];
    std::memset(buf, 'w', sizeof buf);
    // All writers make their first write at the same moment.
    pthread_barrier_wait(job->start);
    for (long i = 0; i < job->writes; i++)
        if (write(job->fd, buf, job->size) != static_cast<ssize_t>(job->size))
            std::_Exit(5);
    return nullptr;
}

static void *reader_main(void *arg)
{
    reader_job *job = static_cast<reader_job *>(arg);
    char buf[65536];
    long long got = 0;
    while (got < job->expected) {
        ssize_t n = read(job->fd, buf, sizeof buf);
        if (n <= 0)
            std::_Exit(6);
        got += n;
    }
    return nullptr;
}

static int command_threads(int writers, long writes, size_t size)
{
    if (writers < 1 || writers > 64 || size < 1 || size > 4096)
        return 2;
    pthread_barrier_t start;
    pthread_barrier_init(&start, nullptr, static_cast<unsigned>(writers) + 1);
    writer_job writer_jobs[64];
    reader_job reader_jobs[64];
    pthread_t writer_threads[64], reader_threads[64];
    for (int i = 0; i < writers; i++) {
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
            return 1;
        writer_jobs[i] = {&start, pair[0], writes, size};
        reader_jobs[i] = {pair[1], static_cast<long long>(writes) * static_cast<long long>(size)};
    }
    for (int i = 0; i < writers; i++)
        pthread_create(&writer_threads[i], nullptr, writer_main, &writer_jobs[i]);
    for (int i = 0; i < writers; i++)
        pthread_create(&reader_threads[i], nullptr, reader_main, &reader_jobs[i]);
    // The worst case for the start of the report thread: every writer has
    // passed the unlocked look at global_pid and waits for the lock.
    pthread_mutex_lock(view.mutex);
    pthread_barrier_wait(&start);
    struct timespec pause = {0, 200 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    pthread_mutex_unlock(view.mutex);
    for (int i = 0; i < writers; i++) {
        pthread_join(writer_threads[i], nullptr);
        pthread_join(reader_threads[i], nullptr);
    }
    traffic_say("threads send=%lld receive=%lld tasks=%d", traffic_load(view.send),
                traffic_load(view.receive), traffic_task_count());
    return 0;
}

static int command_mask(void)
{
    if (!traffic_wait_report_asleep(5000))
        return 1;
    pid_t report = traffic_other_task();
    traffic_say("mask main=%llx report=%llx", traffic_task_mask(getpid(), "SigBlk:"),
                traffic_task_mask(report, "SigBlk:"));
    return 0;
}

static ssize_t first_call(const char *op)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return -1;
    char byte = 'x';
    if (std::strcmp(op, "write") == 0)
        return write(pipe_fds[1], &byte, 1);
    if (std::strcmp(op, "read") == 0) {
        if (syscall(SYS_write, pipe_fds[1], &byte, 1) != 1)
            return -1;
        return read(pipe_fds[0], &byte, 1);
    }
    if (std::strcmp(op, "sendfile") == 0) {
        int file = open("/proc/self/exe", O_RDONLY);
        return sendfile(pipe_fds[1], file, nullptr, 1);
    }
    return -1;
}

// Waits for a child; kills it when it has not ended within timeout_ms.
static int wait_child(pid_t child, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 10) {
        int status;
        if (waitpid(child, &status, WNOHANG) == child)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return -1;
}

static int command_fork_thread(const char *op)
{
    pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        traffic_say("child after_fork tasks=%d", traffic_task_count());
        ssize_t result = first_call(op);
        traffic_say("child after_%s result=%zd tasks=%d", op, result, traffic_task_count());
        std::_Exit(0);
    }
    traffic_say("parent child_status=%d", wait_child(child, 5000));
    return 0;
}

static int command_fork_report(void)
{
    // The parent's thread must have taken its first look at the counters
    // while they were still zero, so that these bytes go out only from the child.
    if (traffic_other_task() && !traffic_wait_report_asleep(5000))
        return 1;
    int stream[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, stream) != 0)
        return 1;
    char buf[1000] = {};
    if (write(stream[0], buf, sizeof buf) != sizeof buf)
        return 1;
    pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        // Read before the task count, which takes long: the child's report
        // thread counts its own request until the agent accepts it.
        long long send = traffic_load(view.send);
        traffic_say("child tasks=%d send=%lld", traffic_task_count(), send);
        // An accepted report takes the counters back to zero.
        for (int waited = 0; waited < 10000; waited += 10) {
            if (traffic_load(view.send) == 0 && traffic_load(view.receive) == 0) {
                traffic_say("child reported");
                std::_Exit(0);
            }
            struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        traffic_say("child timeout");
        std::_Exit(1);
    }
    traffic_say("parent child_status=%d send=%lld", wait_child(child, 15000),
                traffic_load(view.send));
    return 0;
}

struct lock_holder {
    pthread_mutex_t *mutex;
    pthread_barrier_t locked;
    pthread_barrier_t release;
};

static void *hold_lock(void *arg)
{
    lock_holder *holder = static_cast<lock_holder *>(arg);
    pthread_mutex_lock(holder->mutex);
    pthread_barrier_wait(&holder->locked);
    pthread_barrier_wait(&holder->release);
    pthread_mutex_unlock(holder->mutex);
    return nullptr;
}

static int fork_child_writes(pid_t (*fork_fn)(void), const char *how)
{
    pid_t child = fork_fn();
    if (child < 0)
        return 1;
    if (child == 0) {
        // The first write of a new process id takes global_mutex.
        ssize_t result = first_call("write");
        traffic_say("child %s result=%zd tasks=%d", how, result, traffic_task_count());
        std::_Exit(0);
    }
    traffic_say("parent %s child_status=%d", how, wait_child(child, 5000));
    return 0;
}

static int command_fork_locked(void)
{
    lock_holder holder;
    holder.mutex = view.mutex;
    pthread_barrier_init(&holder.locked, nullptr, 2);
    pthread_barrier_init(&holder.release, nullptr, 2);
    pthread_t thread;
    pthread_create(&thread, nullptr, hold_lock, &holder);
    pthread_barrier_wait(&holder.locked);

    // Through the interposed fork, and through libc's own fork, which runs the
    // same fork handlers but not the library's child branch.
    int failed = fork_child_writes(fork, "interposed");
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    auto libc_fork = reinterpret_cast<pid_t (*)(void)>(libc ? dlsym(libc, "fork") : nullptr);
    if (!libc_fork)
        return 1;
    failed |= fork_child_writes(libc_fork, "libc");

    pthread_barrier_wait(&holder.release);
    pthread_join(thread, nullptr);
    return failed;
}

static const char *global_pid_is(void)
{
    pid_t pid = __atomic_load_n(view.pid, __ATOMIC_RELAXED);
    return pid == getpid() ? "self" : pid == 0 ? "zero" : "other";
}

static int command_vfork(void)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return 1;
    static const char byte = 'v';
    traffic_say("before tasks=%d global_pid=%s", traffic_task_count(), global_pid_is());
    // The child runs in this process's memory until it exits.
    pid_t child = vfork();
    if (child == 0) {
        ssize_t ignored = write(pipe_fds[1], &byte, 1);
        (void)ignored;
        _exit(0);
    }
    if (child < 0 || waitpid(child, nullptr, 0) != child)
        return 1;
    traffic_say("after_vfork tasks=%d global_pid=%s", traffic_task_count(), global_pid_is());
    if (write(pipe_fds[1], &byte, 1) != 1)
        return 1;
    traffic_say("after_write tasks=%d global_pid=%s", traffic_task_count(), global_pid_is());
    return 0;
}

// True once a thread other than the main one sleeps in clock_nanosleep or
// nanosleep: a report thread that is there has had its first round.
static bool report_thread_asleep(void)
{
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks)
        return true;
    bool asleep = false;
    pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
    int others = 0;
    for (struct dirent *task; !asleep && (task = readdir(tasks)) != nullptr;) {
        if (task->d_name[0] == '.' || std::atoi(task->d_name) == self)
            continue;
        others++;
        char path[320];
        std::snprintf(path, sizeof path, "/proc/self/task/%s/syscall", task->d_name);
        FILE *file = std::fopen(path, "r");
        if (!file)
            continue;
        long number = -1;
        if (std::fscanf(file, "%ld", &number) == 1)
            asleep = number == SYS_clock_nanosleep || number == SYS_nanosleep;
        std::fclose(file);
    }
    closedir(tasks);
    return asleep || others == 0;
}

// Counts 100 bytes each way (but for "idle"), says so, and ends as told. The
// bytes move only after a report thread started at load is asleep, so that
// its first round, which reports at once, cannot take them on a busy machine.
static int command_end(const char *how)
{
    for (int i = 0; i < 200 && !report_thread_asleep(); i++)
        usleep(10000);
    if (std::strcmp(how, "idle") != 0 && !traffic_move_over_socket(100))
        return 1;
    traffic_say("end %s send=%lld receive=%lld", how, traffic_load(view.send),
                traffic_load(view.receive));
    if (std::strcmp(how, "exit") == 0)
        std::exit(0);
    if (std::strcmp(how, "_exit") == 0)
        _exit(0);
    if (std::strcmp(how, "signal") == 0)
        raise(SIGTERM);
    return 0;
}

int main(int argc, char **argv)
{
    view = traffic_view_open();
    const char *command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "count") == 0)
        return command_count();
    if (std::strcmp(command, "cp") == 0)
        return command_cp();
    if (std::strcmp(command, "threads") == 0 && argc == 5)
        return command_threads(std::atoi(argv[2]), std::atol(argv[3]),
                               static_cast<size_t>(std::atol(argv[4])));
    if (std::strcmp(command, "mask") == 0)
        return command_mask();
    if (std::strcmp(command, "fork-thread") == 0 && argc == 3)
        return command_fork_thread(argv[2]);
    if (std::strcmp(command, "fork-report") == 0)
        return command_fork_report();
    if (std::strcmp(command, "fork-locked") == 0)
        return command_fork_locked();
    if (std::strcmp(command, "vfork") == 0)
        return command_vfork();
    if (std::strcmp(command, "end") == 0 && argc == 3)
        return command_end(argv[2]);
    std::fprintf(stderr, "usage: traffic_host count|cp|threads W N S|mask|fork-thread OP|"
                         "fork-report|fork-locked|vfork|end HOW\n");
    return 2;
}
