// What the units of kivo_trafficd share.
#pragma once

#include <net/if.h>
#include <stddef.h>
#include <sys/types.h>

#include "kivo_traffic_wire.h"
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
    int name_index;             // of name in the metrics' names
    trafficd_owner owner;
    bool ended;
    bool preload_hint;          // "LD_PRELOAD" names libkivotraffic
    long long counted_sent;     // the kernel's totals when last read, over every link
    long long counted_received;
    unsigned long long link_sent[TRAFFICD_LINKS];  // the same per link
    unsigned long long link_received[TRAFFICD_LINKS];
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
    int faults_fd;
    int cpus;
    int signal_fd;   // SIGTERM and SIGINT; a reply wait ends when it is readable
    bool stopping;   // a stop signal is waiting: the cycle under way ends now
};
extern trafficd_run_info trafficd_run;

// The report names the metrics know: the library's table, then "unknown".
constexpr int trafficd_names =
    static_cast<int>(sizeof traffic_cp_table / sizeof traffic_cp_table[0]) + 1;

// How an attempt that reached an agent ended.
enum trafficd_outcome {
    trafficd_accepted = 0,
    trafficd_refused = 1,    // a reply that does not accept the report
    trafficd_no_answer = 2,  // no reply within the wait, or the connection closed
    trafficd_outcomes = 3,
};

// What one report name has done since the daemon started: its processes'
// bytes per link, folded in as the kernel's totals grew, so that a process
// that ended and was forgotten keeps its share.
struct trafficd_name_sums {
    bool seen;                         // a process of this name was counted here
    bool link_seen[TRAFFICD_LINKS];    // ... and counted bytes over this link
    unsigned long long sent[TRAFFICD_LINKS];
    unsigned long long received[TRAFFICD_LINKS];
    unsigned long long reports[trafficd_outcomes];
};

// The metrics file (--metrics) and what it shows.
struct trafficd_metrics_info {
    char file[4096];  // empty: no file is written
    trafficd_name_sums names[trafficd_names];
    // The failure last logged (its step and errno), so that a cause is logged
    // once, not every cycle; step 0 when the last write succeeded.
    int failed_step;
    int failed_errno;
};
extern trafficd_metrics_info trafficd_metrics;

// The links bytes are counted for, and the local addresses that the kernel
// side maps to them, kept from the kernel's address table.
struct trafficd_address_entry {
    trafficd_address address;
    unsigned int ifindex;
    unsigned int link;
    bool seen;  // in the dump under way
};

struct trafficd_links_info {
    char names[TRAFFICD_LINKS][IFNAMSIZ];  // "other", "lo", then interfaces as first seen
    int name_count;
    // An address held by two interfaces counts for the one that took it last,
    // the last of them here.
    trafficd_address_entry addresses[TRAFFICD_MAX_ADDRESSES];
    int address_count;
    int news_fd;  // the kernel's address news; -1 without
    int map_fd;   // the kernel side's links map
    unsigned long long addresses_full;  // addresses left unmapped for want of room
    unsigned long long names_full;      // interfaces counted as other for want of numbers
};
extern trafficd_links_info trafficd_links;

// Log lines on standard error, "kivo_trafficd: " and the text. Notes only with -d.
void trafficd_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void trafficd_note(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Bounded copy of a text into a fixed field, always NUL-terminated.
void trafficd_copy(char *dst, size_t size, const char *src);

// The report name for a raw "KIVO_CP" value: the library's table, else "unknown".
const char *trafficd_cp_name(const char *value);
// The index of a report name among the metrics' names ("unknown" for any other).
int trafficd_name_index(const char *name);
const char *trafficd_name_text(int index);

// Kernel check: 0 when BTF, BPF tracing programs and every tracepoint in names
// are there; otherwise trafficd_exit_kernel with a one-line message in message.
int trafficd_kernel_check(const char *const *names, int count, char *message, size_t size);
// The tracepoints the daemon attaches to.
extern const char *const trafficd_tracepoints[];
extern const int trafficd_tracepoint_count;

// Loads and attaches the kernel side for the network namespace netns_inum; 0 or -1.
int trafficd_attach(unsigned int netns_inum, char *message, size_t size);
// Reads the kernel's address table into the links map (map_fd) and opens its
// news; 0, or -1 with a message (bytes then count as lo or other).
int trafficd_links_open(int map_fd, char *message, size_t size);
// Takes the address news waiting, so the links map follows the kernel's table.
void trafficd_links_read(void);
// The kernel side's failure counters (zeros before the load).
void trafficd_kernel_faults(unsigned long long counts[TRAFFICD_FAULTS]);

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
// Reads the kernel's totals of every process counted here, per link, into
// link_sent and link_received (counted_sent and counted_received their sums),
// and adds what they grew by to their names' sums.
void trafficd_table_fold(void);

// One report cycle over the table, with the totals trafficd_table_fold read;
// deadline_ms on the monotonic clock bounds it (0: the 5-second reply wait per
// attempt only).
void trafficd_report_cycle(long long deadline_ms);
long long trafficd_now_ms(void);

// The metrics file. Sets the file's name; false when it is empty or too long.
bool trafficd_metrics_set_file(const char *file);
// Adds a process's growth over a link to its name's sums (and marks both seen).
void trafficd_metrics_count(int name_index, unsigned int link, unsigned long long sent,
                            unsigned long long received);
void trafficd_metrics_report(int name_index, trafficd_outcome outcome);
// Writes the whole file anew, when there is one; a failure is logged once per cause.
void trafficd_metrics_write(void);
