// Link health tracking: rounds of echo requests, their judgement, the states.
#include "linkfan_track.h"
#include "linkfan_log.h"
#include "linkfan_probe_socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr int down_after_lost = 3;       // of the last 5 rounds
constexpr int up_after_answered = 3;     // in a row

// Echo identifiers of this process: one block of 128, one per link.
uint16_t ident_base()
{
    return static_cast<uint16_t>((static_cast<unsigned>(getpid()) & 0x1ff) << 7);
}

long long timespec_usec(const struct timespec &t)
{
    return t.tv_sec * 1000000LL + t.tv_nsec / 1000;
}

// Its last change of state came at monotonic time now: the metrics tell it
// in Unix time, kept as it came, so it holds still from one write to the next.
void mark_change(linkfan_track_link *link, long long now)
{
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    link->changed_usec = now;
    link->changed_at_usec = timespec_usec(wall);
}

void reset_link(linkfan_track_link *link, long long now)
{
    link->down = 0;
    link->history = 0;
    link->rounds = 0;
    link->answered_in_a_row = 0;
    link->probed = 0;
    link->judged = 0;
    link->rtt_tenths = -1;
    mark_change(link, now);
}

void close_link(linkfan_track_link *link)
{
    if (link->fd >= 0)
        close(link->fd);
    link->fd = -1;
    link->ifindex = 0;
    memset(link->addr, 0, sizeof link->addr);
}

void rtt_text(const linkfan_track_link &link, char *text, size_t size)
{
    if (link.rtt_tenths < 0)
        snprintf(text, size, "none");
    else
        snprintf(text, size, "%d.%d ms", link.rtt_tenths / 10, link.rtt_tenths % 10);
}

const int address_size[LINKFAN_FAMILIES] = {4, 16};

// Every tracked link of a family down: its default routes keep them all, as
// without -t.
void follow_all_down(linkfan_state *state, int family)
{
    linkfan_track &track = state->track;
    int tracked = 0, down = 0;
    for (const linkfan_track_link &link : track.links[family]) {
        if (link.fd < 0)
            continue;
        tracked++;
        down += link.down;
    }
    int all_down = tracked > 0 && down == tracked;
    if (all_down && !track.all_down[family])
        linkfan_log(LINKFAN_LOG_ERROR,
                    family == LINKFAN_IPV4
                        ? "every tracked link is down: the default routes keep them all\n"
                        : "every tracked link is down for IPv6: the IPv6 default route keeps them "
                          "all\n");
    track.all_down[family] = all_down;
}

void changed(linkfan_state *state, int family, int i, int change, long long now)
{
    linkfan_track_link &link = state->track.links[family][i];
    mark_change(&link, now);
    link.changes++;
    char rtt[32], address[INET6_ADDRSTRLEN];
    rtt_text(link, rtt, sizeof rtt);
    linkfan_track_address(state->g_array_info[i], family, address, sizeof address);
    linkfan_log(change == 1 ? LINKFAN_LOG_ERROR : LINKFAN_LOG_INFO,
                "link %s (%s) is %s: %d of the last 5 rounds lost, last round trip %s\n",
                state->g_array_info[i].pppoe_name, address, change == 1 ? "down" : "up",
                linkfan_track_lost(link), rtt);
    state->track.rebuild_due |= 1 << family;
    state->track.changed = 1;
    follow_all_down(state, family);
    // Rare, and what an operator watching the log waits for: out at once.
    linkfan_log_flush();
}

bool is_target(const linkfan_track &track, int family, const uint8_t *sender)
{
    for (int k = 0; k < track.targets.count[family]; k++)
        if (memcmp(track.targets.addr[family][k], sender,
                   static_cast<size_t>(address_size[family])) == 0)
            return true;
    return false;
}

