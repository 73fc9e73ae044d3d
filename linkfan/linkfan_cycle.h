// Supervision cycle: discovery, then rescan, routing-table list, per-link
// routing and default routes, every 10 seconds, for ever.
#pragma once

#include "linkfan_options.h"
#include "linkfan_state.h"

// Start-up checks, discovery and the endless cycle; returns only an exit status.
int do_main(const linkfan_options &options);

// Clears the state and sets the flags as they stand before discovery.
void linkfan_cycle_init(linkfan_state *state, int multipath_routing);

// Finds the links: three passes over ppp0 to ppp127 into g_array_info.
void linkfan_discover(linkfan_state *state);

// One pass of the cycle, its closing pause included. 0 to go on, otherwise
// the exit status the program ends with (4 or 5).
int linkfan_cycle(linkfan_state *state);
