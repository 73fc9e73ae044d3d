// What the kernel side of kivo_trafficd and the daemon share: the map records and
// the events of the ring buffer. Plain C types, read by both compilers.
#pragma once

#define TRAFFICD_CP_SIZE 32        // the raw "KIVO_CP" value, cut to fit
#define TRAFFICD_PRELOAD_SIZE 256  // the raw "LD_PRELOAD" value, cut to fit
#define TRAFFICD_MAX_PROCESSES 16384
#define TRAFFICD_ENV_ENTRIES 512   // environment entries looked at in the kernel
#define TRAFFICD_MAX_TOTALS 65536  // entries of the totals map: a process's links
#define TRAFFICD_MAX_ADDRESSES 1024  // local addresses mapped to links

// The links that bytes are counted for: "other" (no local address, or one no
// interface holds), "lo" (loopback addresses), then the interfaces that held
// addresses, by name, numbered by the daemon as it first saw them.
#define TRAFFICD_LINKS 32
#define TRAFFICD_LINK_OTHER 0
#define TRAFFICD_LINK_LO 1

enum trafficd_event_type {
    TRAFFICD_EVENT_EXEC = 1,     // a process image with "KIVO_CP" started
    TRAFFICD_EVENT_FORK = 2,     // a watched process made a child process
    TRAFFICD_EVENT_EXIT = 3,     // the last thread of a watched process ended
    TRAFFICD_EVENT_UNWATCH = 4,  // a watched process started an image without "KIVO_CP"
    TRAFFICD_EVENT_LOOK = 5,     // an environment too long for the kernel: read it from /proc
    TRAFFICD_EVENT_QUEUES = 6,   // a counted process receives through a datagram socket bound
                                 // to no address: attach the queue hook
};

// The queue hook of the kernel side (its global queue_hook): not attached,
// asked for through TRAFFICD_EVENT_QUEUES, attached (set by the daemon).
#define TRAFFICD_QUEUE_HOOK_OFF 0
#define TRAFFICD_QUEUE_HOOK_ASKED 1
#define TRAFFICD_QUEUE_HOOK_ON 2

// Event flags.
#define TRAFFICD_FLAG_PRELOAD 1u  // the environment holds "LD_PRELOAD"

// A process, as the kernel side tells one from the next holder of its id: the
// thread-group id and the start time in clock ticks since boot, the unit of
// field 22 of /proc/PID/stat; with the link its totals are for.
struct trafficd_key {
    unsigned int tgid;
    unsigned int link;
    unsigned long long start;
};

// links: a socket's local address (IPv4 in the first four bytes, the rest
// zero), keyed to the link that holds it.
struct trafficd_address {
    unsigned int family;
    unsigned char bytes[16];
};

// marks: kept by the daemon for each process it reports, keyed like totals
// with link 0: its report name and what the agent accepted of it so far, so
// that a daemon taking over from one that died reports only the rest.
struct trafficd_mark {
    char name[TRAFFICD_CP_SIZE];
    long long accepted_sent;
    long long accepted_received;
};

// The maps watched, totals, marks and events outlive the daemon, pinned in
// bpffs, with this mark of their layout in the map layout: a daemon whose
// records or map sizes differ starts afresh. Count it up with any change of
// those records, or of what their fields mean.
#define TRAFFICD_LAYOUT 2

// watched: one record per process counted, keyed by thread-group id.
struct trafficd_watch {
    unsigned long long start;
    char cp[TRAFFICD_CP_SIZE];
    unsigned int refused;  // the links whose totals found the map full, a bit each
};

// totals: per CPU, keyed by trafficd_key: a process's bytes over one link.
struct trafficd_total {
    unsigned long long sent;
    unsigned long long received;
};

struct trafficd_event {
    unsigned int type;
    unsigned int tgid;
    unsigned long long start;
    unsigned int parent_tgid;  // fork: the parent
    unsigned int flags;
    unsigned long long parent_start;
    char cp[TRAFFICD_CP_SIZE];
    char preload[TRAFFICD_PRELOAD_SIZE];
};

// Indexes of the kernel side's failure counters (the "faults" array).
enum trafficd_fault {
    TRAFFICD_FAULT_TOTALS_FULL = 0,   // a process's totals over a link found no room, once each
    TRAFFICD_FAULT_WATCHED_FULL = 1,  // a process that started or forked found no room
    TRAFFICD_FAULT_EVENTS_LOST = 2,   // the ring buffer was full
    TRAFFICD_FAULTS = 3,
};
