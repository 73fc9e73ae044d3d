// IPv4 default routes: one through every link (or, with -m, one through the
// first link plus the "balance" table, its TCP port rule and masquerading per
// link).
#include "linkfan_default_route.h"
#include "getinfo.h"
#include "linkfan_log.h"
#include "linkfan_run.h"
#include "linkfan_track.h"

#include <stdio.h>

static int line_has_default(const char *text, void *)
{
    return strstr(text, "default") != nullptr;
}

int find_default_gateway(const char *xshellcmd)
{
    return linkfan_read(xshellcmd, line_has_default, nullptr);
}

int linkfan_default_route_check(const linkfan_state &state)
{
    int missing = 0;
    if (!find_default_gateway("ip route")) {
        linkfan_log(LINKFAN_LOG_ERROR, "not find in main table default route.\n\n");
        missing = 1;
    }
    if (state.g_multipath_routing && !find_default_gateway("ip route list table balance")) {
        linkfan_log(LINKFAN_LOG_ERROR, "not find in balance table default route.\n\n");
        missing = 1;
    }
    return missing;
}

int linkfan_gateway_check(const linkfan_state &state)
{
    int changed = 0;
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        const pppoe_info &old_info = state.g_array_info[i];
        const pppoe_info &new_info = state.g_array_info_new[i];
        if (!linkfan_is_link(old_info) || !linkfan_is_link(new_info) ||
            strcmp(old_info.gateway, new_info.gateway) == 0)
            continue;
        linkfan_log(LINKFAN_LOG_INFO, "chang_gateway, %s : %s -------> %s!\n", new_info.pppoe_name,
                    old_info.gateway, new_info.gateway);
        changed = 1;
    }
    return changed;
}

// The rescan saw the links up to 2.56 s ago. One that has gone since (a
// redial drops the link and makes a new one) would fail the whole multipath
// route, and the box would have none until the next cycle: it is left out
// now, and the news of its going brings that cycle at once.
static void mark_present(const linkfan_state &state, uint8_t *present)
{
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        present[i] = 0;
        if (!linkfan_is_next_hop(state.g_array_info[i]))
            continue;
        const int ifindex = state.ifindex[i];
        present[i] = ifindex <= 0 || if_still_there(state.g_array_info[i].pppoe_name, ifindex);
    }
}

int linkfan_default_route_rebuild(const linkfan_state &state, linkfan_route_scratch *route)
{
    const pppoe_info *links = state.g_array_info;
    const int multipath = state.g_multipath_routing;
    static uint8_t present[LINKFAN_MAX_LINKS];
    mark_present(state, present);

    int lead = -1;
    for (int i = 0; i < LINKFAN_MAX_LINKS && lead < 0; i++)
        if (present[i])
            lead = i;
    // Without one next hop there is nothing sound to route by; the routes
    // built last stay, and so does what route says of them.
    if (lead < 0)
        return 0;
    route->temp_line[0] = route->main_route[0] = route->l_tme[0] = '\0';
    route->first_ppp = 0;
    memset(route->next_hop, 0, sizeof route->next_hop);
    // The main route of multipath mode and the port rule go to the lowest
    // next hop that carries traffic; to the lowest of all when none does.
    for (int i = lead; i < LINKFAN_MAX_LINKS; i++)
        if (present[i] && linkfan_track_usable(state, LINKFAN_IPV4, i)) {
            lead = i;
            break;
        }
    if (multipath) {
        route->first_ppp = lead;
        snprintf(route->main_route, sizeof route->main_route,
                 "ip route replace default via %s dev ppp%u", links[lead].gateway,
                 static_cast<unsigned>(lead));
        linkfan_text_copy(route->temp_line, "ip route replace table balance default ");
    } else {
        linkfan_text_copy(route->temp_line, "ip route replace default ");
    }
    linkfan_log(LINKFAN_LOG_INFO, "update route table......\n\n");

    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (!present[i])
            continue;
        // A down link is no next hop, but keeps its masquerading: traffic
        // from its address and its probes still leave through it.
        if (linkfan_track_usable(state, LINKFAN_IPV4, i)) {
            snprintf(route->l_tme, sizeof route->l_tme, "nexthop via %s dev ppp%u weight 1 ",
                     links[i].gateway, static_cast<unsigned>(i));
            linkfan_text_append(route->temp_line, route->l_tme);
            route->next_hop[i] = 1;
        }
        if (multipath) {
            // Delete first, so a rebuild never stacks a second copy of the rule.
            linkfan_runf("iptables -t nat -D POSTROUTING -o ppp%u -j MASQUERADE",
                         static_cast<unsigned>(i));
            linkfan_runf("iptables -t nat -I POSTROUTING -o ppp%u -j MASQUERADE",
                         static_cast<unsigned>(i));
        }
    }

    if (multipath) {
        linkfan_run("ip route del default");
        linkfan_run(route->main_route);
        linkfan_log(LINKFAN_LOG_INFO, "set main route : %s\n", route->main_route);
        linkfan_run("ip route del table balance default");
        linkfan_run(route->temp_line);
        linkfan_log(LINKFAN_LOG_INFO, "set balance route : %s\n", route->temp_line);
        linkfan_run("ip rule del priority 100");
        linkfan_runf("ip rule add from %s dport 1-1023 ipproto tcp table balance priority 100",
                     links[route->first_ppp].pppoe_ip);
        linkfan_run("ip route flush cache");
        linkfan_run("ip route flush cache table balance");
    } else {
        linkfan_run("ip route del default");
        linkfan_run(route->temp_line);
        linkfan_log(LINKFAN_LOG_INFO, "set main route : %s\n", route->temp_line);
        linkfan_run("ip route flush cache");
    }
    return 1;
}
