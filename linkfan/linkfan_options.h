// Command line of kivo_linkfan: -h, -d, -m, -t and --metrics.
#pragma once

#include "linkfan_record.h"

struct linkfan_options {
    int g_debug;              // -d: the console stays
    int g_multipath_routing;  // -m: multipath mode
    int track_count;          // -t: how many targets; 0 without
    uint32_t track_targets[LINKFAN_MAX_TARGETS];  // network order
    char metrics_path[LINKFAN_MAX_PATH];  // --metrics: the metrics file; empty without
};

// Fills options (cleared first); 0 to go on, 1 when the usage was printed.
int kivo_parse_commandline(int argc, char *argv[], linkfan_options *options);
