// The status file of -t.
#include "linkfan_status.h"
#include "linkfan_track.h"

#include <arpa/inet.h>
#include <stdio.h>

namespace {

// What the file is written from.
struct status_context {
    const linkfan_state &state;
    long long now;
};

}  // namespace

// One line per link and family: name, address, gateway, state, rounds lost
// of the last 5, last round trip in ms, seconds since the last change of
// state, family. Empty fields are written "-" so that every line has all
// eight.
static void write_link(FILE *out, const linkfan_state &state, int family, int i, long long now)
{
    const pppoe_info &info = state.g_array_info[i];
    const linkfan_track_link &link = state.track.links[family][i];
    char addr[INET6_ADDRSTRLEN];
    linkfan_track_address(info, family, addr, sizeof addr);
    const char *gateway = family == LINKFAN_IPV4 ? info.gateway : state.route.ipv6_gateway[i];
    const char *name = family == LINKFAN_IPV4 ? "ipv4" : "ipv6";
    if (!addr[0])
        linkfan_text_copy(addr, "-");
    if (!gateway[0])
        gateway = "-";
    if (link.fd < 0) {
        fprintf(out, "%s %s %s untracked - - - %s\n", info.pppoe_name, addr, gateway, name);
        return;
    }
    char rtt[16] = "-";
    if (link.rtt_tenths >= 0)
        snprintf(rtt, sizeof rtt, "%d.%d", link.rtt_tenths / 10, link.rtt_tenths % 10);
    long long since = now > link.changed_usec ? (now - link.changed_usec) / 1000000 : 0;
    fprintf(out, "%s %s %s %s %d %s %lld %s\n", info.pppoe_name, addr, gateway,
            link.down ? "down" : "up", linkfan_track_lost(link), rtt, since, name);
}

// Every link has its IPv4 line, as it always had, unless it has IPv6 only;
// an IPv6 line when it has IPv6.
static int write_status(FILE *out, const void *context)
{
    const status_context &written = *static_cast<const status_context *>(context);
    const linkfan_state &state = written.state;
    const long long now = written.now;
    fprintf(out, "# name address gateway state lost_of_5 rtt_ms since_s family\n");
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        const pppoe_info &info = state.g_array_info[i];
        if (!linkfan_is_link(info))
            continue;
        const bool ipv6 = linkfan_has_ipv6(info);
        if (!ipv6 || info.pppoe_ip[0] || info.gateway[0])
            write_link(out, state, LINKFAN_IPV4, i, now);
        if (ipv6)
            write_link(out, state, LINKFAN_IPV6, i, now);
    }
    return 0;
}

int linkfan_status_write(const linkfan_state &state, kivo_textfile_record *file, long long now)
{
    const status_context context = {state, now};
    return kivo_textfile_write(file, write_status, &context);
}
