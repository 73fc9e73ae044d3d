// Link probe: what the kernel knows about one interface, as a pppoe_info.
#pragma once

#include "linkfan_record.h"

// The interface-request socket; only linkfan_probe_open sets it.
extern int inet_sock;

// Opens inet_sock; 0, or -1 when the socket cannot be made.
int linkfan_probe_open();

// Fills info for ifname; 0 when the interface exists, -1 (and an all-zero
// record) when it does not.
int if_fetch(const char *ifname, pppoe_info *info);

// As if_fetch, and sets *ifindex to the interface's index (0 when there is
// none): a re-created interface keeps its name but gets a new index.
int if_fetch_indexed(const char *ifname, pppoe_info *info, int *ifindex);

// 1 when the interface ifname exists and still has index ifindex, else 0.
int if_still_there(const char *ifname, int ifindex);
