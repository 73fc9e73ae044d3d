// Outside work: the shell commands and the pauses of kivo_linkfan.
#include "linkfan_run.h"

#include <stdio.h>
#include <string.h>

#include <errno.h>
#include <stdlib.h>
#include <time.h>

void linkfan_run(const char *line)
{
    // Results are not examined: the next cycle finds and repairs what failed.
    int status = system(line);
    (void)status;
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    FILE *out = popen(line, "r");
    if (!out)
        return 0;
    int found = 0;
    char text[1024];
    for (;;) {
        memset(text, 0, sizeof text);
        if (!fgets(text, sizeof text, out))
            break;
        found = on_line(text, ctx);
        if (found)
            break;
    }
    // pclose waits for the command, so the next one never overlaps it.
    pclose(out);
    return found;
}

void linkfan_pause(unsigned long usec)
{
    struct timespec left;
    left.tv_sec = static_cast<time_t>(usec / 1000000);
    left.tv_nsec = static_cast<long>(usec % 1000000) * 1000;
    // No signal handler is installed, but a stopped and continued process
    // still sees EINTR: sleep out the rest.
    while (nanosleep(&left, &left) != 0 && errno == EINTR)
        ;
}
