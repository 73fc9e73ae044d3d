// IPv4 default routes: one through every link (or, with -m, one through the
// first link plus the "balance" table, its TCP port rule and masquerading per
// link). The IPv6 one is linkfan_ipv6_route.h's.
#pragma once

#include "linkfan_state.h"

// 1 when a line of the command's output contains "default", else 0.
int find_default_gateway(const char *xshellcmd);

// 1 when the main table (or, in multipath mode, "balance") has no default route.
int linkfan_default_route_check(const linkfan_state &state);

// 1 when a link of both tables has another gateway in g_array_info_new than
// in g_array_info: the default routes still lead to the old one. Each such
// link is logged with its old and new gateway.
int linkfan_gateway_check(const linkfan_state &state);

// Rebuilds the IPv4 default routes over g_array_info, assembling them in
// route, which keeps the links they lead through. 1 when it rebuilt; 0 when
// no link has an IPv4 address and a gateway, and the routes are left as they
// are.
int linkfan_default_route_rebuild(const linkfan_state &state, linkfan_route_scratch *route);