// Reads the replies waiting for link i's family; the first answer of the
// open round judges the round for it at once.
void read_link(linkfan_state *state, int family, int i, long long now)
{
    linkfan_track &track = state->track;
    linkfan_track_link &link = track.links[family][i];
    uint8_t sender[16];
    uint16_t sequence;
    struct timespec arrival;
    while (link.fd >= 0 && linkfan_probe_receive(link.fd, family, sender, &sequence, &arrival) == 1) {
        if (!is_target(track, family, sender))
            continue;
        // Every answer counts as received, a late one or a second target's
        // too, so that requests and replies compare.
        link.replies++;
        if (!track.round_open || !link.probed || link.judged || sequence != track.sequence)
            continue;
        // Taken by the kernel's clock of arrival: a reply read late, after a
        // long command, still counts for when it came.
        long long rtt = timespec_usec(arrival) - timespec_usec(link.sent);
        if (rtt > linkfan_answer_usec)
            continue;
        link.rtt_tenths = rtt < 0 ? 0 : static_cast<int>(rtt / 100);
        link.judged = 1;
        int change = linkfan_track_judge(&link, 0);
        if (change)
            changed(state, family, i, change, now);
    }
}

void close_round(linkfan_state *state, long long now)
{
    linkfan_track &track = state->track;
    for (int family = 0; family < LINKFAN_FAMILIES; family++)
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            linkfan_track_link &link = track.links[family][i];
            if (link.fd < 0 || !link.probed || link.judged)
                continue;
            // What came in but was not read yet counts first.
            read_link(state, family, i, now);
            if (link.judged)
                continue;
            link.judged = 1;
            int change = linkfan_track_judge(&link, 1);
            if (change)
                changed(state, family, i, change, now);
        }
    track.round_open = 0;
}

void send_round(linkfan_state *state, long long now)
{
    linkfan_track &track = state->track;
    track.sequence++;
    for (int family = 0; family < LINKFAN_FAMILIES; family++)
        for (linkfan_track_link &link : track.links[family]) {
            link.probed = 0;
            link.judged = 0;
            if (link.fd < 0)
                continue;
            clock_gettime(CLOCK_REALTIME, &link.sent);
            // A link whose device went away or is down sends nothing: that
            // round says nothing of its carrier and is not judged.
            for (int k = 0; k < track.targets.count[family]; k++)
                if (linkfan_probe_send(link.fd, family, link.addr, track.targets.addr[family][k],
                                       link.ident, track.sequence) == 0) {
                    link.probed = 1;
                    link.requests++;
                }
        }
    track.round_open = 1;
    track.round_sent_usec = now;
    track.next_round_usec = now + linkfan_round_usec;
}

// The address link i is tracked by for family into addr; false when the
// link is not to be tracked for it.
bool trackable(const linkfan_state &state, int family, int i, uint8_t *addr)
{
    const pppoe_info &info = state.g_array_info[i];
    char text[INET6_ADDRSTRLEN];
    linkfan_track_address(info, family, text, sizeof text);
    if (state.track.targets.count[family] == 0 || state.ifindex[i] <= 0)
        return false;
    if (family == LINKFAN_IPV4)
        return linkfan_is_next_hop(info) && inet_pton(AF_INET, text, addr) == 1;
    return linkfan_has_ipv6(info) && inet_pton(AF_INET6, text, addr) == 1;
}

}  // namespace

long long linkfan_monotonic_usec()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timespec_usec(ts);
}

void linkfan_track_init(linkfan_state *state, const linkfan_targets &targets)
{
    linkfan_track &track = state->track;
    memset(&track, 0, sizeof track);
    for (int family = 0; family < LINKFAN_FAMILIES; family++)
        for (linkfan_track_link &link : track.links[family])
            link.fd = -1;
    track.targets = targets;
    for (int &count : track.targets.count)
        if (count < 0 || count > LINKFAN_MAX_TARGETS)
            count = 0;
}

int linkfan_tracking(const linkfan_state &state)
{
    return state.track.targets.count[LINKFAN_IPV4] > 0 ||
           state.track.targets.count[LINKFAN_IPV6] > 0;
}

void linkfan_track_address(const pppoe_info &info, int family, char *text, size_t size)
{
    const char *from = family == LINKFAN_IPV4 ? info.pppoe_ip : info.pppoe_ipv6;
    size_t len = strcspn(from, "/");
    snprintf(text, size, "%.*s", static_cast<int>(len), from);
}

