// What the tool tells of its state, after every cycle and every change of a
// link's state: the status file with -t, the metrics file with --metrics.
#pragma once

#include "linkfan_state.h"

// Names the files: the status file, and the metrics file at metrics_path
// (empty: none). 0, or -1 when metrics_path leaves no room for the name of
// its temporary file (it then names none).
int linkfan_publish_open(linkfan_state *state, const char *metrics_path);

// Writes both as they apply, and clears track.changed: the change is told.
void linkfan_publish(linkfan_state *state, long long now);
