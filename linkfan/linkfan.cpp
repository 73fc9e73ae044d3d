// kivo_linkfan: keeps policy routing over the box's ppp uplinks in step.
#include "linkfan_cycle.h"
#include "linkfan_log.h"
#include "linkfan_options.h"

static const char log_name[] = "linkfan.log";

int main(int argc, char *argv[])
{
    if (!log_file) {
        // Truncated at every start: the log tells of this run only.
        log_file = fopen(log_name, "w+");
        if (!log_file)
            fprintf(stderr, "Open log file %s error!", log_name);
    }
    linkfan_options options;
    if (kivo_parse_commandline(argc, argv, &options) != 0)
        return 1;
    return do_main(options);
}
