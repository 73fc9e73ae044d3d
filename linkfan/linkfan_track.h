// Link health tracking (-t), each address family on its own: every 2 s each
// tracked link sends an echo request to each target of a family it has,
// through its own device and from its own address of that family (a link is
// tracked for IPv4 when it has an IPv4 address and a gateway, for IPv6 when
// it has a routable IPv6 address); a family's round counts as answered when
// one of its targets answers within 1 s. A family of a link goes down after 3
// lost rounds among its last 5 and up again after 3 answered in a row; a down
// family carries none of that family's default routes unless every tracked
// link of the family is down. A family without targets is untracked and its
// links count as usable. The tracker only judges: a change of state sets
// track.changed and the family's bit in track.rebuild_due, and the cycle's
// loop follows them.
#pragma once

#include "linkfan_state.h"

#include <poll.h>

constexpr long long linkfan_round_usec = 2000000;
constexpr long long linkfan_answer_usec = 1000000;

// Takes the targets of -t; a family without any is not tracked.
void linkfan_track_init(linkfan_state *state, const linkfan_targets &targets);

// 1 when some family has targets.
int linkfan_tracking(const linkfan_state &state);

// Follows g_array_info: opens a probe socket for every link and family to
// track that has none, and closes those of links that are not to be tracked
// any more. A link first seen, re-created or given another address starts
// up, with no history; one that was down, then or when it stopped being
// tracked, counts a change of state (and sets track.changed).
void linkfan_track_sync(linkfan_state *state, long long now);

// 1 when link i may carry the default routes of family: always when the
// family is untracked; else when the link is not down for it, or when every
// tracked link of the family is.
int linkfan_track_usable(const linkfan_state &state, int family, int i);

// Does what is due at monotonic time now: judges the open round once its
// second is over (reading what is still waiting for a link not answered
// yet), sends the next round when it is time. Returns the monotonic time at
// which the next round is to be judged or sent.
long long linkfan_track_service(linkfan_state *state, long long now);

// Puts into fds (room entries at most) the probe sockets of the links and
// families whose answer to the open round is still awaited; how many.
int linkfan_track_fds(const linkfan_state &state, struct pollfd *fds, int room);

// Reads the replies of the sockets poll found readable; fds as
// linkfan_track_fds filled them, with their revents.
void linkfan_track_read(linkfan_state *state, const struct pollfd *fds, int count, long long now);

// Adds one judged round to a link's history (lost 1 or 0) and returns the
// change it makes: 1 the link went down, 2 it came up, 0 none.
int linkfan_track_judge(linkfan_track_link *link, int lost);

// Rounds lost among the last 5.
int linkfan_track_lost(const linkfan_track_link &link);

// The address text of link i for family (IPv4 or IPv6, without "/64").
void linkfan_track_address(const pppoe_info &info, int family, char *text, size_t size);

// Monotonic time in microseconds.
long long linkfan_monotonic_usec();
