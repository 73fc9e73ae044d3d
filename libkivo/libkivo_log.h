// Buffered file log of kivo_ddns: records collect in memory and go to the log
// file in one append at most every 30 seconds or when more than 6144 characters
// are pending; a file grown beyond 1 MiB is moved aside to path ".1". Every
// record can also be echoed, in green, on standard error.
#pragma once

#include <cstdint>
#include <ctime>

// The one log state of the process.
struct libkivo_log_state {
    int32_t console;    // nonzero: every record is echoed on standard error
    char path[256];     // log file; empty: records are dropped at write-out
    int32_t level;      // a record is buffered only if its level is at least this
    int64_t last_flush; // seconds since the epoch of the last write-out
    int32_t length;     // characters put into buffer since the last write-out
    char buffer[8192];  // pending records, NUL-terminated
};

extern libkivo_log_state libkivo_log_info;

// Where the log takes the time from; time() unless a test puts its own clock here.
extern time_t (*libkivo_log_clock)(time_t *);

// Console flag, threshold (0 to 5, anything else becomes 4), directory and file
// name of the log file. Starts the 30-second write-out period now.
void libkivo_log_init(int console, int level, const char *directory, const char *file_name);

// Echoes every record on standard error; leaves file logging as it is (off at start).
void libkivo_log_init_just_for_debug(void);

// Appends text to the file at path, then moves the file to path ".1" (replacing
// an older one) once it is larger than 1048576 bytes.
void libkivo_log_record(const char *path, const char *text);

// One record: what libkivo_log_write expands to. The record is the prefix
// "%s %s %d %s[%d]: " (local time "%F %T", function, line, level name, level)
// followed by the message; the console copy shows the prefix in green.
void libkivo_log_write_at(const char *level_name, int level, const char *function, int line,
                          const char *format, ...) __attribute__((format(printf, 5, 6)));

// Writes one record with the caller's function name and source line:
//   libkivo_log_write("INFO", 1, "interval: %d\n", interval);
// The message carries its own line end; the log adds none.
#define libkivo_log_write(level_name, level, ...) \
    libkivo_log_write_at((level_name), (level), __func__, __LINE__, __VA_ARGS__)
