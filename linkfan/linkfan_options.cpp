// Command line of kivo_linkfan: -h, -d and -m.
#include "linkfan_options.h"
#include "linkfan_run.h"

#include <stdio.h>

#include <getopt.h>

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"debug", no_argument, nullptr, 'd'},
    {"multipath-routing", no_argument, nullptr, 'm'},
    {nullptr, 0, nullptr, 0},
};

static void print_usage(const char *program)
{
    printf("Usage: %s [options] \n\nOptions:\n"
           "  -h, --help               Print this help and exit\n"
           "  -d, --debug              debug mode\n"
           "  -m, --multipath-routing  enable multipath routing\n"
           "  example: ./kivo_linkfan -d -m\n",
           program);
}

// Multipath routes spread flows by their ports and skip next hops whose
// neighbour is known dead only with these two set; they are set as the option
// is read, so they hold from the first cycle on.
static void enable_multipath_sysctls()
{
    linkfan_run("sysctl -w net.ipv4.fib_multipath_hash_policy=1");
    linkfan_run("sysctl -w net.ipv4.fib_multipath_use_neigh=1");
}

int kivo_parse_commandline(int argc, char *argv[], linkfan_options *options)
{
    options->g_debug = 0;
    options->g_multipath_routing = 0;
    const char *program = argc > 0 && argv[0] ? argv[0] : "kivo_linkfan";
    int c;
    while ((c = getopt_long(argc, argv, "hdm", long_options, nullptr)) != -1) {
        switch (c) {
        case 'd':
            options->g_debug = 1;
            break;
        case 'm':
            options->g_multipath_routing = 1;
            enable_multipath_sysctls();
            break;
        default:
            print_usage(program);
            return 1;
        }
    }
    return 0;
}
