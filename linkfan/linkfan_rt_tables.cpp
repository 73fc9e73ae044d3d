// Routing-table list: every link's table must be known to ip by name.
#include "linkfan_rt_tables.h"
#include "linkfan_log.h"
#include "linkfan_run.h"

#include <stdio.h>

static const char system_list[] = "/etc/iproute2/rt_tables";
static const char work_list[] = "./rt_tables";

static char rt_tables[4096];

int linkfan_rt_tables_check(const linkfan_state &state, int *new_ppp)
{
    FILE *in = fopen(system_list, "r");
    if (!in) {
        linkfan_log(LINKFAN_LOG_ERROR, "could not open file : %s!\n", system_list);
        return 4;
    }
    memset(rt_tables, 0, sizeof rt_tables);
    size_t got = fread(rt_tables, 1, sizeof rt_tables - 1, in);
    rt_tables[got] = '\0';
    fclose(in);

    // The line feed in the key keeps ppp1 from matching a listed ppp11.
    char table_name[32];
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (!linkfan_is_link(state.g_array_info_new[i]))
            continue;
        snprintf(table_name, sizeof table_name, "%.15s\n", state.g_array_info_new[i].pppoe_name);
        if (!strstr(rt_tables, table_name)) {
            *new_ppp = 1;
            break;
        }
    }
    return 0;
}

int linkfan_rt_tables_rewrite(const linkfan_state &state)
{
    linkfan_log(LINKFAN_LOG_INFO, "update file /etc/iproute2/rt_tables......\n");
    FILE *out = fopen(work_list, "w+");
    if (!out) {
        linkfan_log(LINKFAN_LOG_ERROR, "could not open file : %s!\n", work_list);
        return 5;
    }
    fputs("# reserved values\n"
          "255\tlocal\n"
          "254\tmain\n"
          "253\tdefault\n"
          "0\tunspec\n"
          "# local\n"
          "#1\tinr.ruhep\n",
          out);
    if (state.g_multipath_routing)
        fputs("6\tbalance\n", out);
    // A link keeps the number of its name (pppN is 10 * (N + 1)) whatever
    // else comes and goes: the kernel holds rules and routes by number, and a
    // link that stays must not find its number handed to another link, whose
    // set-up would then flush its table and delete its rules.
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        if (!linkfan_is_link(state.g_array_info_new[i]))
            continue;
        fprintf(out, "%d %s\n", linkfan_table_number(i), state.g_array_info_new[i].pppoe_name);
    }
    // A list cut short (a full disk) must not replace the system's: keep the
    // old one; the next cycle's check finds the links missing and tries again.
    bool written = !ferror(out);
    if (fclose(out) != 0)
        written = false;
    if (!written) {
        linkfan_log(LINKFAN_LOG_ERROR, "could not write file : %s!\n", work_list);
        return 0;
    }
    linkfan_run("cp ./rt_tables /etc/iproute2/rt_tables");
    linkfan_pause(50000);
    return 0;
}
