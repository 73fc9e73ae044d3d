// Supervision cycle: discovery, then rescan, routing-table list, per-link
// routing and default routes, every 10 seconds, for ever.
#include "linkfan_cycle.h"
#include "getinfo.h"
#include "linkfan_default_route.h"
#include "linkfan_events.h"
#include "linkfan_ipv6_route.h"
#include "linkfan_link_route.h"
#include "linkfan_log.h"
#include "linkfan_metrics.h"
#include "linkfan_publish.h"
#include "linkfan_rt_tables.h"
#include "linkfan_run.h"
#include "linkfan_track.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

// The probe result for one name and the probed name: scratch of this file.
static pppoe_info temp;
static int temp_index;
static char ifname[16];

static void set_ifname(int i)
{
    snprintf(ifname, sizeof ifname, "ppp%u", static_cast<unsigned>(i));
}

void linkfan_cycle_init(linkfan_state *state, int multipath_routing)
{
    memset(state, 0, sizeof *state);
    memset(&temp, 0, sizeof temp);
    temp_index = 0;
    memset(ifname, 0, sizeof ifname);
    state->events.fd = -1;
    for (int family = 0; family < LINKFAN_FAMILIES; family++)
        for (linkfan_track_link &link : state->track.links[family])
            link.fd = -1;
    state->g_first = 1;
    state->g_new_ppp = 1;
    state->g_chang_ip = 0;
    state->g_multipath_routing = multipath_routing;
}

static void log_link(const pppoe_info &info)
{
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_name = %s\n", info.pppoe_name);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_ip = %s\n", info.pppoe_ip);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_ipv6 = %s\n", info.pppoe_ipv6);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].gateway = %s\n", info.gateway);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].txqueuelen = %u\n", info.txqueuelen);
}

void linkfan_discover(linkfan_state *state)
{
    pppoe_info *links = state->g_array_info;
    linkfan_log(LINKFAN_LOG_INFO, "Please wait ppp dev checking......\n");
    memset(state->g_array_info, 0, sizeof state->g_array_info);
    memset(state->ifindex, 0, sizeof state->ifindex);
    // Three passes give a link that is still coming up time to get its
    // addresses; a link is recorded again whenever they changed meanwhile.
    // One with no address and no peer is not recorded.
    for (int pass = 0; pass < 3; pass++) {
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            set_ifname(i);
            if (if_fetch_indexed(ifname, &temp, &temp_index) != 0)
                continue;
            if (linkfan_is_link(temp) && (strcmp(links[i].pppoe_ip, temp.pppoe_ip) != 0 ||
                                          strcmp(links[i].gateway, temp.gateway) != 0 ||
                                          strcmp(links[i].pppoe_ipv6, temp.pppoe_ipv6) != 0)) {
                links[i] = temp;
                state->ifindex[i] = temp_index;
                log_link(links[i]);
            }
            linkfan_pause(50000);
            // The passes take about 20 s: the metrics file must not age meanwhile.
            linkfan_metrics_refresh(*state, &state->metrics, linkfan_monotonic_usec());
        }
    }
}

static void rescan(linkfan_state *state)
{
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        set_ifname(i);
        if (if_fetch_indexed(ifname, &temp, &temp_index) == 0 && linkfan_is_link(temp)) {
            const pppoe_info &old_info = state->g_array_info[i];
            // A new link, or one that had no address of either family, is not
            // in the list yet.
            if (old_info.pppoe_name[0] == '\0' ||
                (old_info.pppoe_ip[0] == '\0' && old_info.pppoe_ipv6[0] == '\0'))
                state->g_new_ppp = 1;
            state->g_array_info_new[i] = temp;
            state->g_array_info_new[i].pppd_time = old_info.pppd_time;
            state->ifindex_new[i] = temp_index;
        }
        linkfan_events_rest(state, 20000);
    }
}

// A rebuild counts under the first of its causes that the cycle found: a
// link configured anew has usually lost its default route too.
static void note_cause(int *cause, int why)
{
    if (*cause < 0)
        *cause = why;
}

