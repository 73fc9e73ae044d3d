// The pause between two passes: the interval, or less when the kernel says the
// uplink changed. A redial brings a new address; waiting out the interval
// would leave the record on an address the box no longer has.
#pragma once

// Why a pause ended.
enum {
    KIVO_WATCH_TIMER = 0, // its time was up
    KIVO_WATCH_NEWS = 1,  // link or address news that counts
    KIVO_WATCH_WAKE = 2,  // the caller's wake-up time came first: the pause goes on
};

// Timing of the early pass, in milliseconds: once the news has been quiet for
// QUIET_MS, and never more than BURST_MS after the first message of a burst,
// so a redial's burst of messages brings one pass, soon. Early passes are at
// least NIC_SPACING_MS apart, so a flapping link does not keep the program
// busy; without --nic the news of any interface counts, a weaker hint: then
// ANY_SPACING_MS, since the echo services serve many boxes.
enum {
    KIVO_WATCH_QUIET_MS = 1000,
    KIVO_WATCH_BURST_MS = 3000,
    KIVO_WATCH_NIC_SPACING_MS = 10000,
    KIVO_WATCH_ANY_SPACING_MS = 30000,
    // Addresses remembered; news of one more always counts.
    KIVO_WATCH_ADDRESSES = 256,
};

// An address of the record's family that a record may hold, on the nic (or,
// without one, on any interface but loopback).
struct kivo_watch_address {
    unsigned index;
    unsigned char bytes[16];
    unsigned char prefix;
};

struct kivo_watch_record {
    int fd = -1;             // netlink socket; -1: the pause is a plain timer
    int family;              // AF_INET for an A record, AF_INET6 for AAAA
    char nic[32];            // the interface watched; empty: any but loopback
    unsigned nic_index;      // its index while it exists, else 0
    unsigned nic_flags;      // its flags as last seen
    long long burst_first_ms;// first news of the burst under way; 0: none
    long long burst_last_ms; // latest news of it
    long long last_early_ms; // when the last early pass began; 0: none yet
    char news_on[32];        // interface the burst's first news was about
    char about[32];          // interface of the message at hand
    // The addresses as last heard: only a change of this set is news, not
    // a message that renews an address's lifetimes.
    kivo_watch_address addresses[KIVO_WATCH_ADDRESSES];
    int address_count;
};

extern kivo_watch_record kivo_watch_info;

// Opens the netlink socket for the record's family and nic (empty: any
// interface, and the main table's default route), and learns the addresses
// there are. 0, or -1 with the reason in errno and w->fd -1: the pauses are
// then plain ones.
int kivo_watch_open(kivo_watch_record *w, const char *nic, int family);

// Waits until deadline_ms (monotonic), or until the early pass that news
// calls for is due, or until wake_ms. KIVO_WATCH_TIMER, KIVO_WATCH_NEWS, or
// KIVO_WATCH_WAKE (the same deadline may then be waited for again; news
// heard so far is kept).
int kivo_watch_pause(kivo_watch_record *w, long long deadline_ms, long long wake_ms);

// The first retry after a pass that reached no decision comes after
// RETRY_FIRST seconds; each further one waits twice as long as the last.
enum { KIVO_WATCH_RETRY_FIRST = 5 };

// Seconds of the pause after a pass: interval when the pass decided
// (failures 0), else the retry's wait (5, 10, 20, ... for failures 1, 2, 3,
// ...), never longer than interval.
int kivo_watch_pause_seconds(int failures, int interval);

// Milliseconds on the monotonic clock.
long long kivo_watch_now_ms(void);
