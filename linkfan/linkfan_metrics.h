// The metrics file of --metrics: the links and the cycle in Prometheus's text
// exposition format, for node_exporter's textfile collector. It is written as
// the program starts, after every cycle and change of a link's state, and
// removed when the program is stopped (linkfan_publish.h).
#pragma once

#include "linkfan_state.h"

// The longest the file goes unwritten while the program works, so that its
// age tells a hung or dead program from a working one: the cycle's pause is
// shorter, the discovery at the start longer.
constexpr long long linkfan_metrics_rewrite_usec = 30000000;

// Rewrites the file whole through the shared writer (a temporary file
// "FILE.tmp" beside it, mode 0644 whatever the umask, renamed over it; a
// failure logged once per cause, the first success after one once more), at
// monotonic time now. 0, or -1 when it failed.
int linkfan_metrics_write(const linkfan_state &state, linkfan_metrics *metrics, long long now);

// Rewrites it when the last write is linkfan_metrics_rewrite_usec old; 0
// when it was not due or was written, -1 when the write failed.
int linkfan_metrics_refresh(const linkfan_state &state, linkfan_metrics *metrics, long long now);
