// Per-link policy routing: a table per link and the rules that send the
// link's own source addresses into it, for IPv4 and IPv6.
#include "linkfan_link_route.h"
#include "linkfan_log.h"
#include "linkfan_run.h"

static bool configurable(const pppoe_info &info)
{
    return linkfan_is_link(info) && strchr(info.pppoe_ip, '.') && strchr(info.pppoe_ipv6, ':');
}

// A link needs no work when it is the same interface as before, with the same
// addresses, and its queue length was already set. A re-created interface
// has lost its table's default route with the old one, whatever its
// addresses: its new index tells it from the old.
static bool unchanged(const pppoe_info &old_info, const pppoe_info &new_info, int old_index,
                      int new_index)
{
    return old_index == new_index && old_info.txqueuelen == 1000 &&
           strcmp(old_info.pppoe_ip, new_info.pppoe_ip) == 0 &&
           strcmp(old_info.pppoe_ipv6, new_info.pppoe_ipv6) == 0;
}

static void configure_ipv4(const pppoe_info &info)
{
    const char *name = info.pppoe_name;
    linkfan_log(LINKFAN_LOG_INFO, "update %s route rule.\n", name);
    linkfan_runf("ip route flush table %s", name);
    linkfan_runf("ip route add 0/0 dev %s table %s", name, name);
    linkfan_runf("ip rule del table %s", name);
    linkfan_runf("ip rule add from %s table %s priority 1000", info.pppoe_ip, name);
    linkfan_runf("ip link set dev %s txqueuelen 1000", name);
}

static void configure_ipv6(const pppoe_info &info)
{
    const char *name = info.pppoe_name;
    linkfan_log(LINKFAN_LOG_INFO, "update %s ipv6 route rule.\n", name);
    linkfan_runf("ip -6 route add default dev %s table %s", name, name);
    // Two rules per link ("from" and "to"); deleting four times also clears
    // duplicates left by an earlier run.
    for (int k = 0; k < 4; k++)
        linkfan_runf("ip -6 rule del table %s", name);
    linkfan_runf("ip -6 rule add from %s table %s pref 200", info.pppoe_ipv6, name);
    linkfan_runf("ip -6 rule add to %s lookup %s pref 200", info.pppoe_ipv6, name);
}

int linkfan_link_route(const linkfan_state &state)
{
    int configured = 0;
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        const pppoe_info &new_info = state.g_array_info_new[i];
        const pppoe_info &old_info = state.g_array_info[i];
        if (!configurable(new_info))
            continue;
        if (!state.g_first) {
            if (unchanged(old_info, new_info, state.ifindex[i], state.ifindex_new[i]))
                continue;
            linkfan_log(LINKFAN_LOG_INFO, "chang_ip, %s : %s -------> %s | %s ------> %s!\n",
                        new_info.pppoe_name, old_info.pppoe_ip, new_info.pppoe_ip,
                        old_info.pppoe_ipv6, new_info.pppoe_ipv6);
        }
        configured = 1;
        configure_ipv4(new_info);
        configure_ipv6(new_info);
    }
    return configured;
}
