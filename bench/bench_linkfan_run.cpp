// Command runner for the kivo_linkfan benchmark: runs every command for real,
// counts them, and adds up the fixed pauses instead of sleeping them, so the
// time measured is the cycle's own work.
#include "linkfan_run.h"

#include <stdio.h>

#include <stdlib.h>

unsigned long bench_commands = 0;
unsigned long bench_paused_usec = 0;

void linkfan_run(const char *line)
{
    bench_commands++;
    int status = system(line);
    (void)status;
}

int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    bench_commands++;
    FILE *out = popen(line, "r");
    if (!out)
        return 0;
    int found = 0;
    char text[1024];
    while (!found && fgets(text, sizeof text, out))
        found = on_line(text, ctx);
    pclose(out);
    return found;
}

void linkfan_pause(unsigned long usec)
{
    bench_paused_usec += usec;
}
