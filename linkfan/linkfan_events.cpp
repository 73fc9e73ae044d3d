// Kernel reports that end the cycle's pause early.
#include "linkfan_events.h"
#include "getinfo.h"
#include "linkfan_default_route.h"
#include "linkfan_ipv6_route.h"
#include "linkfan_netlink.h"
#include "linkfan_publish.h"
#include "linkfan_run.h"
#include "linkfan_track.h"

#include <errno.h>
#include <limits.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

// The number the routing-table list gives "balance" in multipath mode.
constexpr unsigned balance_table = 6;
// A flapping link must not make the tool spin: neither by the kernel's news
// nor by its probes' changes of state.
constexpr long long wake_spacing_usec = 1000000;
constexpr long long rebuild_spacing_usec = 1000000;
// Room for the reports of a first cycle over every link, which come in while
// the cycle runs and are read only at its pause.
constexpr int receive_buffer = 1 << 20;

static long long monotonic_usec()
{
    return linkfan_monotonic_usec();
}

int linkfan_events_open(linkfan_state *state)
{
    state->events.fd = -1;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    int size = receive_buffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct sockaddr_nl local = {};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    state->events.fd = fd;
    return 0;
}

// The N of "pppN" as the probe names it (0 to 127), or -1.
static int link_number(const char *name)
{
    if (strncmp(name, "ppp", 3) != 0 || name[3] == '\0' || (name[3] == '0' && name[4] != '\0'))
        return -1;
    int n = 0;
    for (const char *p = name + 3; *p; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        n = n * 10 + (*p - '0');
        if (n >= LINKFAN_MAX_LINKS)
            return -1;
    }
    return n;
}

static bool link_report_counts(const linkfan_state &state, const struct nlmsghdr *msg)
{
    const struct ifinfomsg *info = static_cast<const struct ifinfomsg *>(NLMSG_DATA(msg));
    if (!(info->ifi_flags & IFF_POINTOPOINT))
        return false;
    int len = static_cast<int>(IFLA_PAYLOAD(msg));
    char name[IFNAMSIZ] = {0};
    for (const struct rtattr *a = IFLA_RTA(info); RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type == IFLA_IFNAME)
            snprintf(name, sizeof name, "%.*s", static_cast<int>(RTA_PAYLOAD(a)),
                     static_cast<const char *>(RTA_DATA(a)));
    int n = link_number(name);
    if (n < 0)
        return false;
    // A link that goes away; or one that the tables do not hold by this index,
    // a new or re-created interface. Other news of a known link (its queue
    // length, set by the tool itself) changes nothing the cycle acts on.
    return msg->nlmsg_type == RTM_DELLINK || state.ifindex[n] != info->ifi_index;
}

static bool address_report_counts(const linkfan_state &state, const struct nlmsghdr *msg)
{
    const struct ifaddrmsg *addr = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(msg));
    // A link is routed by no IPv6 address of another scope than global.
    if (addr->ifa_family == AF_INET6 && addr->ifa_scope != RT_SCOPE_UNIVERSE)
        return false;
    int index = static_cast<int>(addr->ifa_index);
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++)
        if (index != 0 && state.ifindex[i] == index)
            return true;
    // A ppp link that was not recorded yet, having had no address.
    char name[IF_NAMESIZE] = {0};
    pppoe_info info;
    return if_indextoname(addr->ifa_index, name) && link_number(name) >= 0 &&
           if_fetch(name, &info) == 0 && linkfan_is_link(info);
}

static bool route_report_counts(const linkfan_state &state, const struct nlmsghdr *msg)
{
    const struct rtmsg *route = static_cast<const struct rtmsg *>(NLMSG_DATA(msg));
    if (route->rtm_family != AF_INET || route->rtm_dst_len != 0)
        return false;
    unsigned table = route->rtm_table;
    int len = static_cast<int>(RTM_PAYLOAD(msg));
    for (const struct rtattr *a = RTM_RTA(route); RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof(unsigned))
            memcpy(&table, RTA_DATA(a), sizeof table);
    return table == RT_TABLE_MAIN || (state.g_multipath_routing && table == balance_table);
}

int linkfan_events_read(const linkfan_state &state, int routes_count)
{
    int counts = 0;
    alignas(struct nlmsghdr) char buffer[16384];
    for (;;) {
        ssize_t got = recv(state.events.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            // Reports were lost: something may have changed.
            if (errno == ENOBUFS)
                counts = 1;
            break;
        }
        if (got == 0)
            break;
        int len = static_cast<int>(got);
        for (const struct nlmsghdr *msg = reinterpret_cast<const struct nlmsghdr *>(buffer);
             linkfan_nlmsg_ok(msg, len); msg = NLMSG_NEXT(msg, len)) {
            switch (msg->nlmsg_type) {
            case RTM_NEWLINK:
            case RTM_DELLINK:
                if (msg->nlmsg_len >= NLMSG_LENGTH(sizeof(struct ifinfomsg)) &&
                    link_report_counts(state, msg))
                    counts = 1;
                break;
            case RTM_NEWADDR:
            case RTM_DELADDR:
                if (msg->nlmsg_len >= NLMSG_LENGTH(sizeof(struct ifaddrmsg)) &&
                    address_report_counts(state, msg))
                    counts = 1;
                break;
            case RTM_DELROUTE:
                if (routes_count && msg->nlmsg_len >= NLMSG_LENGTH(sizeof(struct rtmsg)) &&
                    route_report_counts(state, msg))
                    counts = 1;
                break;
            default:
                break;
            }
        }
    }
    return counts;
}

