// Supervision cycle: discovery, then rescan, routing-table list, per-link
// routing and default routes, every 10 seconds, for ever.
#include "linkfan.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

pppoe_info g_array_info[LINKFAN_MAX_LINKS];
pppoe_info g_array_info_new[LINKFAN_MAX_LINKS];
int g_first = 1;
int g_new_ppp = 1;
int g_chang_ip = 0;

static pppoe_info temp;
static char ifname[16];

static void set_ifname(int i)
{
    snprintf(ifname, sizeof ifname, "ppp%u", static_cast<unsigned>(i));
}

void linkfan_cycle_init()
{
    memset(g_array_info, 0, sizeof g_array_info);
    memset(g_array_info_new, 0, sizeof g_array_info_new);
    memset(&temp, 0, sizeof temp);
    memset(ifname, 0, sizeof ifname);
    g_first = 1;
    g_new_ppp = 1;
    g_chang_ip = 0;
}

static void log_link(const pppoe_info &info)
{
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_name = %s\n", info.pppoe_name);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_ip = %s\n", info.pppoe_ip);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].pppoe_ipv6 = %s\n", info.pppoe_ipv6);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].gateway = %s\n", info.gateway);
    linkfan_log(LINKFAN_LOG_INFO, "g_array_info[i].txqueuelen = %u\n", info.txqueuelen);
}

void linkfan_discover()
{
    linkfan_log(LINKFAN_LOG_INFO, "Please wait ppp dev checking......\n");
    memset(g_array_info, 0, sizeof g_array_info);
    // Three passes give a link that is still coming up time to get its
    // addresses; a link is recorded again whenever they changed meanwhile.
    for (int pass = 0; pass < 3; pass++) {
        for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
            set_ifname(i);
            if (if_fetch(ifname, &temp) != 0)
                continue;
            if (linkfan_is_link(temp) && (strcmp(g_array_info[i].pppoe_ip, temp.pppoe_ip) != 0 ||
                                          strcmp(g_array_info[i].gateway, temp.gateway) != 0)) {
                g_array_info[i] = temp;
                log_link(g_array_info[i]);
            }
            linkfan_pause(50000);
        }
    }
}

static void rescan()
{
    for (int i = 0; i < LINKFAN_MAX_LINKS; i++) {
        set_ifname(i);
        if (if_fetch(ifname, &temp) == 0 && linkfan_is_link(temp)) {
            // A new link, or one that had no address, is not in the list yet.
            if (g_array_info[i].pppoe_ip[0] == '\0' || g_array_info[i].pppoe_name[0] == '\0')
                g_new_ppp = 1;
            g_array_info_new[i] = temp;
            g_array_info_new[i].pppd_time = g_array_info[i].pppd_time;
        }
        linkfan_pause(20000);
    }
}

int linkfan_cycle()
{
    if (g_first)
        memcpy(g_array_info_new, g_array_info, sizeof g_array_info_new);
    else
        rescan();

    if (!g_new_ppp) {
        int status = linkfan_rt_tables_check();
        if (status)
            return status;
    }
    linkfan_log(LINKFAN_LOG_INFO, "Processing routing......\n");
    if (g_new_ppp) {
        int status = linkfan_rt_tables_rewrite();
        if (status)
            return status;
    }
    linkfan_link_route();
    if (!g_first)
        memcpy(g_array_info, g_array_info_new, sizeof g_array_info);

    linkfan_default_route_check();
    if (g_first || g_chang_ip)
        linkfan_default_route_rebuild();

    linkfan_log(LINKFAN_LOG_INFO, "finish!!!!\n");
    if (log_file)
        fflush(log_file);
    linkfan_pause(10000000);

    memset(g_array_info_new, 0, sizeof g_array_info_new);
    g_first = 0;
    g_new_ppp = 0;
    g_chang_ip = 0;
    return 0;
}

int do_main()
{
    int ignored = seteuid(0);
    (void)ignored;
    if (geteuid() != 0) {
        puts("Permission denied! Must be root user!");
        return 1;
    }
    inet_sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (inet_sock < 0) {
        puts("open socket failed!");
        return 2;
    }
    if (!g_debug) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd < 0) {
            puts("open file /dev/null failed!");
            return 3;
        }
        // Whatever was printed so far belongs on the console, not in /dev/null.
        fflush(stdout);
        fflush(stderr);
        dup2(null_fd, 1);
        dup2(null_fd, 2);
    }

    linkfan_cycle_init();
    linkfan_discover();
    for (;;) {
        int status = linkfan_cycle();
        if (status)
            return status;
    }
}
