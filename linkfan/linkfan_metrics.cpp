// The metrics file of --metrics.
#include "linkfan_metrics.h"
#include "linkfan_rt_tables.h"
#include "linkfan_shell.h"
#include "linkfan_track.h"

#include <stdio.h>

namespace {

const char *const cause_names[LINKFAN_CAUSE_COUNT] = {"link_change", "health_change",
                                                      "missing_route"};

bool present(const linkfan_state &state, int i)
{
    return linkfan_is_link(state.g_array_info[i]);
}

const linkfan_track_link &tracker(const linkfan_state &state, int family, int i)
{
    return state.track.links[family][i];
}

bool tracked(const linkfan_state &state, int family, int i)
{
    return tracker(state, family, i).fd >= 0;
}

bool integer(char *text, size_t size, unsigned long long value)
{
    snprintf(text, size, "%llu", value);
    return true;
}

bool seconds(char *text, size_t size, long long usec)
{
    snprintf(text, size, "%.6f", static_cast<double>(usec) / 1e6);
    return true;
}

// The sample of a per-link series for link i (and family, for the series of a
// family's state), as text; false when the link has none.
using link_value = bool (*)(const linkfan_state &state, int family, int i, char *text,
                            size_t size);

bool value_present(const linkfan_state &state, int, int i, char *text, size_t size)
{
    return integer(text, size, present(state, i));
}

bool value_table(const linkfan_state &state, int, int i, char *text, size_t size)
{
    return present(state, i) && integer(text, size, static_cast<unsigned>(linkfan_table_number(i)));
}

bool value_next_hop(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    const uint8_t *next_hop =
        family == LINKFAN_IPV4 ? state.route.next_hop : state.route.ipv6_next_hop;
    return integer(text, size, present(state, i) && next_hop[i]);
}

bool value_up(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    const pppoe_info &info = state.g_array_info[i];
    bool up = state.track.targets.count[family] > 0
                  ? tracked(state, family, i) && !tracker(state, family, i).down
                  : present(state, i) && (family == LINKFAN_IPV4 || linkfan_has_ipv6(info));
    return integer(text, size, up);
}

bool value_lost(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    return tracked(state, family, i) &&
           integer(text, size, static_cast<unsigned>(linkfan_track_lost(tracker(state, family, i))));
}

bool value_round_trip(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    const linkfan_track_link &link = tracker(state, family, i);
    return tracked(state, family, i) && link.rtt_tenths >= 0 &&
           seconds(text, size, static_cast<long long>(link.rtt_tenths) * 100);
}

bool value_requests(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    return integer(text, size, tracker(state, family, i).requests);
}

bool value_replies(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    return integer(text, size, tracker(state, family, i).replies);
}

bool value_changes(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    return integer(text, size, tracker(state, family, i).changes);
}

bool value_changed_at(const linkfan_state &state, int family, int i, char *text, size_t size)
{
    return tracked(state, family, i) && seconds(text, size, tracker(state, family, i).changed_at_usec);
}

// Whose samples a series has.
enum {
    PER_LINK,     // one per link
    LINK_INFO,    // one per link, its value a label "table" of a sample 1
    PER_FAMILY,   // one per link and family, labelled with the family
    PER_TRACKED,  // the same, for the families -t tracks only
};

struct link_series {
    const char *name;
    const char *type;
    const char *help;
    int kind;
    link_value value;
};

// Every link seen in this run gets a sample of each series that has one for
// it, so a link that went away still shows, as not present; the IPv6 ones go
// to every link that had IPv6 in the run.
const link_series link_series_list[] = {
    {"kivo_linkfan_link_present", "gauge",
     "1 while the link is present, 0 for one seen earlier in this run that is gone.", PER_LINK,
     value_present},
    {"kivo_linkfan_link_next_hop", "gauge",
     "1 when the family's default routes last built lead through the link.", PER_FAMILY,
     value_next_hop},
    {"kivo_linkfan_link_info", "gauge",
     "1 for every present link, labelled with the number of its own routing table.", LINK_INFO,
     value_table},
    {"kivo_linkfan_link_up", "gauge",
     "1 when the link is up for the family: tracked by -t and not down, or, for a family -t "
     "does not track, present with an address of it.",
     PER_FAMILY, value_up},
    {"kivo_linkfan_link_lost_rounds", "gauge", "Probe rounds lost of the link's last five.",
     PER_TRACKED, value_lost},
    {"kivo_linkfan_link_round_trip_seconds", "gauge",
     "Round-trip time of the link's last answered probe round.", PER_TRACKED, value_round_trip},
    {"kivo_linkfan_link_echo_requests_total", "counter", "Echo requests sent through the link.",
     PER_TRACKED, value_requests},
    {"kivo_linkfan_link_echo_replies_total", "counter",
     "Echo replies of the targets received through the link.", PER_TRACKED, value_replies},
    {"kivo_linkfan_link_state_changes_total", "counter",
     "Changes of the link's state, down or up.", PER_TRACKED, value_changes},
    {"kivo_linkfan_link_last_change_timestamp_seconds", "gauge",
     "Unix time of the link's last change of state, or of when it was first tracked.",
     PER_TRACKED, value_changed_at},
};

const char *const family_names[LINKFAN_FAMILIES] = {"ipv4", "ipv6"};

void header(FILE *out, const char *name, const char *type, const char *help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The samples of one per-link series.
void write_series(FILE *out, const linkfan_state &state, const link_series &series)
{
    const linkfan_tally &tally = state.tally;
    char value[32];
    bool headed = false;
    for (int family = 0; family < LINKFAN_FAMILIES; family++) {
        if (series.kind < PER_FAMILY && family > 0)
            break;
        if (series.kind == PER_TRACKED && state.track.targets.count[family] == 0)
            continue;
        const uint8_t *seen = family == LINKFAN_IPV4 ? tally.seen : tally.seen_ipv6;
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            if (!seen[i] || !series.value(state, family, i, value, sizeof value))
                continue;
            if (!headed)
                header(out, series.name, series.type, series.help);
            headed = true;
            if (series.kind == PER_LINK)
                fprintf(out, "%s{link=\"ppp%d\"} %s\n", series.name, i, value);
            else if (series.kind == LINK_INFO)
                fprintf(out, "%s{link=\"ppp%d\",table=\"%s\"} 1\n", series.name, i, value);
            else
                fprintf(out, "%s{link=\"ppp%d\",family=\"%s\"} %s\n", series.name, i,
                        family_names[family], value);
        }
    }
}

// Label values are link names "pppN", table numbers, the family names and the
// fixed cause names: nothing in them needs the format's escapes.
int write_exposition(FILE *out, const void *context)
{
    const linkfan_state &state = *static_cast<const linkfan_state *>(context);
    const linkfan_tally &tally = state.tally;
    header(out, "kivo_linkfan_cycles_total", "counter", "Cycles run since the program started.");
    fprintf(out, "kivo_linkfan_cycles_total %llu\n", static_cast<unsigned long long>(tally.cycles));
    header(out, "kivo_linkfan_cycle_duration_seconds", "gauge",
           "How long the last cycle took, from its rescan to its routes in place, its pause left "
           "out.");
    fprintf(out, "kivo_linkfan_cycle_duration_seconds %.6f\n",
            static_cast<double>(tally.cycle_usec) / 1e6);
    header(out, "kivo_linkfan_default_route_rebuilds_total", "counter",
           "Rebuilds of the default routes, by cause: a link configured or its gateway changed "
           "(and the first cycle), a tracked link's state changed, a default route missing.");
    for (int c = 0; c < LINKFAN_CAUSE_COUNT; c++)
        fprintf(out, "kivo_linkfan_default_route_rebuilds_total{cause=\"%s\"} %llu\n",
                cause_names[c], static_cast<unsigned long long>(tally.rebuilds[c]));
    header(out, "kivo_linkfan_commands_total", "counter",
           "Command lines run (ip, iptables, sysctl, cp) and default-route checks read.");
    fprintf(out, "kivo_linkfan_commands_total %lu\n", linkfan_shell_cost.commands);
    for (const link_series &series : link_series_list)
        write_series(out, state, series);
    return 0;
}

}  // namespace

int linkfan_metrics_write(const linkfan_state &state, linkfan_metrics *metrics, long long now)
{
    metrics->written_usec = now;
    return kivo_textfile_write(&metrics->file, write_exposition, &state);
}

int linkfan_metrics_refresh(const linkfan_state &state, linkfan_metrics *metrics, long long now)
{
    if (now - metrics->written_usec < linkfan_metrics_rewrite_usec)
        return 0;
    return linkfan_metrics_write(state, metrics, now);
}
