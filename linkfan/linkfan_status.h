// The status file of -t, "./linkfan.status": one line per link and address
// family with its address, gateway, state, rounds lost, last round trip, the
// seconds since its last change of state and the family.
#pragma once

#include "linkfan_state.h"

// Rewrites the file whole (a temporary file renamed over it, so a reader
// never sees half of it). 0, or -1 when it could not be written.
int linkfan_status_write(const linkfan_state &state, long long now);