int linkfan_events_rebuild(linkfan_state *state, long long now)
{
    const long long last = state->events.last_rebuild_usec;
    const int due = state->track.rebuild_due;
    if (!due || (last != 0 && now - last < rebuild_spacing_usec))
        return 0;
    state->track.rebuild_due = 0;
    state->events.last_rebuild_usec = now;
    // Only the routes of the family whose state changed.
    if ((due & (1 << LINKFAN_IPV4)) && linkfan_default_route_rebuild(*state, &state->route))
        state->tally.rebuilds[LINKFAN_CAUSE_HEALTH]++;
    if ((due & (1 << LINKFAN_IPV6)) && linkfan_ipv6_default_sync(*state, &state->route, 0))
        state->tally.rebuilds[LINKFAN_CAUSE_HEALTH]++;
    return 1;
}

// The monotonic time at which the early rebuild that is due may run;
// LLONG_MAX when none is due.
static long long rebuild_time(const linkfan_state &state, long long now)
{
    if (!state.track.rebuild_due)
        return LLONG_MAX;
    long long allowed = state.events.last_rebuild_usec + rebuild_spacing_usec;
    if (state.events.last_rebuild_usec == 0 || allowed < now)
        allowed = now;
    return allowed;
}

// Waits up to usec while probing goes on. With watch_news (the pause at the
// end of a cycle) it waits in one poll over the netlink socket, the probe
// sockets and the rounds' time-outs, and news that counts ends the wait.
// Returns the time left then (0 when it all passed), and sets *woken when
// news ended it.
static unsigned long track_wait(linkfan_state *state, unsigned long usec, int watch_news,
                                int *woken)
{
    static struct pollfd fds[LINKFAN_FAMILIES * LINKFAN_MAX_LINKS + 1];
    const int news_fd = watch_news ? state->events.fd : -1;
    unsigned long left = usec;
    *woken = 0;
    while (left > 0) {
        long long now = monotonic_usec();
        long long next = linkfan_track_service(state, now);
        if (linkfan_events_rebuild(state, now)) {
            // The rebuild's own deletions of default routes are no news; it
            // runs before the reports are read.
            linkfan_pause(0);
            linkfan_publish(state, monotonic_usec());
            if (news_fd >= 0 && linkfan_events_read(*state, 0)) {
                *woken = 1;
                return left;
            }
            continue;
        }
        if (state->track.changed)
            linkfan_publish(state, now);
        long long rebuild = rebuild_time(*state, now);
        if (rebuild < next)
            next = rebuild;
        long long step = next - now;
        if (step < 1000)
            step = 1000;
        if (step > static_cast<long long>(left))
            step = static_cast<long long>(left);
        int n = 0;
        if (news_fd >= 0) {
            fds[0] = {news_fd, POLLIN, 0};
            n = 1;
        }
        // The short pauses of a rescan keep only the rounds' times: replies
        // wait in their sockets, stamped with their time of arrival, until
        // the round is judged.
        const int first_probe = n;
        if (watch_news)
            n += linkfan_track_fds(*state, fds + n, LINKFAN_FAMILIES * LINKFAN_MAX_LINKS);
        unsigned long rest = 0;
        if (n > 0)
            rest = linkfan_poll(fds, n, static_cast<unsigned long>(step));
        else
            linkfan_pause(static_cast<unsigned long>(step));
        left -= static_cast<unsigned long>(step) - rest;
        if (rest > 0) {
            linkfan_track_read(state, fds + first_probe, n - first_probe, monotonic_usec());
            // Told at once; the rebuild that follows tells the routes again.
            if (state->track.changed)
                linkfan_publish(state, monotonic_usec());
        }
        if (rest > 0 && news_fd >= 0 && (fds[0].revents & POLLIN) &&
            linkfan_events_read(*state, 1)) {
            *woken = 1;
            return left;
        }
    }
    return 0;
}

void linkfan_events_rest(linkfan_state *state, unsigned long usec)
{
    if (!linkfan_tracking(*state)) {
        linkfan_pause(usec);
        return;
    }
    int woken;
    track_wait(state, usec, 0, &woken);
}

void linkfan_events_pause(linkfan_state *state, unsigned long usec)
{
    const int tracking = linkfan_tracking(*state);
    if (state->events.fd < 0 && !tracking) {
        linkfan_pause(usec);
        return;
    }
    // What came in while the cycle ran: its own route changes are no news,
    // but a link or an address that changed meanwhile may have been missed.
    int woken = state->events.fd >= 0 ? linkfan_events_read(*state, 0) : 0;
    unsigned long left = usec;
    if (tracking && !woken) {
        left = track_wait(state, left, 1, &woken);
        if (!woken)
            return;
    }
    while (!woken) {
        left = linkfan_wait(state->events.fd, left);
        if (left == 0)
            return;
        woken = linkfan_events_read(*state, 1);
    }
    long long since = monotonic_usec() - state->events.last_wake_usec;
    if (state->events.last_wake_usec != 0 && since < wake_spacing_usec) {
        unsigned long rest = static_cast<unsigned long>(wake_spacing_usec - since);
        rest = rest < left ? rest : left;
        if (tracking)
            linkfan_events_rest(state, rest);
        else
            linkfan_pause(rest);
    }
    state->events.last_wake_usec = monotonic_usec();
}
