// Kernel reports that end the cycle's pause early: a ppp link added or
// removed, an address added or removed on one, a default route removed from
// the main or the "balance" table. A redial then costs seconds without a
// default route, not the rest of the pause.
#pragma once

#include "linkfan_state.h"

// Opens the netlink socket into state->events (fd -1 when it cannot be made:
// the pauses are then plain ones). 0 or -1.
int linkfan_events_open(linkfan_state *state);

// Reads every report waiting on the socket; 1 when one of them is a change
// the cycle acts on. The cycle's own commands remove default routes, so
// route reports count only with routes_count set (during the pause).
int linkfan_events_read(const linkfan_state &state, int routes_count);

// The pause at the end of a cycle: usec long, or shorter when a change is
// reported, but never two early wakes less than a second apart. While links
// are tracked, probing goes on in it (linkfan_events_rest).
void linkfan_events_pause(linkfan_state *state, unsigned long usec);

// A short pause of the cycle (between the names of a rescan). Without -t a
// plain one; with it, the probes go on at their pace in one poll over their
// sockets and time-outs, and a change of state rebuilds the default routes
// at once and is told in the status and metrics files.
void linkfan_events_rest(linkfan_state *state, unsigned long usec);

// Runs the default-route rebuild that a change of state asked for
// (track.rebuild_due), unless an early one ran less than a second ago. 1 when
// it ran.
int linkfan_events_rebuild(linkfan_state *state, long long now);
