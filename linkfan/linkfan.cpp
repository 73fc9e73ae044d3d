// kivo_linkfan: keeps policy routing over the box's ppp uplinks in step.
#include "linkfan_cycle.h"
#include "linkfan_log.h"
#include "linkfan_options.h"

static const char log_name[] = "linkfan.log";

int main(int argc, char *argv[])
{
    linkfan_log_open(log_name);
    linkfan_options options;
    if (kivo_parse_commandline(argc, argv, &options) != 0)
        return 1;
    return do_main(options);
}
