// What the tool tells of its state, after every cycle and every change of a
// link's state: the status file with -t, the metrics file with --metrics.
#pragma once

#include "linkfan_state.h"

// Writes both as they apply, and clears track.changed: the change is told.
void linkfan_publish(linkfan_state *state, long long now);
