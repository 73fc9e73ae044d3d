// kivo_ddns: keeps a DNSPod A record pointed at this box's external IPv4 address,
// or an AAAA record at its IPv6 address, on one DNSPod line.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kivo_ddnspod.h"
#include "kivo_extern_ip.h"
#include "kivo_metrics.h"
#include "kivo_option.h"
#include "kivo_watch.h"
#include "libkivo_log.h"
#include "libkivo_text.h"

int main(int argc, char **argv)
{
    // Diagnostics reach a pipe or the journal line by line, not in lumps lost
    // when the process is killed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    libkivo_log_init_just_for_debug();
    kivo_option_init(argc, argv);
    kivo_option_hide_token(argc, argv);

    kivo_option_record &o = kivo_option_info;
    if (o.sub_domain[0] == '\0') {
        std::puts("please point sub_domain, such as: --sub_domain=hostname");
        return 255;
    }
    if (o.main_domain[0] == '\0') {
        std::puts("please point main_domain, such as: --main_domain=" KIVO_OPTION_DEFAULT_ZONE);
        return 254;
    }

    // The metrics file is there from now on, even while the first pass hangs,
    // and goes when the program is stopped.
    kivo_metrics_init(o.metrics, o.sub_domain, o.main_domain, o.record_type, o.line, o.interval);
    if (o.metrics[0] != '\0') {
        kivo_metrics_write(&kivo_metrics_info);
        kivo_metrics_remove_at_stop();
    }

    kivo_text_copy_field(kivo_ddnspod_record_info.type, o.record_type);
    kivo_text_copy_field(kivo_ddnspod_record_info.line, o.line);
    const bool ipv6 = std::strcmp(o.record_type, "AAAA") == 0;
    // The kernel's link and address news ends a pause early, so the record
    // follows a redial in seconds. Without it the passes keep their timer.
    kivo_watch_record &watch = kivo_watch_info;
    if (kivo_watch_open(&watch, o.nic, ipv6 ? AF_INET6 : AF_INET) != 0)
        libkivo_log_write("ERROR", 4, "no link news: netlink socket: %s; passes keep their timer\n",
                          std::strerror(errno));

    // Passes in a row that reached no decision.
    int failures = 0;
    for (;;) {
        int result = KIVO_REGISTER_NONE;
        int found = ipv6 ? kivo_extern_ip6_get(o.extern_ip, o.nic)
                         : kivo_extern_ip_get(o.extern_ip, o.nic);
        kivo_ddnspod_register_domain_name(o.ddns_token, o.sub_domain, o.main_domain, o.extern_ip,
                                          &result);
        // Still 0: the primary token got no API answer (or the address is already
        // confirmed, and the fallback call then returns at once as well).
        if (result == KIVO_REGISTER_NONE)
            kivo_ddnspod_register_domain_name(o.ddns_token_fallback, o.sub_domain, o.main_domain,
                                              o.extern_ip, &result);
        libkivo_log_write("INFO", 1, "interval: %d, ddnspod: %s.%s --> %s\n", o.interval,
                          o.sub_domain, o.main_domain, o.extern_ip);
        // A pass decided when it found an address and DNSPod created, modified
        // or confirmed the record; anything else is tried again soon.
        const bool decided =
            found && (result != KIVO_REGISTER_NONE || kivo_ddnspod_confirmed(o.extern_ip));
        failures = decided ? 0 : failures + 1;
        const bool updated =
            result == KIVO_REGISTER_CREATED || result == KIVO_REGISTER_MODIFIED;
        kivo_metrics_pass(decided, decided && !updated ? o.extern_ip : nullptr, updated);
        kivo_metrics_write(&kivo_metrics_info);

        // The file is rewritten in the pause too: its age tells a hung
        // program from an idle one.
        const int pause = kivo_watch_pause_seconds(failures, o.interval);
        const long long due = kivo_watch_now_ms() + pause * 1000LL;
        int why;
        while ((why = kivo_watch_pause(&watch, due,
                                       kivo_watch_now_ms() + KIVO_METRICS_REWRITE_SECONDS * 1000LL)) ==
               KIVO_WATCH_WAKE)
            kivo_metrics_write(&kivo_metrics_info);
        if (why == KIVO_WATCH_NEWS) {
            libkivo_log_write("INFO", 1, "link news on %s\n", watch.news_on);
            kivo_metrics_early(KIVO_METRICS_EARLY_LINK_NEWS);
        } else if (pause < o.interval) {
            libkivo_log_write("INFO", 1, "retry %d after a failed pass\n", failures);
            kivo_metrics_early(KIVO_METRICS_EARLY_RETRY);
        }
    }
}
