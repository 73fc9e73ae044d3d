// The status file of -t.
#include "linkfan_status.h"
#include "linkfan_file.h"
#include "linkfan_track.h"

#include <stdio.h>

static const char status_name[] = "./linkfan.status";
static const char status_temp[] = "./linkfan.status.tmp";

// One line per link: name, address, gateway, state, rounds lost of the last
// 5, last round trip in ms, seconds since the last change of state. Empty
// fields are written "-" so that every line has all seven.
static void write_link(FILE *out, const linkfan_state &state, int i, long long now)
{
    const pppoe_info &info = state.g_array_info[i];
    const linkfan_track_link &link = state.track.links[i];
    const char *addr = info.pppoe_ip[0] ? info.pppoe_ip : "-";
    const char *gateway = info.gateway[0] ? info.gateway : "-";
    if (link.fd < 0) {
        fprintf(out, "%s %s %s untracked - - -\n", info.pppoe_name, addr, gateway);
        return;
    }
    char rtt[16] = "-";
    if (link.rtt_tenths >= 0)
        snprintf(rtt, sizeof rtt, "%d.%d", link.rtt_tenths / 10, link.rtt_tenths % 10);
    long long since = now > link.changed_usec ? (now - link.changed_usec) / 1000000 : 0;
    fprintf(out, "%s %s %s %s %d %s %lld\n", info.pppoe_name, addr, gateway,
            link.down ? "down" : "up", linkfan_track_lost(link), rtt, since);
}

static void write_status(FILE *out, const linkfan_state &state, long long now)
{
    fprintf(out, "# name address gateway state lost_of_5 rtt_ms since_s\n");
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++)
        if (linkfan_is_link(state.g_array_info[i]))
            write_link(out, state, i, now);
}

int linkfan_status_write(const linkfan_state &state, long long now)
{
    int step = linkfan_file_replace(status_name, status_temp, 0, write_status, state, now);
    return step == LINKFAN_FILE_OK ? 0 : -1;
}
