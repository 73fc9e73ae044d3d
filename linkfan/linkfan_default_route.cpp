// Default routes: one through every link (or, with -m, one through the first
// link plus the "balance" table, its TCP port rule and masquerading per link).
#include "linkfan.h"

static char temp_line[16384];
static char main_route[128];
static char l_tme[128];
static int first_ppp;

static int line_has_default(const char *text, void *)
{
    return strstr(text, "default") != nullptr;
}

int find_default_gateway(const char *xshellcmd)
{
    return linkfan_read(xshellcmd, line_has_default, nullptr);
}

void linkfan_default_route_check()
{
    if (!find_default_gateway("ip route")) {
        linkfan_log(LINKFAN_LOG_ERROR, "not find in main table default route.\n\n");
        g_chang_ip = 1;
    }
    if (g_multipath_routing && !find_default_gateway("ip route list table balance")) {
        linkfan_log(LINKFAN_LOG_ERROR, "not find in balance table default route.\n\n");
        g_chang_ip = 1;
    }
}

static bool is_next_hop(const pppoe_info &info)
{
    return linkfan_is_link(info) && strchr(info.pppoe_ip, '.') && strchr(info.gateway, '.');
}

static bool fully_configured(const pppoe_info &info)
{
    return is_next_hop(info) && strchr(info.pppoe_ipv6, ':');
}

void linkfan_default_route_rebuild()
{
    memset(temp_line, 0, sizeof temp_line);
    memset(main_route, 0, sizeof main_route);
    memset(l_tme, 0, sizeof l_tme);
    first_ppp = 0;

    int lead = -1;
    for (int i = 0; i < LINKFAN_MAX_LINKS && lead < 0; i++)
        if (fully_configured(g_array_info[i]))
            lead = i;
    // Without one fully configured link there is nothing sound to route by.
    if (lead < 0)
        return;
    if (g_multipath_routing) {
        first_ppp = lead;
        snprintf(main_route, sizeof main_route, "ip route replace default via %s dev ppp%u",
                 g_array_info[lead].gateway, static_cast<unsigned>(lead));
        linkfan_text_copy(temp_line, "ip route replace table balance default ");
    } else {
        linkfan_text_copy(temp_line, "ip route replace default ");
    }
    linkfan_log(LINKFAN_LOG_INFO, "update route table......\n\n");

    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (!is_next_hop(g_array_info[i]))
            continue;
        snprintf(l_tme, sizeof l_tme, "nexthop via %s dev ppp%u weight 1 ", g_array_info[i].gateway,
                 static_cast<unsigned>(i));
        linkfan_text_append(temp_line, l_tme);
        if (g_multipath_routing) {
            // Delete first, so a rebuild never stacks a second copy of the rule.
            linkfan_runf("iptables -t nat -D POSTROUTING -o ppp%u -j MASQUERADE",
                         static_cast<unsigned>(i));
            linkfan_runf("iptables -t nat -I POSTROUTING -o ppp%u -j MASQUERADE",
                         static_cast<unsigned>(i));
        }
    }

    if (g_multipath_routing) {
        linkfan_run("ip route del default");
        linkfan_run(main_route);
        linkfan_log(LINKFAN_LOG_INFO, "set main route : %s\n", main_route);
        linkfan_run("ip route del table balance default");
        linkfan_run(temp_line);
        linkfan_log(LINKFAN_LOG_INFO, "set balance route : %s\n", temp_line);
        linkfan_run("ip rule del priority 100");
        linkfan_runf("ip rule add from %s dport 1-1023 ipproto tcp table balance priority 100",
                     g_array_info[first_ppp].pppoe_ip);
        linkfan_run("ip route flush cache");
        linkfan_run("ip route flush cache table balance");
    } else {
        linkfan_run("ip route del default");
        linkfan_run(temp_line);
        linkfan_log(LINKFAN_LOG_INFO, "set main route : %s\n", temp_line);
        linkfan_run("ip route flush cache");
    }
}