int linkfan_cycle(linkfan_state *state)
{
    const long long start = linkfan_monotonic_usec();
    int cause = -1;
    if (state->g_first) {
        memcpy(state->g_array_info_new, state->g_array_info, sizeof state->g_array_info_new);
        memcpy(state->ifindex_new, state->ifindex, sizeof state->ifindex_new);
    } else {
        rescan(state);
    }

    if (!state->g_new_ppp) {
        int status = linkfan_rt_tables_check(*state, &state->g_new_ppp);
        if (status)
            return status;
    }
    linkfan_log(LINKFAN_LOG_INFO, "Processing routing......\n");
    if (state->g_new_ppp) {
        int status = linkfan_rt_tables_rewrite(*state);
        if (status)
            return status;
    }
    if (linkfan_link_route(*state)) {
        state->g_chang_ip = 1;
        note_cause(&cause, LINKFAN_CAUSE_LINK);
    }
    if (!state->g_first) {
        if (linkfan_gateway_check(*state)) {
            state->g_chang_ip = 1;
            note_cause(&cause, LINKFAN_CAUSE_LINK);
        }
        memcpy(state->g_array_info, state->g_array_info_new, sizeof state->g_array_info);
        memcpy(state->ifindex, state->ifindex_new, sizeof state->ifindex);
    }

    if (linkfan_tracking(*state)) {
        linkfan_track_sync(state, linkfan_monotonic_usec());
        // A change of state that no early rebuild has followed yet.
        if (state->track.rebuild_due & (1 << LINKFAN_IPV4)) {
            state->g_chang_ip = 1;
            note_cause(&cause, LINKFAN_CAUSE_HEALTH);
        }
    }

    if (linkfan_default_route_check(*state)) {
        state->g_chang_ip = 1;
        note_cause(&cause, LINKFAN_CAUSE_ROUTE);
    }
    if (state->g_first || state->g_chang_ip) {
        // With no cause found it is the first cycle, routing by the links found.
        if (linkfan_default_route_rebuild(*state, &state->route))
            state->tally.rebuilds[cause < 0 ? LINKFAN_CAUSE_LINK : cause]++;
    }
    // The IPv6 default route follows the links by what the kernel holds: it
    // needs no flag of its own, and a box without IPv6 runs nothing for it.
    linkfan_ipv6_default_sync(*state, &state->route, state->g_first);
    state->track.rebuild_due = 0;

    // The last ip batch of the cycle runs now, not at the pause: "finish" in
    // the log means the routes are in place.
    linkfan_settle();
    linkfan_log(LINKFAN_LOG_INFO, "finish!!!!\n");
    const long long end = linkfan_monotonic_usec();
    linkfan_tally &tally = state->tally;
    tally.cycles++;
    tally.cycle_usec = end - start;
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (linkfan_is_link(state->g_array_info[i]))
            tally.seen[i] = 1;
        if (linkfan_has_ipv6(state->g_array_info[i]))
            tally.seen_ipv6[i] = 1;
    }
    linkfan_publish(state, end);
    linkfan_log_flush();
    linkfan_events_pause(state, 10000000);

    memset(state->g_array_info_new, 0, sizeof state->g_array_info_new);
    memset(state->ifindex_new, 0, sizeof state->ifindex_new);
    state->g_first = 0;
    state->g_new_ppp = 0;
    state->g_chang_ip = 0;
    return 0;
}

int do_main(const linkfan_options &options)
{
    int ignored = seteuid(0);
    (void)ignored;
    if (geteuid() != 0) {
        puts("Permission denied! Must be root user!");
        return 1;
    }
    if (linkfan_probe_open() != 0) {
        puts("open socket failed!");
        return 2;
    }
    if (!options.g_debug) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd < 0) {
            puts("open file /dev/null failed!");
            return 3;
        }
        // Whatever was printed so far belongs on the console, not in /dev/null.
        fflush(stdout);
        fflush(stderr);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }

    // Lives as long as the process; too large to sit on the stack gladly.
    static linkfan_state state;
    linkfan_cycle_init(&state, options.g_multipath_routing);
    linkfan_track_init(&state, options.targets);
    linkfan_publish_open(&state, options.metrics_path);
    // The metrics file is there from now on, before the discovery, and goes
    // when the program is stopped: SIGTERM and SIGINT remove it, then end the
    // program as they would have. A crash, a hang or an exit with status 4
    // or 5 leaves it, and its age tells.
    if (options.metrics_path[0])
        kivo_textfile_remove_at_stop(&state.metrics.file);
    linkfan_metrics_write(state, &state.metrics, linkfan_monotonic_usec());
    // Without the reports the pauses are plain ones, as they always were.
    linkfan_events_open(&state);
    linkfan_discover(&state);
    for (;;) {
        int status = linkfan_cycle(&state);
        if (status)
            return status;
    }
}
