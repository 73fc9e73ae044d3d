// The IPv6 default route of the box's own connections: one route in the main
// table, multipath over every link with a routable IPv6 address, one next hop
// each, at a metric that wins over the defaults the kernel learns from router
// advertisements (1024), which stay as the fallback when the tool is not
// running. The same without and with -m: IPv6 needs no NAT, and its source
// address follows the link the route chose.
#pragma once

#include "linkfan_state.h"

constexpr int linkfan_ipv6_metric = 512;

// Brings the IPv6 default route in step with g_array_info: rebuilds it when
// the links and gateways it should lead through differ from those it leads
// through in the kernel (always, with force, when there is a link to lead
// through), and removes it when there is none. A next hop's gateway is the
// link's router (the gateway of a default route the kernel has through it),
// else its peer's link-local address; a link with neither is left out. Keeps
// what it found and built in route. 1 when it ran a command.
int linkfan_ipv6_default_sync(const linkfan_state &state, linkfan_route_scratch *route, int force);
