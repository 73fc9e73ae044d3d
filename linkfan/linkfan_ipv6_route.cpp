// The IPv6 default route, kept in step with the links by comparing what it
// should be with what the kernel holds.
#include "linkfan_ipv6_route.h"
#include "linkfan_log.h"
#include "linkfan_netlink.h"
#include "linkfan_run.h"
#include "linkfan_track.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <stdio.h>

namespace {

// A next hop: the interface and the gateway.
struct hop {
    int ifindex;
    struct in6_addr gateway;
};

// What the kernel holds: the route's next hops, and for each interface the
// gateway of another default route through it and its peer's address.
struct kernel_view {
    hop route[LINKFAN_MAX_LINKS];
    int route_count;
    int route_whole;  // every next hop of the route fitted
    hop router[LINKFAN_MAX_LINKS * 2];
    int router_count;
    hop peer[LINKFAN_MAX_LINKS * 2];
    int peer_count;
};

void add(hop *hops, int *count, int room, int ifindex, const void *gateway)
{
    if (*count >= room)
        return;
    hops[*count].ifindex = ifindex;
    memcpy(&hops[*count].gateway, gateway, sizeof(struct in6_addr));
    (*count)++;
}

const struct in6_addr *find(const hop *hops, int count, int ifindex)
{
    for (int k = 0; k < count; k++)
        if (hops[k].ifindex == ifindex)
            return &hops[k].gateway;
    return nullptr;
}

// The gateway attribute among the attributes at a of len bytes, or null.
const void *gateway_of(const struct rtattr *a, int len)
{
    for (; RTA_OK(a, len); a = RTA_NEXT(a, len))
        if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= sizeof(struct in6_addr))
            return RTA_DATA(a);
    return nullptr;
}

int take_route(const struct nlmsghdr *msg, void *ctx)
{
    kernel_view &view = *static_cast<kernel_view *>(ctx);
    const struct rtmsg *route = static_cast<const struct rtmsg *>(NLMSG_DATA(msg));
    if (msg->nlmsg_type != RTM_NEWROUTE || route->rtm_family != AF_INET6 ||
        route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST)
        return 0;
    unsigned table = route->rtm_table, priority = 0;
    int oif = 0;
    const void *gateway = nullptr;
    const struct rtattr *multipath = nullptr;
    int len = static_cast<int>(RTM_PAYLOAD(msg));
    for (const struct rtattr *a = RTM_RTA(route); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof table)
            memcpy(&table, RTA_DATA(a), sizeof table);
        else if (a->rta_type == RTA_PRIORITY && RTA_PAYLOAD(a) >= sizeof priority)
            memcpy(&priority, RTA_DATA(a), sizeof priority);
        else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof oif)
            memcpy(&oif, RTA_DATA(a), sizeof oif);
        else if (a->rta_type == RTA_GATEWAY && RTA_PAYLOAD(a) >= sizeof(struct in6_addr))
            gateway = RTA_DATA(a);
        else if (a->rta_type == RTA_MULTIPATH)
            multipath = a;
    }
    if (table != RT_TABLE_MAIN)
        return 0;
    if (priority != static_cast<unsigned>(linkfan_ipv6_metric)) {
        if (oif > 0 && gateway && !find(view.router, view.router_count, oif))
            add(view.router, &view.router_count, LINKFAN_MAX_LINKS * 2, oif, gateway);
        return 0;
    }
    const struct in6_addr none = {};
    if (!multipath) {
        add(view.route, &view.route_count, LINKFAN_MAX_LINKS, oif, gateway ? gateway : &none);
        return 0;
    }
    int left = static_cast<int>(RTA_PAYLOAD(multipath));
    const struct rtnexthop *nh = static_cast<const struct rtnexthop *>(RTA_DATA(multipath));
    while (left >= static_cast<int>(sizeof *nh) && nh->rtnh_len >= sizeof *nh &&
           nh->rtnh_len <= left) {
        const void *nh_gateway =
            gateway_of(RTNH_DATA(nh), static_cast<int>(nh->rtnh_len - RTNH_LENGTH(0)));
        if (view.route_count == LINKFAN_MAX_LINKS)
            view.route_whole = 0;
        add(view.route, &view.route_count, LINKFAN_MAX_LINKS, nh->rtnh_ifindex,
            nh_gateway ? nh_gateway : &none);
        left -= RTNH_ALIGN(nh->rtnh_len);
        nh = RTNH_NEXT(nh);
    }
    return 0;
}

