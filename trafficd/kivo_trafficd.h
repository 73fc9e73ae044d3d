// What the units of kivo_trafficd share.
#pragma once

#include <stddef.h>
#include <sys/types.h>

#include "kivo_trafficd_event.h"

struct kivo_trafficd_bpf;

// Exit statuses.
constexpr int trafficd_exit_ok = 0;
constexpr int trafficd_exit_failure = 1;  // usage, not root, a load that failed
constexpr int trafficd_exit_kernel = 2;   // the kernel lacks BPF, BTF or a tracepoint

// One process that the daemon knows of.
enum trafficd_owner {
    trafficd_own = 0,      // counted and reported here
    trafficd_library = 1,  // libkivotraffic reports it; never reported here
};

struct trafficd_process {
    unsigned int tgid;
    unsigned long long start;   // clock ticks since boot
    char name[32];              // as the reports carry it
    trafficd_owner owner;
    bool ended;
    bool preload_hint;          // "LD_PRELOAD" names libkivotraffic
    long long accepted_sent;    // what the agent accepted so far
    long long accepted_received;
};

struct trafficd_table_info {
    trafficd_process records[TRAFFICD_MAX_PROCESSES];
    int count;
    unsigned long long full;    // processes refused for want of room
};
extern trafficd_table_info trafficd_table;

// The daemon's run state.
struct trafficd_run_info {
    bool debug;
    kivo_trafficd_bpf *skel;
    int watched_fd;
    int totals_fd;
    int cpus;
    int signal_fd;   // SIGTERM and SIGINT; a reply wait ends when it is readable
    bool stopping;   // a stop signal is waiting: the cycle under way ends now
};
extern trafficd_run_info trafficd_run;

// Log lines on standard error, "kivo_trafficd: " and the text. Notes only with -d.
void trafficd_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trafficd_note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Bounded copy of a text into a fixed field, always NUL-terminated.
void trafficd_copy(char *dst, size_t size, const char *src);

// The report name for a raw "KIVO_CP" value: the library's table, else "unknown".
const char *trafficd_cp_name(const char *value);

// Kernel check: 0 when BTF, BPF tracing programs and every tracepoint in names
// are there; otherwise trafficd_exit_kernel with a one-line message in message.
int trafficd_kernel_check(const char *const *names, int count, char *message, size_t size);
// The tracepoints the daemon attaches to.
extern const char *const trafficd_tracepoints[];
extern const int trafficd_tracepoint_count;

// Loads and attaches the kernel side for the network namespace netns_inum; 0 or -1.
int trafficd_attach(unsigned int netns_inum, char *message, size_t size);

// /proc readers. Start time of a process in clock ticks since boot, 0 when it is gone.
unsigned long long trafficd_proc_start(unsigned int tgid);
// The inode of a process's network namespace (tgid 0: the daemon's own), 0 if unknown.
unsigned int trafficd_proc_netns(unsigned int tgid);
// Finds "KIVO_CP" and "LD_PRELOAD" in /proc/PID/environ; false when there is no "KIVO_CP".
bool trafficd_proc_environ(unsigned int tgid, char *cp, size_t cp_size, char *preload,
                           size_t preload_size);
// 1 libkivotraffic is mapped, 0 it is not, -1 the maps could not be read.
int trafficd_proc_has_library(unsigned int tgid);
// 1 the process runs through a dynamic loader, 0 it does not, -1 unknown.
int trafficd_proc_is_dynamic(unsigned int tgid);

// The table of processes. Adds or finds one; nullptr when the table is full.
trafficd_process *trafficd_table_add(unsigned int tgid, unsigned long long start,
                                     const char *cp, const char *preload);
trafficd_process *trafficd_table_find(unsigned int tgid, unsigned long long start);
void trafficd_table_forget(trafficd_process *proc);
// Handles one ring-buffer event.
void trafficd_table_event(const trafficd_event *event);
// Puts a process into the kernel's watched map.
void trafficd_table_watch(const trafficd_process *proc, const char *cp);
// Takes processes the kernel watches but the table lacks (events lost), and the
// processes that already ran when the daemon started.
void trafficd_table_sync(void);
void trafficd_table_scan_proc(void);
// Marks ended processes and those the library took over.
void trafficd_table_review(void);
// The process's totals as the kernel holds them, summed over the CPUs.
void trafficd_table_totals(const trafficd_process *proc, long long *sent, long long *received);

// One report cycle over the table; deadline_ms on the monotonic clock bounds it
// (0: the 5-second reply wait per attempt only).
void trafficd_report_cycle(long long deadline_ms);
long long trafficd_now_ms(void);
