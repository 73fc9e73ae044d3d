// The metrics file of --metrics.
#include "linkfan_metrics.h"
#include "linkfan_file.h"
#include "linkfan_log.h"
#include "linkfan_rt_tables.h"
#include "linkfan_shell.h"
#include "linkfan_track.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

namespace {

const char *const cause_names[LINKFAN_CAUSE_COUNT] = {"link_change", "health_change",
                                                      "missing_route"};

bool present(const linkfan_state &state, int i)
{
    return linkfan_is_link(state.g_array_info[i]);
}

bool tracked(const linkfan_state &state, int i)
{
    return state.track.links[i].fd >= 0;
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

// The sample of a per-link family for link i, as text; false when the link
// has none.
using link_value = bool (*)(const linkfan_state &state, int i, long long now, char *text,
                            size_t size);

bool value_present(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return integer(text, size, present(state, i));
}

bool value_next_hop(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return integer(text, size, present(state, i) && state.route.next_hop[i]);
}

bool value_table(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return present(state, i) && integer(text, size, static_cast<unsigned>(linkfan_table_number(i)));
}

bool value_up(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    bool up = state.track.count > 0 ? tracked(state, i) && !state.track.links[i].down
                                    : present(state, i);
    return integer(text, size, up);
}

bool value_lost(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return tracked(state, i) &&
           integer(text, size, static_cast<unsigned>(linkfan_track_lost(state.track.links[i])));
}

bool value_round_trip(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    const linkfan_track_link &link = state.track.links[i];
    return tracked(state, i) && link.rtt_tenths >= 0 &&
           seconds(text, size, static_cast<long long>(link.rtt_tenths) * 100);
}

bool value_requests(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return integer(text, size, state.track.links[i].requests);
}

bool value_replies(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return integer(text, size, state.track.links[i].replies);
}

bool value_changes(const linkfan_state &state, int i, long long, char *text, size_t size)
{
    return integer(text, size, state.track.links[i].changes);
}

bool value_since(const linkfan_state &state, int i, long long now, char *text, size_t size)
{
    long long changed = state.track.links[i].changed_usec;
    return tracked(state, i) && seconds(text, size, now > changed ? now - changed : 0);
}

struct link_family {
    const char *name;
    const char *type;
    const char *help;
    int tracking;  // only with -t
    link_value value;
};

// Every link seen in this run gets a sample of each family that has one for
// it, so a link that went away still shows, as not present.
const link_family link_families[] = {
    {"kivo_linkfan_link_present", "gauge",
     "1 while the link is present, 0 for one seen earlier in this run that is gone.", 0,
     value_present},
    {"kivo_linkfan_link_next_hop", "gauge",
     "1 when the default routes last built lead through the link.", 0, value_next_hop},
    {"kivo_linkfan_link_table", "gauge", "Number of the link's own routing table.", 0,
     value_table},
    {"kivo_linkfan_link_up", "gauge",
     "1 when the link is up: with -t a tracked link that is not down, without -t a present link.",
     0, value_up},
    {"kivo_linkfan_link_lost_rounds", "gauge", "Probe rounds lost of the link's last five.", 1,
     value_lost},
    {"kivo_linkfan_link_round_trip_seconds", "gauge",
     "Round-trip time of the link's last answered probe round.", 1, value_round_trip},
    {"kivo_linkfan_link_echo_requests_total", "counter", "Echo requests sent through the link.",
     1, value_requests},
    {"kivo_linkfan_link_echo_replies_total", "counter",
     "Echo replies of the targets received through the link.", 1, value_replies},
    {"kivo_linkfan_link_state_changes_total", "counter",
     "Changes of the link's state, down or up.", 1, value_changes},
    {"kivo_linkfan_link_since_change_seconds", "gauge",
     "Seconds since the link's last change of state, or since it was first tracked.", 1,
     value_since},
};

void header(FILE *out, const char *name, const char *type, const char *help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// Label values are link names "pppN" and the fixed cause names: nothing in
// them needs the format's escapes.
void write_exposition(FILE *out, const linkfan_state &state, long long now)
{
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

    char value[32];
    for (const link_family &family : link_families) {
        if (family.tracking && state.track.count == 0)
            continue;
        bool headed = false;
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            if (!tally.seen[i] || !family.value(state, i, now, value, sizeof value))
                continue;
            if (!headed)
                header(out, family.name, family.type, family.help);
            headed = true;
            fprintf(out, "%s{link=\"ppp%d\"} %s\n", family.name, i, value);
        }
    }
}

// Logs a failure when its step and error are not the ones logged last.
int failed(linkfan_metrics *metrics, int step, int error)
{
    if (metrics->failed_step == step && metrics->failed_errno == error)
        return -1;
    metrics->failed_step = step;
    metrics->failed_errno = error;
    const char *path = metrics->path;
    if (step == LINKFAN_FILE_MODE)
        linkfan_log(LINKFAN_LOG_ERROR, "metrics: cannot make %s.tmp readable to all: %s\n", path,
                    strerror(error));
    else if (step == LINKFAN_FILE_RENAME)
        linkfan_log(LINKFAN_LOG_ERROR, "metrics: cannot rename %s.tmp to %s: %s\n", path, path,
                    strerror(error));
    else
        linkfan_log(LINKFAN_LOG_ERROR, "metrics: cannot write %s: %s\n", path, strerror(error));
    return -1;
}

}  // namespace

int linkfan_metrics_write(const linkfan_state &state, linkfan_metrics *metrics, long long now)
{
    static char temp[LINKFAN_MAX_PATH + 8];
    snprintf(temp, sizeof temp, "%s.tmp", metrics->path);
    // node_exporter reads only *.prom: it never reads the temporary file. The
    // service runs with umask 0077; node_exporter is another user.
    int step = linkfan_file_replace(metrics->path, temp, 0644, write_exposition, state, now);
    if (step != LINKFAN_FILE_OK)
        return failed(metrics, step, errno);
    if (metrics->failed_step != LINKFAN_FILE_OK)
        linkfan_log(LINKFAN_LOG_INFO, "metrics: %s written again\n", metrics->path);
    metrics->failed_step = LINKFAN_FILE_OK;
    metrics->failed_errno = 0;
    return 0;
}
