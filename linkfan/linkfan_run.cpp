// Outside work of the program: its commands, run for real, and its pauses.
#include "linkfan_run.h"
#include "linkfan_shell.h"

#include <errno.h>
#include <poll.h>
#include <time.h>

void linkfan_run(const char *line)
{
    linkfan_shell_run(line);
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    return linkfan_shell_read(line, on_line, ctx);
}

void linkfan_settle(void)
{
    linkfan_shell_settle();
}

void linkfan_pause(unsigned long usec)
{
    // What was asked for is done before the tool rests.
    linkfan_shell_settle();
    struct timespec left;
    left.tv_sec = static_cast<time_t>(usec / 1000000);
    left.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    // The one signal handler (a stop's, with --metrics) never returns, but a
    // stopped and continued process still sees EINTR: sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}

unsigned long linkfan_wait(int fd, unsigned long usec)
{
    struct pollfd watch = {fd, POLLIN, 0};
    return linkfan_poll(&watch, 1, usec);
}

unsigned long linkfan_poll(struct pollfd *fds, int count, unsigned long usec)
{
    linkfan_shell_settle();
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    // Rounded up, so the wait never ends short of its time without news.
    int ms = static_cast<int>((usec + 999) / 1000);
    int ready = poll(fds, static_cast<nfds_t>(count), ms);
    if (ready == 0)
        return 0;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long spent = (now.tv_sec - start.tv_sec) * 1000000LL + (now.tv_nsec - start.tv_nsec) / 1000;
    if (spent >= static_cast<long long>(usec))
        return ready > 0 ? 1 : 0;
    // A signal (ready < 0) also ends up here: the caller looks and waits on.
    return usec - static_cast<unsigned long>(spent);
}
