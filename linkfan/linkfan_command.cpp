// Command lines formatted from link fields, run through the command runner.
#include "linkfan_log.h"
#include "linkfan_run.h"

#include <stdarg.h>
#include <stdio.h>

void linkfan_runf(const char *format, ...)
{
    static char line[512];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof line) {
        linkfan_log(LINKFAN_LOG_ERROR, "command too long, not run: %s\n", line);
        return;
    }
    linkfan_run(line);
}
