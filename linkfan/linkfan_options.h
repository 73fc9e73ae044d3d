// Command line of kivo_linkfan: -h, -d and -m.
#pragma once

struct linkfan_options {
    int g_debug;              // -d: the console stays
    int g_multipath_routing;  // -m: multipath mode
};

// Fills options (cleared first); 0 to go on, 1 when the usage was printed.
int kivo_parse_commandline(int argc, char *argv[], linkfan_options *options);
