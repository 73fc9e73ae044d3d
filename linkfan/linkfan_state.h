// The state of the supervision cycle: one record that do_main owns and hands
// to each phase, so a phase's inputs and effects show in its signature.
#pragma once

#include "kivo_textfile.h"
#include "linkfan_record.h"

#include <time.h>

// Scratch of the default-route rebuild, cleared at the start of each rebuild
// that builds routes; what it built stays until the next one.
struct linkfan_route_scratch {
    char temp_line[16384];  // the next-hop command being assembled
    char main_route[128];   // the main-table default of multipath mode
    char l_tme[128];        // one next-hop clause
    int first_ppp;          // index of the first link with IPv4 and a gateway
    uint8_t next_hop[LINKFAN_MAX_LINKS];  // 1 for each link the routes lead through
    // The IPv6 default route: its command, the gateway of each link with
    // IPv6 (its router or its peer, empty when none is known) and the links
    // it leads through.
    char ipv6_line[16384];
    char ipv6_gateway[LINKFAN_MAX_LINKS][48];
    uint8_t ipv6_next_hop[LINKFAN_MAX_LINKS];
};

// Kernel reports of link, address and route changes, which end the pause
// early (linkfan_events.h).
struct linkfan_events {
    int fd;                      // the netlink socket, -1 when there is none
    long long last_wake_usec;    // monotonic time of the last early wake, 0 for none
    long long last_rebuild_usec; // monotonic time of the last early rebuild, 0 for none
};

// Health of one family of one link as its probes tell it (linkfan_track.h).
struct linkfan_track_link {
    int fd;                     // probe socket, -1 while the link is not tracked
    int ifindex;                // the interface the socket was opened on
    uint8_t addr[16];           // the link's address of this family, network order
    uint16_t ident;             // echo identifier of this link's requests
    uint8_t down;               // 1 while the link is down
    uint8_t history;            // the last 5 rounds, newest in bit 0; a set bit was lost
    uint8_t rounds;             // rounds judged since the link was first seen, at most 5
    uint8_t answered_in_a_row;  // rounds answered since the last one lost
    uint8_t probed;             // the open round's requests went out through it
    uint8_t judged;             // the open round is judged for it
    int rtt_tenths;             // last round trip in tenths of a millisecond, -1 for none
    long long changed_usec;     // monotonic time of its last change of state, or first sight
    long long changed_at_usec;  // the same in Unix time, for the metrics
    uint8_t left_down;          // it went or was re-created while down: up again is a change
    struct timespec sent;       // wall-clock time the open round left it
    // Counts of the whole run: a link that starts again keeps them.
    uint64_t requests;          // echo requests sent through it
    uint64_t replies;           // echo replies of a target received through it
    uint64_t changes;           // changes of state
};

// Link health tracking of -t: the targets, the round in progress and the
// state of every link, each address family on its own.
struct linkfan_track {
    linkfan_targets targets;           // none of a family: that family is untracked
    uint16_t sequence;                 // of the open round
    int round_open;
    long long round_sent_usec;         // monotonic
    long long next_round_usec;         // monotonic; 0 for at once
    int rebuild_due;                   // a state changed: bit 1 << family for the routes to follow
    int changed;                       // a state changed: the status and metrics files must follow
    int all_down[LINKFAN_FAMILIES];    // every tracked link of the family is down (said once)
    linkfan_track_link links[LINKFAN_FAMILIES][LINKFAN_MAX_LINKS];
};

// Why the default routes were rebuilt, as the metrics count it.
enum {
    LINKFAN_CAUSE_LINK,    // a link configured or its gateway changed, and the first cycle
    LINKFAN_CAUSE_HEALTH,  // a tracked link went down or came up
    LINKFAN_CAUSE_ROUTE,   // a default route was missing
    LINKFAN_CAUSE_COUNT,
};

// Counts of the run for the metrics file; the cycle keeps them.
struct linkfan_tally {
    uint64_t cycles;
    uint64_t rebuilds[LINKFAN_CAUSE_COUNT];
    long long cycle_usec;            // how long the last cycle took, its pause left out
    uint8_t seen[LINKFAN_MAX_LINKS];  // the link was present in some cycle of the run
    uint8_t seen_ipv6[LINKFAN_MAX_LINKS];  // and had a routable IPv6 address in one
};

// The metrics file of --metrics (linkfan_metrics.h).
struct linkfan_metrics {
    kivo_textfile_record file;  // names no file without the option
    long long written_usec;     // monotonic time of the last write, 0 for none
};

struct linkfan_state {
    pppoe_info g_array_info[LINKFAN_MAX_LINKS];      // the current link table
    pppoe_info g_array_info_new[LINKFAN_MAX_LINKS];  // the table this cycle builds
    int g_first;              // 1 during the first cycle
    int g_new_ppp;            // the routing-table list must be rewritten
    int g_chang_ip;           // a link was configured or a default route is missing
    int g_multipath_routing;  // the mode, from -m
    int ifindex[LINKFAN_MAX_LINKS];      // interface index of each g_array_info entry
    int ifindex_new[LINKFAN_MAX_LINKS];  // and of each g_array_info_new entry
    linkfan_events events;
    linkfan_route_scratch route;
    linkfan_track track;
    linkfan_tally tally;
    linkfan_metrics metrics;
    kivo_textfile_record status;  // "./linkfan.status" of -t (linkfan_status.h)
};
