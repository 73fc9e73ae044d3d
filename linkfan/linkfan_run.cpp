// Outside work of the program: its commands, run for real, and its pauses.
#include "linkfan_run.h"
#include "linkfan_shell.h"

#include <errno.h>
#include <time.h>

void linkfan_run(const char *line)
{
    linkfan_shell_run(line);
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    return linkfan_shell_read(line, on_line, ctx);
}

void linkfan_pause(unsigned long usec)
{
    // What was asked for is done before the tool rests.
    linkfan_shell_settle();
    struct timespec left;
    left.tv_sec = static_cast<time_t>(usec / 1000000);
    left.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    // No signal handler is installed, but a stopped and continued process
    // still sees EINTR: sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}
