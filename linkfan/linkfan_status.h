// The status file of -t, "./linkfan.status": one line per link and address
// family with its address, gateway, state, rounds lost, last round trip, the
// seconds since its last change of state and the family.
#pragma once

#include "linkfan_state.h"

// The file's name, in the working directory.
constexpr char linkfan_status_name[] = "./linkfan.status";

// Rewrites the file (file, opened on linkfan_status_name) whole through the
// shared writer, as the state is at monotonic time now: a temporary file
// renamed over it, so a reader never sees half of it. 0, or -1 when it could
// not be written (logged once per cause).
int linkfan_status_write(const linkfan_state &state, kivo_textfile_record *file, long long now);
