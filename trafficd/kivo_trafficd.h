// What the units of kivo_trafficd share.
#pragma once

#include <net/if.h>
#include <stddef.h>
#include <sys/types.h>

#include "kivo_textfile.h"
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
    unsigned long long watched_full;  // processes the kernel's watched map refused here
};
extern trafficd_table_info trafficd_table;

// The daemon's run state.
struct trafficd_run_info {
    bool debug;
    kivo_trafficd_bpf *skel;
    int watched_fd;
    int totals_fd;
    int marks_fd;
    int faults_fd;
    int cpus;
    int signal_fd;   // SIGTERM and SIGINT; a reply wait ends when it is readable
    bool stopping;   // a stop signal is waiting: the cycle under way ends now
    char pin_folder[128];  // its maps in bpffs; empty when nothing is pinned
    bool took_over;        // the maps are those a daemon before left
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

// The link names the metrics keep a series for: every name a link slot had
// since the daemon started, so a link that went away keeps its counters.
constexpr int trafficd_series = 256;

// What one report name has done since the daemon started: its processes'
// bytes per link name, folded in as the kernel's totals grew, so that a
// process that ended and was forgotten, or a link that went away, keeps its share.
struct trafficd_name_sums {
    bool seen;                         // a process of this name was counted here
    bool link_seen[trafficd_series];   // ... and counted bytes over this link
    unsigned long long sent[trafficd_series];
    unsigned long long received[trafficd_series];
    unsigned long long reports[trafficd_outcomes];
};

// The metrics file (--metrics) and what it shows.
struct trafficd_metrics_info {
    kivo_textfile_record file;  // no path: no file is written
    long long written_ms;       // when it was last written, on the monotonic clock
    trafficd_name_sums names[trafficd_names];
};
extern trafficd_metrics_info trafficd_metrics;

// The links bytes are counted for, and the local addresses that the kernel
// side maps to them, kept from the kernel's address table.
struct trafficd_address_entry {
    trafficd_address address;
    unsigned int ifindex;
    unsigned int link;  // other: its interface has no slot (link-local addresses only)
    bool seen;          // in the dump under way
};

// A link number of the kernel side. "other" and "lo" are fixed; the others
// go to interfaces as they first hold an address that is not link-local, and
// come free once the interface is gone and its bytes are in the metrics.
enum trafficd_slot_state {
    trafficd_slot_free = 0,
    trafficd_slot_live = 1,  // its interface exists
    trafficd_slot_gone = 2,  // its interface went away; freed at the next fold
};

struct trafficd_link_slot {
    char name[IFNAMSIZ];
    unsigned int ifindex;
    trafficd_slot_state state;
    unsigned long long gone_fold;  // the folds done when its interface went away
    int series;                    // its name's series in the metrics
};

struct trafficd_links_info {
    trafficd_link_slot slots[TRAFFICD_LINKS];
    // The slots that ever counted bytes here, so the totals of each are read.
    bool used[TRAFFICD_LINKS];
    // "other", "lo", then every name a slot had, as first seen.
    char series[trafficd_series][IFNAMSIZ];
    int series_count;
    // An address held by two interfaces counts for the one that took it last,
    // the last of them here.
    trafficd_address_entry addresses[TRAFFICD_MAX_ADDRESSES];
    int address_count;
    int news_fd;  // the kernel's address news; -1 without
    int map_fd;   // the kernel side's links map
    int devices_fd;  // ... and its devices map
    bool dump_wanted;  // the table must be read again whole (a dump failed)
    unsigned long long folds;           // report cycles that read every total
    // Addresses left unmapped for want of room, each counted once however
    // often its news repeat: they are kept here while they last (as many as
    // the table holds).
    trafficd_address_entry refused[TRAFFICD_MAX_ADDRESSES];
    int refused_count;
    unsigned long long addresses_full;  // addresses left unmapped for want of room
    unsigned long long names_full;      // interfaces counted as other for want of slots
    unsigned long long series_full;     // link names shown as other for want of series
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

// Where bpffs is mounted; the maps are pinned in kivo_trafficd/netN under it.
constexpr char trafficd_pin_root[] = "/sys/fs/bpf";

// Holds the network namespace netns_inum for as long as the daemon runs, and
// makes its folder in bpffs: 0, 1 without bpffs (nothing is pinned), -1 with
// a message when another daemon holds the namespace.
int trafficd_namespace_hold(unsigned int netns_inum, char *message, size_t size);
// Loads and attaches the kernel side for the network namespace netns_inum,
// with the maps that a daemon before left pinned in its folder when
// there are; 0 or -1.
int trafficd_attach(unsigned int netns_inum, char *message, size_t size);
// Reads the kernel's address table into the links map (map_fd), and the slots
// of interfaces into the devices map (devices_fd), and opens its news; 0, or
// -1 with a message (bytes then count as lo or other).
int trafficd_links_open(int map_fd, int devices_fd, char *message, size_t size);
// Takes the address news waiting, so the links map follows the kernel's table;
// reads the whole table again when news were lost or a reading failed.
void trafficd_links_read(void);
// A fold read every process's totals: slots whose interface went away before
// it are free again.
void trafficd_links_folded(void);
// One reading of the kernel's whole address table, fed the replies as they
// arrive: part gives 1 while more are to come, 0 at the end of a whole one,
// -1 for an error or a reading the kernel says was interrupted by a change
// (it is then done again); end, after a whole one only, drops the addresses
// and the interfaces that it no longer held.
void trafficd_links_dump_begin(void);
int trafficd_links_dump_part(const char *buffer, size_t length);
void trafficd_links_dump_end(void);
// A counted process receives through a datagram socket bound to no address:
// attaches the hook that notes each datagram's destination as it is queued.
void trafficd_kernel_queues(void);
// A process taken out of the watched map while it may still run: the kernel
// side's notes that its threads are counted no longer hold.
void trafficd_kernel_unwatched(void);
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
// Writes a process's mark (its name and what the agent accepted), so that a
// daemon taking over knows it.
void trafficd_table_mark(const trafficd_process *proc);
// Takes the processes a daemon before reported, from its marks, and notes
// the links its totals were counted under; then baseline reads every
// process's totals as they stand, so the metrics count only what comes after.
int trafficd_table_take_over(void);
void trafficd_table_baseline(void);
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
// Writes it when it is a report interval old, so that a cycle held up by its
// agent does not leave it older: called between the cycle's steps.
void trafficd_metrics_refresh(void);
// Removes the file, once the daemon owes it no more writes (a clean stop).
void trafficd_metrics_remove(void);
