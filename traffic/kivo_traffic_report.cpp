// The report thread: every 20 seconds the counters go to the local traffic
// agent; and the last report of a process that exits normally.
#include "kivo_traffic_internal.h"
#include "kivo_traffic_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

enum report_outcome {
    report_accepted,   // the agent took the report; stay on this port
    report_next_port,  // try the next port of the window
    report_stop,       // end this cycle; stay on this port
};

// How an attempt is made. The report thread counts its own exchange through
// the library's write and read and waits 5 s for the reply. The last report
// runs in the host's exiting thread: it must raise no SIGPIPE there, and it
// ends at its deadline.
struct report_way {
    bool last;
    long long deadline_ms;  // on the monotonic clock; the last report only
};

} // namespace

// The port tried first in the next attempt. It lives for the whole process and
// is copied into fork children with the rest.
static int port = report_first_port;

// Held by whoever is reporting: the report thread for one cycle, and for good
// by the last report, so that no report goes out after it and no counts go out
// twice.
static pthread_mutex_t report_lock = PTHREAD_MUTEX_INITIALIZER;

void traffic_report_lock_reset(void)
{
    // A fork child has no report thread; a copy locked by its parent's is free.
    pthread_mutex_init(&report_lock, nullptr);
}

static long long report_now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Milliseconds left for this attempt's waits: 5 s for the report thread, what
// remains of the deadline for the last report.
static int report_wait_ms(const report_way &way)
{
    if (!way.last)
        return report_reply_wait_ms;
    long long left = way.deadline_ms - report_now_ms();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The write raised SIGPIPE for this thread, where it is blocked; take it off
// the thread's pending set so it never reaches the host.
static void report_consume_sigpipe(void)
{
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    struct timespec no_wait = {0, 0};
    sigtimedwait(&pipe_only, nullptr, &no_wait);
}

// Waits for the reply; a signal taken by the host's exiting thread does not
// cut the wait short.
static bool report_wait_reply(int fd, const report_way &way)
{
    for (;;) {
        struct pollfd wait = {fd, POLLIN, 0};
        int ready = poll(&wait, 1, report_wait_ms(way));
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR || report_wait_ms(way) == 0)
            return false;
    }
}

static report_outcome report_attempt(int to_port, const report_way &way)
{
    // Close-on-exec: a host that execs must not hand the agent connection on.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return report_stop;
    // The last report bounds its connect by what is left of its deadline.
    if (traffic_agent_connect(fd, to_port, way.last ? report_wait_ms(way) : -1) != 0) {
        close(fd);
        return report_next_port;
    }

    long long sent = traffic_counter_load(&traffic_send_total);
    long long received = traffic_counter_load(&traffic_receive_total);
    char text[256];
    int len = std::snprintf(text, sizeof text, report_format, traffic_cp, sent, received);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text)
        len = static_cast<int>(std::strlen(text));

    // Nothing is counted after the last report, so its own bytes are not.
    ssize_t written =
        way.last ? traffic_call_next(&traffic_real_send, "send", fd,
                                     static_cast<const void *>(text), static_cast<size_t>(len),
                                     MSG_NOSIGNAL)
                 : traffic_write(fd, text, static_cast<size_t>(len));
    if (written < 0) {
        if (!way.last && errno == EPIPE)
            report_consume_sigpipe();
        close(fd);
        return report_stop;
    }

    // poll, not select: the host may hold descriptors numbered 1024 and above.
    if (!report_wait_reply(fd, way)) {
        close(fd);
        return report_next_port;
    }
    ssize_t got = way.last ? traffic_call_next(&traffic_real_recv, "recv", fd,
                                               static_cast<void *>(text), sizeof text - 1,
                                               MSG_DONTWAIT)
                           : traffic_read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return report_next_port;
    if (!traffic_reply_accepted(text, static_cast<size_t>(got)))
        return report_next_port;

    // Other threads went on counting while the report was on its way. Take off
    // only what was reported plus this exchange's own counted bytes; storing
    // zero would lose the rest.
    long long own_sent = way.last ? 0 : written;
    long long own_received = way.last ? 0 : got;
    traffic_counter_sub(&traffic_send_total, sent + own_sent);
    traffic_counter_sub(&traffic_receive_total, received + own_received);
    return report_accepted;
}

static bool report_counted_anything(void)
{
    return traffic_counter_load(&traffic_send_total) != 0 ||
           traffic_counter_load(&traffic_receive_total) != 0;
}

bool traffic_report_last(int deadline_ms)
{
    // A report thread in the middle of a cycle holds the lock (for up to 5 s
    // per port when an agent is silent); the exit does not wait for it.
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    report_way way = {true, until.tv_sec * 1000LL + until.tv_nsec / 1000000 + deadline_ms};
    until.tv_sec += deadline_ms / 1000;
    until.tv_nsec += static_cast<long>(deadline_ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    if (pthread_mutex_clocklock(&report_lock, CLOCK_MONOTONIC, &until) != 0)
        return false;
    // The lock is never given back: the process is ending.
    if (!report_counted_anything())
        return false;
    // The whole window once, from the port that took the last report.
    if (port > report_last_port)
        port = report_first_port;
    int start = port;
    for (int i = 0; i <= report_last_port - report_first_port; i++) {
        if (report_wait_ms(way) == 0)
            return false;
        int to_port = start + i;
        if (to_port > report_last_port)
            to_port -= report_last_port - report_first_port + 1;
        report_outcome outcome = report_attempt(to_port, way);
        if (outcome == report_accepted) {
            port = to_port;
            return true;
        }
        if (outcome == report_stop)
            return false;
    }
    return false;
}

extern "C" KIVO_TRAFFIC_EXPORT void sleep_full_seconds(int seconds)
{
    if (seconds <= 0)
        return;
    // sleep returns the seconds it did not sleep when a signal cut it short.
    unsigned int left = static_cast<unsigned int>(seconds);
    while (left > 0)
        left = sleep(left);
}

extern "C" KIVO_TRAFFIC_EXPORT void *calc_traffic_thread(void *)
{
    // Started through traffic_start_report_thread the mask is already in place;
    // this covers a caller that starts the body some other way.
    sigset_t blocked;
    traffic_async_signals(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    const report_way way = {false, 0};
    for (;;) {
        pthread_mutex_lock(&report_lock);
        if (port > report_last_port)
            port = report_first_port;
        if (report_counted_anything()) {
            while (port <= report_last_port) {
                report_outcome outcome = report_attempt(port, way);
                if (outcome != report_next_port)
                    break;
                port++;
            }
        }
        pthread_mutex_unlock(&report_lock);
        sleep_full_seconds(report_interval_seconds);
    }
}
