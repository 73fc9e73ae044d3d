// Buffered file log: one in-memory buffer, written out rarely, rotated once.
#include "libkivo_log.h"

#include <sys/stat.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "libkivo_text.h"

libkivo_log_state libkivo_log_info = {0, "", 6, 0, 0, ""};

time_t (*libkivo_log_clock)(time_t *) = time;

namespace {

constexpr int kFlushSeconds = 30;
constexpr int kFlushLength = 6144;
constexpr off_t kRotateSize = 1048576;

void libkivo_log_set_level(int level)
{
    libkivo_log_info.level = (level >= 0 && level <= 5) ? level : 4;
}

// A path that does not fit the field is refused rather than cut: a cut name is
// another file, and the log would append to whatever lives there.
void libkivo_log_set_path(const char *directory, const char *file_name)
{
    if (directory == nullptr || file_name == nullptr)
        return;
    char path[sizeof libkivo_log_info.path];
    int n = std::snprintf(path, sizeof path, "%s/%s", directory, file_name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) {
        std::fprintf(stderr, "libkivo_log: log path %s/%s longer than %zu characters, "
                     "file logging off\n", directory, file_name, sizeof path - 1);
        libkivo_log_info.path[0] = '\0';
        return;
    }
    kivo_text_copy_field(libkivo_log_info.path, path);
}

// Local time as "%F %T".
void timestamp(char (&out)[32], time_t now)
{
    struct tm tm_now;
    if (localtime_r(&now, &tm_now) == nullptr || std::strftime(out, sizeof out, "%F %T", &tm_now) == 0)
        out[0] = '\0';
}

} // namespace

void libkivo_log_init(int console, int level, const char *directory, const char *file_name)
{
    libkivo_log_info.console = console;
    libkivo_log_info.last_flush = libkivo_log_clock(nullptr);
    libkivo_log_set_level(level);
    libkivo_log_set_path(directory, file_name);
    libkivo_log_info.length = 0;
    std::memset(libkivo_log_info.buffer, 0, sizeof libkivo_log_info.buffer);
}

void libkivo_log_init_just_for_debug(void)
{
    libkivo_log_info.console = 1;
}

void libkivo_log_record(const char *path, const char *text)
{
    if (FILE *f = std::fopen(path, "a")) {
        std::fputs(text, f);
        std::fflush(f);
        std::fclose(f);
    }
    struct stat st;
    if (stat(path, &st) != 0 || st.st_size <= kRotateSize)
        return;
    // rename(2), not a shell: any path is safe, and an older ".1" is replaced.
    // A path with no room for ".1" could not be named by the system either.
    char rotated[PATH_MAX];
    int n = std::snprintf(rotated, sizeof rotated, "%s.1", path);
    if (n < 0 || static_cast<size_t>(n) >= sizeof rotated)
        return;
    std::rename(path, rotated);
}

namespace {

constexpr const char kFilePrefix[] = "%s %s %d %s[%d]: ";
constexpr const char kConsolePrefix[] = "\033[01;32m %s %s %d %s[%d]: \033[0m";

// The file part: formats the record into the buffer and writes the buffer out
// when the period is over or too much is pending.
void buffer_record(const char *level_name, int level, const char *function, int line,
                   const char *format, va_list args)
{
    libkivo_log_state &log = libkivo_log_info;
    time_t now = libkivo_log_clock(nullptr);
    char stamp[32];
    timestamp(stamp, now);
    // length is at most 6144 here (a record that passes it is written out at
    // once), so the room is never negative and at least 2048 bytes.
    size_t room = sizeof log.buffer - static_cast<size_t>(log.length);
    char *at = log.buffer + log.length;
    int n = std::snprintf(at, room, kFilePrefix, stamp, function, line, level_name, level);
    if (n < 0)
        n = 0;
    size_t used = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
    int m = std::vsnprintf(at + used, room - used, format, args);
    if (m < 0)
        m = 0;
    // As the formatter reports it: a record cut at the end of the buffer still
    // counts whole, which pushes length past 6144 and writes the cut text out.
    log.length += n + m;
    if (log.last_flush + kFlushSeconds < now || log.length > kFlushLength) {
        log.last_flush = now;
        log.length = 0;
        libkivo_log_record(log.path, log.buffer);
    }
}

// The console part: one write per record, so lines from other writers on the
// same standard error do not land inside it.
void echo_record(const char *level_name, int level, const char *function, int line,
                 const char *format, va_list args)
{
    char stamp[32];
    timestamp(stamp, libkivo_log_clock(nullptr));
    char text[8192];
    int n = std::snprintf(text, sizeof text, kConsolePrefix, stamp, function, line, level_name, level);
    if (n < 0)
        return;
    va_list again;
    va_copy(again, args);
    int m = static_cast<size_t>(n) < sizeof text
                ? std::vsnprintf(text + n, sizeof text - n, format, args)
                : -1;
    if (m >= 0 && static_cast<size_t>(n) + m < sizeof text) {
        std::fputs(text, stderr);
    } else {
        // Too long for one piece: print it in two, never cut.
        std::fprintf(stderr, kConsolePrefix, stamp, function, line, level_name, level);
        std::vfprintf(stderr, format, again);
    }
    va_end(again);
}

} // namespace

void libkivo_log_write_at(const char *level_name, int level, const char *function, int line,
                          const char *format, ...)
{
    va_list args;
    if (libkivo_log_info.level <= level) {
        va_start(args, format);
        buffer_record(level_name, level, function, line, format, args);
        va_end(args);
    }
    if (libkivo_log_info.console) {
        va_start(args, format);
        echo_record(level_name, level, function, line, format, args);
        va_end(args);
    }
}
