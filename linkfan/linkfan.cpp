// kivo_linkfan: keeps policy routing over the box's ppp uplinks in step.
#include "linkfan.h"

static const char log_name[] = "linkfan.log";

int main(int argc, char *argv[])
{
    if (!log_file) {
        // Truncated at every start: the log tells of this run only.
        log_file = fopen(log_name, "w+");
        if (!log_file)
            fprintf(stderr, "Open log file %s error!", log_name);
    }
    if (kivo_parse_commandline(argc, argv) != 0)
        return 1;
    return do_main();
}
