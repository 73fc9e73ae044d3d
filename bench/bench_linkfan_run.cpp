// Command runner for the kivo_linkfan benchmark: counts the command lines,
// runs them the way the program does (ip commands batched), and adds up the
// fixed pauses instead of sleeping them, so the time measured is the cycle's
// own work.
#include "linkfan_run.h"
#include "linkfan_shell.h"

#include <poll.h>

unsigned long bench_commands = 0;
unsigned long bench_paused_usec = 0;

void linkfan_run(const char *line)
{
    bench_commands++;
    linkfan_shell_run(line);
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    bench_commands++;
    return linkfan_shell_read(line, on_line, ctx);
}

void linkfan_settle(void)
{
    linkfan_shell_settle();
}

void linkfan_pause(unsigned long usec)
{
    linkfan_shell_settle();
    bench_paused_usec += usec;
}

unsigned long linkfan_wait(int, unsigned long usec)
{
    linkfan_pause(usec);
    return 0;
}

// The poll is made, without waiting, so its cost over every probe socket counts.
unsigned long linkfan_poll(struct pollfd *fds, int count, unsigned long usec)
{
    linkfan_pause(usec);
    poll(fds, static_cast<nfds_t>(count), 0);
    return 0;
}