// A link-local address with a peer, as pppd gives one: the peer's address.
int take_peer(const struct nlmsghdr *msg, void *ctx)
{
    kernel_view &view = *static_cast<kernel_view *>(ctx);
    const struct ifaddrmsg *addr = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(msg));
    if (msg->nlmsg_type != RTM_NEWADDR || addr->ifa_family != AF_INET6 ||
        addr->ifa_scope != RT_SCOPE_LINK)
        return 0;
    linkfan_ipv6_addr_attrs attrs;
    linkfan_ipv6_addr_attrs_read(msg, &attrs);
    int ifindex = static_cast<int>(addr->ifa_index);
    if (attrs.address && attrs.local &&
        memcmp(attrs.address, attrs.local, sizeof(struct in6_addr)) != 0 &&
        !find(view.peer, view.peer_count, ifindex))
        add(view.peer, &view.peer_count, LINKFAN_MAX_LINKS * 2, ifindex, attrs.address);
    return 0;
}

// 0, or -1 when the kernel could not be asked: then nothing is changed.
int read_kernel(kernel_view *view)
{
    memset(view, 0, sizeof *view);
    view->route_whole = 1;
    struct rtmsg route = {};
    route.rtm_family = AF_INET6;
    route.rtm_table = RT_TABLE_MAIN;
    struct ifaddrmsg addr = {};
    addr.ifa_family = AF_INET6;
    if (linkfan_netlink_dump(RTM_GETROUTE, &route, sizeof route, sizeof route, take_route, view) !=
            0 ||
        linkfan_netlink_dump(RTM_GETADDR, &addr, sizeof addr, sizeof addr, take_peer, view) != 0)
        return -1;
    return 0;
}

bool same_hops(const hop *a, int a_count, const hop *b, int b_count)
{
    if (a_count != b_count)
        return false;
    for (int k = 0; k < a_count; k++) {
        bool found = false;
        for (int j = 0; j < b_count && !found; j++)
            found = a[k].ifindex == b[j].ifindex &&
                    memcmp(&a[k].gateway, &b[j].gateway, sizeof a[k].gateway) == 0;
        if (!found)
            return false;
    }
    return true;
}

}  // namespace

int linkfan_ipv6_default_sync(const linkfan_state &state, linkfan_route_scratch *route, int force)
{
    static kernel_view view;
    static hop wanted[LINKFAN_MAX_LINKS];
    // What the kernel holds once every command so far has run.
    linkfan_settle();
    if (read_kernel(&view) != 0)
        return 0;
    const pppoe_info *links = state.g_array_info;
    int count = 0;
    memset(route->ipv6_gateway, 0, sizeof route->ipv6_gateway);
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        const int ifindex = state.ifindex[i];
        if (!linkfan_has_ipv6(links[i]) || ifindex <= 0)
            continue;
        const struct in6_addr *gateway = find(view.router, view.router_count, ifindex);
        if (!gateway)
            gateway = find(view.peer, view.peer_count, ifindex);
        if (!gateway)
            continue;
        inet_ntop(AF_INET6, gateway, route->ipv6_gateway[i], sizeof route->ipv6_gateway[i]);
        if (linkfan_track_usable(state, LINKFAN_IPV6, i)) {
            wanted[count].ifindex = ifindex;
            wanted[count].gateway = *gateway;
            count++;
        }
    }
    const bool same = view.route_whole && same_hops(wanted, count, view.route, view.route_count);
    if (count == 0) {
        memset(route->ipv6_next_hop, 0, sizeof route->ipv6_next_hop);
        if (view.route_count == 0)
            return 0;
        snprintf(route->ipv6_line, sizeof route->ipv6_line, "ip -6 route del default metric %d",
                 linkfan_ipv6_metric);
        linkfan_run(route->ipv6_line);
        linkfan_log(LINKFAN_LOG_INFO, "delete ipv6 route : %s\n", route->ipv6_line);
        return 1;
    }
    if (same && !force)
        return 0;
    memset(route->ipv6_next_hop, 0, sizeof route->ipv6_next_hop);
    snprintf(route->ipv6_line, sizeof route->ipv6_line, "ip -6 route replace default metric %d ",
             linkfan_ipv6_metric);
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (!route->ipv6_gateway[i][0] || !linkfan_track_usable(state, LINKFAN_IPV6, i) ||
            !linkfan_has_ipv6(links[i]) || state.ifindex[i] <= 0)
            continue;
        char clause[96];
        snprintf(clause, sizeof clause, "nexthop via %s dev ppp%u weight 1 ",
                 route->ipv6_gateway[i], static_cast<unsigned>(i));
        linkfan_text_append(route->ipv6_line, clause);
        route->ipv6_next_hop[i] = 1;
    }
    linkfan_run(route->ipv6_line);
    linkfan_log(LINKFAN_LOG_INFO, "set ipv6 route : %s\n", route->ipv6_line);
    return 1;
}
