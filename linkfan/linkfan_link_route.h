// Per-link policy routing: a table per link and the rules that send the
// link's own source addresses into it, for IPv4 and IPv6.
#pragma once

#include "linkfan_state.h"

// Configures every link of g_array_info_new that is new or changed against
// g_array_info (every one in the first cycle); 1 when it configured one.
int linkfan_link_route(const linkfan_state &state);
