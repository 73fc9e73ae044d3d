// The report thread: every 20 seconds the counters go to the local traffic agent.
#include "kivo_traffic_internal.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int report_first_port = 49193;
constexpr int report_last_port = 49202;
constexpr int report_interval_seconds = 20;
constexpr int report_reply_wait_ms = 5000;
constexpr char report_format[] =
    "GET /api?method=traffic HTTP/1.1\nUser-Agent: libcurl\n\n"
    "{\"cp\":\"%s\", \"sb\":%lld, \"rb\":%lld}";

enum report_outcome {
    report_accepted,   // the agent took the report; stay on this port
    report_next_port,  // try the next port of the window
    report_stop,       // end this cycle; stay on this port
};

} // namespace

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

static report_outcome report_attempt(int port)
{
    // Close-on-exec: a host that execs must not hand the agent connection on.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return report_stop;

    struct sockaddr_in agent = {};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&agent), sizeof agent) != 0) {
        close(fd);
        return report_next_port;
    }

    long long sent = traffic_counter_load(&total_send_bytes);
    long long received = traffic_counter_load(&total_receive_bytes);
    char text[256];
    int len = std::snprintf(text, sizeof text, report_format, cp, sent, received);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text)
        len = static_cast<int>(std::strlen(text));

    ssize_t written = traffic_write(fd, text, static_cast<size_t>(len));
    if (written < 0) {
        if (errno == EPIPE)
            report_consume_sigpipe();
        close(fd);
        return report_stop;
    }

    // poll, not select: the host may hold descriptors numbered 1024 and above.
    struct pollfd wait = {fd, POLLIN, 0};
    if (poll(&wait, 1, report_reply_wait_ms) <= 0) {
        close(fd);
        return report_next_port;
    }
    ssize_t got = traffic_read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0)
        return report_next_port;
    if (!traffic_reply_accepted(text, static_cast<size_t>(got)))
        return report_next_port;

    // Other threads went on counting while the report was on its way. Take off
    // only what was reported plus this exchange's own bytes, which the write
    // and read above counted; storing zero would lose the rest.
    traffic_counter_sub(&total_send_bytes, sent + written);
    traffic_counter_sub(&total_receive_bytes, received + got);
    return report_accepted;
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
    // Kept from cycle to cycle, and copied into fork children with the rest.
    static int port = report_first_port;

    // Started through traffic_start_report_thread the mask is already in place;
    // this covers a caller that starts the body some other way.
    sigset_t blocked;
    traffic_async_signals(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);

    for (;;) {
        if (port > report_last_port)
            port = report_first_port;
        if (traffic_counter_load(&total_send_bytes) != 0 ||
            traffic_counter_load(&total_receive_bytes) != 0) {
            while (port <= report_last_port) {
                report_outcome outcome = report_attempt(port);
                if (outcome != report_next_port)
                    break;
                port++;
            }
        }
        sleep_full_seconds(report_interval_seconds);
    }
}
