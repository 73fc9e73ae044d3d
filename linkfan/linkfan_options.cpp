// Command line of kivo_linkfan: -h, -d, -m, -t and --metrics.
#include "linkfan_options.h"
#include "kivo_textfile.h"
#include "linkfan_run.h"
#include "linkfan_track_list.h"

#include <stdio.h>

#include <getopt.h>

// A long option without a letter: its code is no character.
constexpr int option_metrics = 256;

static const struct option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"debug", no_argument, nullptr, 'd'},
    {"multipath-routing", no_argument, nullptr, 'm'},
    {"track", required_argument, nullptr, 't'},
    {"metrics", required_argument, nullptr, option_metrics},
    {nullptr, 0, nullptr, 0},
};

static void print_usage(const char *program)
{
    printf("Usage: %s [options] \n\nOptions:\n"
           "  -h, --help               Print this help and exit\n"
           "  -d, --debug              debug mode\n"
           "  -m, --multipath-routing  enable multipath routing\n"
           "  -t, --track=LIST         track link health, LIST: up to 4 IPv4 and 4 IPv6 addresses, comma-separated\n"
           "      --metrics=FILE       write metrics for node_exporter's textfile collector to FILE\n"
           "  example: ./kivo_linkfan -d -m\n",
           program);
}

// Multipath routes spread flows by their ports and skip next hops whose
// neighbour is known dead only with the first two set, and the IPv6 default
// route spreads flows by their ports only with the third; they are set as the
// option is read, so they hold from the first cycle on.
static void enable_multipath_sysctls()
{
    linkfan_run("sysctl -w net.ipv4.fib_multipath_hash_policy=1");
    linkfan_run("sysctl -w net.ipv4.fib_multipath_use_neigh=1");
    linkfan_run("sysctl -w net.ipv6.fib_multipath_hash_policy=1");
}

static const char short_options[] = "hdmt:";

// The writer names the temporary file PATH.tmp.
constexpr size_t longest_metrics_path = KIVO_TEXTFILE_PATH_SIZE - sizeof ".tmp";
static_assert(longest_metrics_path < LINKFAN_MAX_PATH);

// The file of --metrics into options; 0, or 1 (with a line on standard
// error) for a name that is empty or does not fit.
static int read_metrics_path(const char *path, linkfan_options *options, const char *program)
{
    char why[48];
    if (path[0] == '\0') {
        snprintf(why, sizeof why, "is empty");
    } else if (strlen(path) > longest_metrics_path) {
        snprintf(why, sizeof why, "is longer than %zu bytes", longest_metrics_path);
    } else {
        linkfan_text_copy(options->metrics_path, path);
        return 0;
    }
    fprintf(stderr, "%s: bad --metrics file: \"%.64s\" %s\n", program, path, why);
    options->metrics_path[0] = '\0';
    return 1;
}

// A bad -t list or --metrics file refuses the start before anything runs,
// the sysctls of an earlier -m included: so every value is read in a pass of
// its own first.
static int read_checked_values(int argc, char *argv[], linkfan_options *options,
                               const char *program)
{
    int saved_opterr = opterr;
    opterr = 0;  // the second pass tells of unknown options
    optind = 0;
    int status = 0;
    int c;
    while (status == 0 && (c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        if (c == option_metrics) {
            status = read_metrics_path(optarg, options, program);
            continue;
        }
        if (c != 't')
            continue;
        char bad[64];
        const char *why = "";
        if (linkfan_track_list_parse(optarg, &options->targets, bad, sizeof bad, &why) != 0) {
            fprintf(stderr, "%s: bad -t list: \"%s\" %s\n", program, bad, why);
            status = 1;
        }
    }
    opterr = saved_opterr;
    optind = 0;
    return status;
}

int kivo_parse_commandline(int argc, char *argv[], linkfan_options *options)
{
    options->g_debug = 0;
    options->g_multipath_routing = 0;
    memset(&options->targets, 0, sizeof options->targets);
    options->metrics_path[0] = '\0';
    const char *program = argc > 0 && argv[0] ? argv[0] : "kivo_linkfan";
    if (read_checked_values(argc, argv, options, program) != 0) {
        print_usage(program);
        return 1;
    }
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (c) {
        case 'd':
            options->g_debug = 1;
            break;
        case 'm':
            options->g_multipath_routing = 1;
            enable_multipath_sysctls();
            break;
        case 't':
        case option_metrics:
            break;  // read in the first pass
        default:
            print_usage(program);
            return 1;
        }
    }
    return 0;
}
