// Command line of kivo_linkfan: -h, -d, -m, -t and --metrics.
#pragma once

#include "linkfan_record.h"

struct linkfan_options {
    int g_debug;              // -d: the console stays
    int g_multipath_routing;  // -m: multipath mode
    linkfan_targets targets;  // -t: the targets of each family; none without
    char metrics_path[LINKFAN_MAX_PATH];  // --metrics: the metrics file; empty without
};

// Fills options (cleared first); 0 to go on, 1 when the usage was printed.
int kivo_parse_commandline(int argc, char *argv[], linkfan_options *options);
