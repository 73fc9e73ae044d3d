// Per-link policy routing: a table per link and the rules that send the
// link's own source addresses into it, for each address family the link has.
#include "linkfan_link_route.h"
#include "linkfan_log.h"
#include "linkfan_run.h"

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

// Two rules per link ("from" and "to"); deleting four times also clears
// duplicates left by an earlier run.
static void delete_ipv6_rules(const char *name)
{
    for (int k = 0; k < 4; k++)
        linkfan_runf("ip -6 rule del table %s", name);
}

static void configure_ipv6(const pppoe_info &info)
{
    const char *name = info.pppoe_name;
    linkfan_log(LINKFAN_LOG_INFO, "update %s ipv6 route rule.\n", name);
    linkfan_runf("ip -6 route add default dev %s table %s", name, name);
    delete_ipv6_rules(name);
    linkfan_runf("ip -6 rule add from %s table %s pref 200", info.pppoe_ipv6, name);
    linkfan_runf("ip -6 rule add to %s lookup %s pref 200", info.pppoe_ipv6, name);
}

// A family the link lacks keeps no rule naming an address it had: one lost
// or changed in this run, or one an earlier run routed by (a link-local one
// among them).
static void clear_ipv4(const pppoe_info &info)
{
    const char *name = info.pppoe_name;
    linkfan_log(LINKFAN_LOG_INFO, "clear %s route rule.\n", name);
    linkfan_runf("ip rule del table %s", name);
    // The queue length is the link's, whatever families it has.
    linkfan_runf("ip link set dev %s txqueuelen 1000", name);
}

static void clear_ipv6(const pppoe_info &info)
{
    linkfan_log(LINKFAN_LOG_INFO, "clear %s ipv6 route rule.\n", info.pppoe_name);
    delete_ipv6_rules(info.pppoe_name);
}

int linkfan_link_route(const linkfan_state &state)
{
    int configured = 0;
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        const pppoe_info &new_info = state.g_array_info_new[i];
        const pppoe_info &old_info = state.g_array_info[i];
        const bool ipv4 = linkfan_has_ipv4(new_info), ipv6 = linkfan_has_ipv6(new_info);
        // A link with no address at all has nothing to route by; one that
        // lost its last address has rules to clear.
        const bool had = !state.g_first && (linkfan_has_ipv4(old_info) || linkfan_has_ipv6(old_info));
        if (!linkfan_is_link(new_info) || (!ipv4 && !ipv6 && !had))
            continue;
        if (!state.g_first) {
            if (unchanged(old_info, new_info, state.ifindex[i], state.ifindex_new[i]))
                continue;
            linkfan_log(LINKFAN_LOG_INFO, "chang_ip, %s : %s -------> %s | %s ------> %s!\n",
                        new_info.pppoe_name, old_info.pppoe_ip, new_info.pppoe_ip,
                        old_info.pppoe_ipv6, new_info.pppoe_ipv6);
        }
        configured = 1;
        if (ipv4)
            configure_ipv4(new_info);
        else
            clear_ipv4(new_info);
        if (ipv6)
            configure_ipv6(new_info);
        else
            clear_ipv6(new_info);
    }
    return configured;
}
