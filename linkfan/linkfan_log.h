// kivo_linkfan's run log, "linkfan.log", with a green copy on standard error.
#pragma once

#include <stdarg.h>
#include <stdio.h>
#include <sys/time.h>
#include <time.h>

enum {
    LINKFAN_LOG_ERROR = 3,
    LINKFAN_LOG_INFO = 6,
};

constexpr const char *kivo_log_level_str[8] = {
    "[EMERG]", "[ALERT]", "[CRIT]", "[ERROR]", "[WARNING]", "[NOTICE]", "[INFO]", "[DEBUG]",
};

// The run log; null when it could not be created.
inline FILE *log_file = nullptr;

// Opens the run log unless it is open already: created, or truncated, since
// the log tells of this run only. Says so on standard error when it cannot.
inline void linkfan_log_open(const char *name)
{
    if (log_file)
        return;
    log_file = fopen(name, "w+");
    if (!log_file)
        fprintf(stderr, "Open log file %s error!", name);
}

// Records are buffered; the cycle writes them out once per pass.
inline void linkfan_log_flush()
{
    if (log_file)
        fflush(log_file);
}

// Writes one record: "%s.%s %s: " (time, microseconds, level tag) and the
// message to log_file, and the same with a green prefix to standard error.
// Records are not flushed here; the cycle flushes the log once per pass.
[[gnu::format(printf, 2, 3)]] inline void linkfan_log(int level, const char *format, ...)
{
    if (level < 0 || level > 7)
        level = 7;
    const char *tag = kivo_log_level_str[level];
    char when[20] = {0};
    time_t now = time(nullptr);
    struct tm local_tm;
    if (localtime_r(&now, &local_tm))
        strftime(when, sizeof when, "%F %T", &local_tm);
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    char usec[16];
    snprintf(usec, sizeof usec, "%06ld", (long)tv.tv_usec);

    va_list args;
    if (log_file) {
        fprintf(log_file, "%s.%s %s: ", when, usec, tag);
        va_start(args, format);
        vfprintf(log_file, format, args);
        va_end(args);
    }
    fprintf(stderr, "\x1b[01;32m%s.%s %s: \x1b[0m", when, usec, tag);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}
