// Log lines, bounded copies and the report name: the small helpers of kivo_trafficd.
#include "kivo_trafficd.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "kivo_traffic_wire.h"

trafficd_run_info trafficd_run = {false, nullptr, -1, -1, -1, -1, 0, -1, false, "", false};

static void trafficd_vlog(const char *format, va_list args)
{
    char line[512];
    vsnprintf(line, sizeof line, format, args);
    // One write per line, so lines of a journal never interleave.
    fprintf(stderr, "kivo_trafficd: %s\n", line);
    fflush(stderr);
}

void trafficd_log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    trafficd_vlog(format, args);
    va_end(args);
}

void trafficd_note(const char *format, ...)
{
    if (!trafficd_run.debug)
        return;
    va_list args;
    va_start(args, format);
    trafficd_vlog(format, args);
    va_end(args);
}

void trafficd_copy(char *dst, size_t size, const char *src)
{
    if (size == 0)
        return;
    size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
}

const char *trafficd_cp_name(const char *value)
{
    for (const traffic_cp_entry &entry : traffic_cp_table)
        if (strcmp(entry.value, value) == 0)
            return entry.name;
    return traffic_cp_unknown;
}

int trafficd_name_index(const char *name)
{
    int index = 0;
    for (const traffic_cp_entry &entry : traffic_cp_table) {
        if (strcmp(entry.name, name) == 0)
            return index;
        index++;
    }
    return trafficd_names - 1;
}

const char *trafficd_name_text(int index)
{
    if (index >= 0 && index < trafficd_names - 1)
        return traffic_cp_table[index].name;
    return traffic_cp_unknown;
}

long long trafficd_now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}
