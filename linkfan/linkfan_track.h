// Link health tracking (-t): every 2 s each tracked link (one with an IPv4
// address and a gateway) sends an echo request to each target through its own
// device; a round counts as answered when one target answers within 1 s. A
// link goes down after 3 lost rounds among its last 5 and up again after 3
// answered in a row; a down link carries no default route unless every
// tracked link is down. The tracker only judges: a change of state sets
// track.changed and track.rebuild_due, and the cycle's loop follows them.
#pragma once

#include "linkfan_state.h"

#include <poll.h>

constexpr long long linkfan_round_usec = 2000000;
constexpr long long linkfan_answer_usec = 1000000;

// Takes the targets of -t; without any, tracking stays off.
void linkfan_track_init(linkfan_state *state, const uint32_t *targets, int count);

// Follows g_array_info: opens a probe socket for every next hop that has
// none, and closes those of links that are no next hop any more. A link first
// seen, re-created or given another address starts up, with no history.
void linkfan_track_sync(linkfan_state *state, long long now);

// 1 when link i may carry the default routes: always without -t; with it,
// when the link is not down, or when every tracked link is.
int linkfan_track_usable(const linkfan_state &state, int i);

// Does what is due at monotonic time now: judges the open round once its
// second is over (reading what is still waiting for a link not answered
// yet), sends the next round when it is time. Returns the monotonic time at
// which the next round is to be judged or sent.
long long linkfan_track_service(linkfan_state *state, long long now);

// Puts into fds (room entries at most) the probe sockets of the links whose
// answer to the open round is still awaited; how many.
int linkfan_track_fds(const linkfan_state &state, struct pollfd *fds, int room);

// Reads the replies of the links whose socket poll found readable; fds as
// linkfan_track_fds filled them, with their revents.
void linkfan_track_read(linkfan_state *state, const struct pollfd *fds, int count, long long now);

// Adds one judged round to a link's history (lost 1 or 0) and returns the
// change it makes: 1 the link went down, 2 it came up, 0 none.
int linkfan_track_judge(linkfan_track_link *link, int lost);

// Rounds lost among the last 5.
int linkfan_track_lost(const linkfan_track_link &link);

// Monotonic time in microseconds.
long long linkfan_monotonic_usec();