int linkfan_track_lost(const linkfan_track_link &link)
{
    return __builtin_popcount(link.history & 0x1f);
}

int linkfan_track_judge(linkfan_track_link *link, int lost)
{
    link->history = static_cast<uint8_t>(((link->history << 1) | (lost ? 1 : 0)) & 0x1f);
    if (link->rounds < 5)
        link->rounds++;
    if (lost)
        link->answered_in_a_row = 0;
    else if (link->answered_in_a_row < 255)
        link->answered_in_a_row++;
    if (!link->down && linkfan_track_lost(*link) >= down_after_lost) {
        link->down = 1;
        return 1;
    }
    if (link->down && link->answered_in_a_row >= up_after_answered) {
        link->down = 0;
        return 2;
    }
    return 0;
}

void linkfan_track_sync(linkfan_state *state, long long now)
{
    linkfan_track &track = state->track;
    for (int family = 0; family < LINKFAN_FAMILIES; family++) {
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            linkfan_track_link &link = track.links[family][i];
            uint8_t addr[16] = {0};
            const int ifindex = state->ifindex[i];
            const bool keep = trackable(*state, family, i, addr);
            if (keep && link.fd >= 0 && link.ifindex == ifindex &&
                memcmp(link.addr, addr, sizeof addr) == 0)
                continue;
            // Gone, first seen, re-created or redialled with another address:
            // what the old interface or session went through says nothing of
            // this one, which starts up. One that was down, then or as it went,
            // has changed state once it is tracked again.
            if (link.down)
                track.rebuild_due |= 1 << family;
            link.left_down |= link.down;
            close_link(&link);
            reset_link(&link, now);
            if (!keep)
                continue;
            link.ident = static_cast<uint16_t>(ident_base() + i);
            link.fd = linkfan_probe_socket_open(family, ifindex, link.ident);
            if (link.fd < 0) {
                linkfan_log(LINKFAN_LOG_ERROR, "no probe socket for %s: %s\n",
                            state->g_array_info[i].pppoe_name, strerror(errno));
                continue;
            }
            link.ifindex = ifindex;
            memcpy(link.addr, addr, sizeof link.addr);
            if (link.left_down) {
                link.left_down = 0;
                link.changes++;
                track.changed = 1;
            }
        }
        follow_all_down(state, family);
    }
}

int linkfan_track_usable(const linkfan_state &state, int family, int i)
{
    const linkfan_track &track = state.track;
    return track.targets.count[family] == 0 || !track.links[family][i].down ||
           track.all_down[family];
}

long long linkfan_track_service(linkfan_state *state, long long now)
{
    const linkfan_track &track = state->track;
    if (!linkfan_tracking(*state))
        return LLONG_MAX;
    if (track.round_open && now - track.round_sent_usec >= linkfan_answer_usec)
        close_round(state, now);
    if (!track.round_open && now >= track.next_round_usec)
        send_round(state, now);
    return track.round_open ? track.round_sent_usec + linkfan_answer_usec : track.next_round_usec;
}

void linkfan_track_read(linkfan_state *state, const struct pollfd *fds, int count, long long now)
{
    for (int k = 0; k < count; k++) {
        if (!(fds[k].revents & POLLIN))
            continue;
        for (int family = 0; family < LINKFAN_FAMILIES; family++)
            for (int i = 0; i < LINKFAN_MAX_LINKS; i++)
                if (state->track.links[family][i].fd == fds[k].fd)
                    read_link(state, family, i, now);
    }
}

int linkfan_track_fds(const linkfan_state &state, struct pollfd *fds, int room)
{
    // Only the sockets of links whose answer to the open round is still
    // awaited: a link answered once wakes nobody again in that round, and
    // between rounds nothing is watched.
    int n = 0;
    if (!state.track.round_open)
        return 0;
    for (int family = 0; family < LINKFAN_FAMILIES; family++)
        for (const linkfan_track_link &link : state.track.links[family]) {
            if (link.fd < 0 || !link.probed || link.judged || n >= room)
                continue;
            fds[n].fd = link.fd;
            fds[n].events = POLLIN;
            fds[n].revents = 0;
            n++;
        }
    return n;
}
