// kivo_linkfan: the link record, the run log and the operations of the
// supervision cycle, shared by the program's source files.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdarg.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

// One uplink as the probe saw it. The layout is fixed (172 bytes, no padding
// between txqueuelen and pppd_time) because whole records are copied between
// the link tables and their size is part of what the tool promises.
struct [[gnu::packed]] pppoe_info {
    char pppoe_name[16];   // set only for a point-to-point interface
    char pppoe_ip[16];     // IPv4 address, dotted decimal
    char gateway[16];      // point-to-point peer, dotted decimal
    char vlan[16];         // set only for an interface that is not point-to-point
    char mac[32];          // "%02x:%02x:%02x:%02x:%02x:%02x"
    uint32_t txqueuelen;
    uint64_t pppd_time;    // carried from table to table, never probed
    char pppoe_ipv6[64];   // first IPv6 address followed by "/64"
};
static_assert(sizeof(pppoe_info) == 172, "pppoe_info must stay 172 bytes");

constexpr int LINKFAN_MAX_LINKS = 128;

// Bounded copy into a fixed-width text field: never writes past the field and
// always leaves it NUL-terminated, truncating what does not fit.
template <size_t N>
inline void linkfan_text_copy(char (&dst)[N], const char *src)
{
    size_t n = strnlen(src, N - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Bounded append to a NUL-terminated fixed-width text.
template <size_t N>
inline void linkfan_text_append(char (&dst)[N], const char *src)
{
    size_t used = strnlen(dst, N);
    if (used >= N - 1)
        return;
    size_t n = strnlen(src, N - 1 - used);
    memcpy(dst + used, src, n);
    dst[used + n] = '\0';
}

// A record counts as a ppp link only by its name; a non point-to-point
// interface has an empty pppoe_name and never counts.
inline bool linkfan_is_link(const pppoe_info &info)
{
    return strstr(info.pppoe_name, "ppp") != nullptr;
}

// --- Link probe (getinfo.cpp) ---

extern int inet_sock;

// Fills info for ifname; 0 when the interface exists, -1 (and an all-zero
// record) when it does not.
int if_fetch(const char *ifname, pppoe_info *info);

// --- Run log ---

enum {
    LINKFAN_LOG_ERROR = 3,
    LINKFAN_LOG_INFO = 6,
};

constexpr const char *kivo_log_level_str[8] = {
    "[EMERG]", "[ALERT]", "[CRIT]", "[ERROR]", "[WARNING]", "[NOTICE]", "[INFO]", "[DEBUG]",
};

// The run log, "linkfan.log"; null when it could not be created.
inline FILE *log_file = nullptr;

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

// --- Outside work (linkfan_run.cpp) ---
// Every command and every pause of the tool goes through these three, so the
// tool's effect on the system can be read, logged and checked in one place.

// Runs a command line through the shell and waits for it; the result is not
// examined by any caller, so none is returned.
void linkfan_run(const char *line);

// Formats a command line into a 512-byte buffer and runs it as linkfan_run
// does. A line that does not fit is not run at all: a cut command could act
// on something else than meant.
[[gnu::format(printf, 1, 2)]] void linkfan_runf(const char *format, ...);

// Runs a command line through the shell and hands each line of its output
// (at most 1023 bytes at a time, NUL-terminated) to on_line, stopping early
// when on_line returns nonzero. Returns that nonzero value, or 0 when the
// output ended (or the command could not be started).
int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx);

// Sleeps for the given number of microseconds.
void linkfan_pause(unsigned long usec);

// --- Command line (linkfan_options.cpp) ---

extern int g_debug;
extern int g_multipath_routing;

// 0 to go on, 1 when the usage was printed.
int kivo_parse_commandline(int argc, char *argv[]);

// --- Supervision cycle (linkfan_cycle.cpp) ---

extern pppoe_info g_array_info[LINKFAN_MAX_LINKS];
extern pppoe_info g_array_info_new[LINKFAN_MAX_LINKS];
extern int g_first;     // 1 during the first cycle
extern int g_new_ppp;   // the routing-table list must be rewritten
extern int g_chang_ip;  // a link was configured or a default route is missing

// Start-up checks, discovery and the endless cycle; returns only an exit status.
int do_main();

// Clears the tables and sets the flags as they stand before discovery.
void linkfan_cycle_init();

// Finds the links: three passes over ppp0 to ppp127 into g_array_info.
void linkfan_discover();

// One pass of the cycle, its closing pause included. 0 to go on, otherwise
// the exit status the program ends with (4 or 5).
int linkfan_cycle();

// --- Routing-table list (linkfan_rt_tables.cpp) ---

// Sets g_new_ppp when a present link is not listed; 0, or 4 when the system
// list cannot be read.
int linkfan_rt_tables_check();

// Writes "./rt_tables" and copies it over the system list; 0, or 5 when the
// working-directory file cannot be written.
int linkfan_rt_tables_rewrite();

// --- Per-link policy routing (linkfan_link_route.cpp) ---

void linkfan_link_route();

// --- Default routes (linkfan_default_route.cpp) ---

// 1 when a line of the command's output contains "default", else 0.
int find_default_gateway(const char *xshellcmd);

void linkfan_default_route_check();
void linkfan_default_route_rebuild();
