// Reports to the local traffic agent: per process, the bytes since the agent's
// last accepted report, in the library's very format, port walk and reply check.
#include "kivo_trafficd.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kivo_traffic_wire.h"

namespace {

enum report_outcome {
    report_accepted,   // the agent took the report; stay on this port
    report_next_port,  // try the next port of the window
    report_stop,       // end this cycle; stay on this port
};

} // namespace

// The port tried first in the next attempt, for every process alike.
static int port = report_first_port;
// Whether the last cycle reached an agent, so that an agent going away or
// coming back is logged once, not every cycle.
static bool agent_lost = false;

// Milliseconds this attempt may still wait: 5 s, or less near the deadline.
static int report_wait_ms(long long deadline_ms)
{
    if (deadline_ms == 0)
        return report_reply_wait_ms;
    long long left = deadline_ms - trafficd_now_ms();
    if (left <= 0)
        return 0;
    return left < report_reply_wait_ms ? static_cast<int>(left) : report_reply_wait_ms;
}

// Waits until fd is ready for events (a reply, a connect done), or has failed.
// A stop signal ends the wait, so that a silent agent or one whose backlog is
// full cannot hold the stop up; the last cycle then runs against its
// deadline. Address news are taken meanwhile, so a slow agent delays no
// link's change.
static bool report_wait(int fd, short events, long long deadline_ms)
{
    long long until = trafficd_now_ms() + report_wait_ms(deadline_ms);
    for (;;) {
        bool last = deadline_ms != 0 || trafficd_run.signal_fd < 0;
        struct pollfd wait[3] = {{fd, events, 0},
                                 {last ? -1 : trafficd_run.signal_fd, POLLIN, 0},
                                 {trafficd_links.news_fd, POLLIN, 0}};
        long long left = until - trafficd_now_ms();
        int ready = poll(wait, 3, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0 && (wait[0].revents & (events | POLLERR | POLLHUP)))
            return true;
        if (ready > 0 && (wait[1].revents & POLLIN)) {
            trafficd_run.stopping = true;
            return false;
        }
        if (ready > 0 && wait[2].revents != 0) {
            trafficd_links_read();
            continue;
        }
        if (ready > 0 || left <= 0 || (ready < 0 && errno != EINTR))
            return false;
    }
}

// Connects fd, which does not block, to the agent's port, within the wait an
// attempt has; 0 or -1.
static int report_connect(int fd, int to_port, long long deadline_ms)
{
    if (traffic_agent_connect(fd, to_port, -1) == 0)
        return 0;
    int error = 0;
    socklen_t size = sizeof error;
    if (errno != EINPROGRESS || !report_wait(fd, POLLOUT, deadline_ms) ||
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return -1;
    return error == 0 ? 0 : -1;
}

static report_outcome report_attempt(int to_port, const trafficd_process *proc, long long sent,
                                     long long received, long long deadline_ms)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return report_stop;
    // A connect that a stop cut short says nothing of the agent either.
    if (report_connect(fd, to_port, deadline_ms) != 0) {
        close(fd);
        return trafficd_run.stopping && deadline_ms == 0 ? report_stop : report_next_port;
    }

    char text[256];
    int len = snprintf(text, sizeof text, report_format, proc->name, sent, received);
    if (len < 0 || static_cast<size_t>(len) >= sizeof text)
        len = static_cast<int>(strlen(text));
    // One send, as the library's one write (a report fits the empty socket's
    // buffer); an agent that closed raises no SIGPIPE.
    ssize_t written = send(fd, text, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (written < 0) {
        close(fd);
        return report_stop;
    }
    if (!report_wait(fd, POLLIN, deadline_ms)) {
        close(fd);
        trafficd_metrics_report(proc->name_index, trafficd_no_answer);
        // A wait that a stop cut short says nothing of the agent: the last
        // cycle tries the same port again.
        return trafficd_run.stopping && deadline_ms == 0 ? report_stop : report_next_port;
    }
    ssize_t got = recv(fd, text, sizeof text - 1, MSG_DONTWAIT);
    close(fd);
    if (got <= 0) {
        trafficd_metrics_report(proc->name_index, trafficd_no_answer);
        return report_next_port;
    }
    if (!traffic_reply_accepted(text, static_cast<size_t>(got))) {
        trafficd_metrics_report(proc->name_index, trafficd_refused);
        return report_next_port;
    }
    trafficd_metrics_report(proc->name_index, trafficd_accepted);
    return report_accepted;
}

// Reports one process; false when the cycle must end (no agent took it).
static bool report_process(trafficd_process *proc, long long deadline_ms)
{
    long long sent = proc->counted_sent - proc->accepted_sent;
    long long received = proc->counted_received - proc->accepted_received;
    if (sent <= 0 && received <= 0)
        return true;
    while (port <= report_last_port) {
        if (deadline_ms != 0 && report_wait_ms(deadline_ms) == 0)
            return false;
        if (deadline_ms == 0 && trafficd_run.stopping)
            return false;
        // Attempts take up to 10 s each: the file is kept fresh between them.
        trafficd_metrics_refresh();
        report_outcome outcome = report_attempt(port, proc, sent, received, deadline_ms);
        if (outcome == report_accepted) {
            proc->accepted_sent += sent;
            proc->accepted_received += received;
            trafficd_table_mark(proc);
            trafficd_note("pid %u: cp=%s sb=%lld rb=%lld accepted on port %d", proc->tgid,
                          proc->name, sent, received, port);
            return true;
        }
        if (outcome == report_stop)
            return false;
        port++;
    }
    return false;
}

void trafficd_report_cycle(long long deadline_ms)
{
    if (port > report_last_port)
        port = report_first_port;
    bool reached = true;
    for (int i = 0; i < trafficd_table.count; i++) {
        trafficd_process *proc = &trafficd_table.records[i];
        if (proc->owner == trafficd_library) {
            if (proc->ended) {
                trafficd_table_forget(proc);
                i--;
            }
            continue;
        }
        if (reached && !report_process(proc, deadline_ms))
            reached = false;
        // An ended process whose last bytes the agent took is forgotten; nothing
        // counts into its totals any more, and its name's sums keep them.
        if (reached && proc->ended && proc->counted_sent == proc->accepted_sent &&
            proc->counted_received == proc->accepted_received) {
            trafficd_table_forget(proc);
            i--;
        }
    }
    if (!reached && !agent_lost)
        trafficd_log("no traffic agent took a report on 127.0.0.1 ports %d to %d; "
                     "the bytes wait for the next cycle",
                     report_first_port, report_last_port);
    if (reached && agent_lost)
        trafficd_log("the traffic agent takes reports again");
    agent_lost = !reached;
}
