// kivo_ddns: keeps a DNSPod A record pointed at this box's external IPv4 address,
// or an AAAA record at its IPv6 address, on one DNSPod line.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "kivo_ddnspod.h"
#include "kivo_extern_ip.h"
#include "kivo_option.h"
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

    kivo_text_copy_field(kivo_ddnspod_record_info.type, o.record_type);
    kivo_text_copy_field(kivo_ddnspod_record_info.line, o.line);
    const bool ipv6 = std::strcmp(o.record_type, "AAAA") == 0;

    for (;;) {
        int result = KIVO_REGISTER_NONE;
        if (ipv6)
            kivo_extern_ip6_get(o.extern_ip, o.nic);
        else
            kivo_extern_ip_get(o.extern_ip, o.nic);
        kivo_ddnspod_register_domain_name(o.ddns_token, o.sub_domain, o.main_domain, o.extern_ip,
                                          &result);
        // Still 0: the primary token got no API answer (or the address is already
        // confirmed, and the fallback call then returns at once as well).
        if (result == KIVO_REGISTER_NONE)
            kivo_ddnspod_register_domain_name(o.ddns_token_fallback, o.sub_domain, o.main_domain,
                                              o.extern_ip, &result);
        libkivo_log_write("INFO", 1, "interval: %d, ddnspod: %s.%s --> %s\n", o.interval,
                          o.sub_domain, o.main_domain, o.extern_ip);
        sleep(static_cast<unsigned>(o.interval));
    }
}
