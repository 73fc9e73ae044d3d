// The IPv6 address of an uplink, read from the kernel: a box's IPv6 address on
// a PPPoE link is its public one, so no echo service needs to be asked.
#include "kivo_extern_ip.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <cstring>

#include "kivo_netlink.h"
#include "libkivo_text.h"

namespace {

struct wanted {
    unsigned index;
    char *out;
    size_t size;
    int found;
};

// 1 when the message is an address of the interface that can be published;
// its text then is in out.
int take(const nlmsghdr *h, void *context)
{
    wanted &w = *static_cast<wanted *>(context);
    kivo_netlink_address a;
    if (h->nlmsg_type != RTM_NEWADDR || !kivo_netlink_read_address(h, &a) ||
        a.family != AF_INET6 || a.index != w.index || !a.published ||
        !kivo_extern_ip6_usable(a.bytes))
        return 0;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, a.bytes, text, sizeof text) == nullptr || std::strlen(text) >= w.size)
        return 0;
    kivo_text_copy(w.out, w.size, text);
    w.found = 1;
    return 1;
}

} // namespace

int kivo_extern_ip6_from_nic(const char *nic, char *out, size_t size)
{
    wanted w = {if_nametoindex(nic), out, size, 0};
    if (w.index == 0)
        return 0;
    // The dump ends at the first address taken.
    kivo_netlink_dump_addresses(AF_INET6, take, &w);
    return w.found;
}
