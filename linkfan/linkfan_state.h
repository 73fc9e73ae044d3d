// The state of the supervision cycle: one record that do_main owns and hands
// to each phase, so a phase's inputs and effects show in its signature.
#pragma once

#include "linkfan_record.h"

// Scratch of the default-route rebuild, cleared at the start of each rebuild.
struct linkfan_route_scratch {
    char temp_line[16384];  // the next-hop command being assembled
    char main_route[128];   // the main-table default of multipath mode
    char l_tme[128];        // one next-hop clause
    int first_ppp;          // index of the first fully configured link
};

// Kernel reports of link, address and route changes, which end the pause
// early (linkfan_events.h).
struct linkfan_events {
    int fd;                      // the netlink socket, -1 when there is none
    long long last_wake_usec;    // monotonic time of the last early wake, 0 for none
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
};
