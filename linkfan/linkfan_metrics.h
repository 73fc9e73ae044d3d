// The metrics file of --metrics: the links and the cycle in Prometheus's text
// exposition format, for node_exporter's textfile collector.
#pragma once

#include "linkfan_state.h"

// Rewrites the file whole: a temporary file "FILE.tmp" beside it, mode 0644,
// renamed over it, so a reader never sees half of it and a failed write keeps
// the previous file. A failure is logged once per cause (its step and error),
// and the first success after one once more. 0, or -1 when it failed.
int linkfan_metrics_write(const linkfan_state &state, linkfan_metrics *metrics, long long now);
