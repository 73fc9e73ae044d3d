// The address list of -t.
#include "linkfan_track_list.h"

#include <arpa/inet.h>
#include <stdio.h>

// Why an address can be no probe target: each of these either never leaves
// the box or reaches many hosts at once, so its answers say nothing about
// one uplink.
static const char *unfit_ipv4(uint32_t host_order)
{
    if ((host_order >> 24) == 0)
        return "is no host address";
    if ((host_order >> 24) == 127)
        return "is a loopback address";
    if ((host_order >> 28) == 0xe)
        return "is a multicast address";
    if (host_order == 0xffffffffu)
        return "is the broadcast address";
    return nullptr;
}

static const char *unfit_ipv6(const struct in6_addr &addr)
{
    if (IN6_IS_ADDR_UNSPECIFIED(&addr))
        return "is the unspecified address";
    if (IN6_IS_ADDR_LOOPBACK(&addr))
        return "is a loopback address";
    if (IN6_IS_ADDR_LINKLOCAL(&addr))
        return "is a link-local address";
    if (IN6_IS_ADDR_MULTICAST(&addr))
        return "is a multicast address";
    // Sent as IPv6, it would never reach the IPv4 host it names.
    if (IN6_IS_ADDR_V4MAPPED(&addr))
        return "is an IPv4-mapped address";
    return nullptr;
}

// One item of len bytes into targets; what is wrong with it, or null.
static const char *take(const char *item, size_t len, linkfan_targets *targets)
{
    // An IPv6 address has colons; whatever has none is taken for IPv4, as
    // every list was before IPv6 targets were known.
    const bool ipv6 = memchr(item, ':', len) != nullptr;
    const int family = ipv6 ? LINKFAN_IPV6 : LINKFAN_IPV4;
    const char *malformed = ipv6 ? "is not an IPv6 address"
                                 : "is not an IPv4 address in dotted-quad form";
    if (targets->count[family] == LINKFAN_MAX_TARGETS)
        return ipv6 ? "is one IPv6 address more than the 4 allowed"
                    : "is one address more than the 4 allowed";
    char text[INET6_ADDRSTRLEN];
    if (len >= (ipv6 ? sizeof text : 16))
        return malformed;
    memcpy(text, item, len);
    text[len] = '\0';
    if (ipv6 && strchr(text, '/'))
        return "is a prefix, not an address";
    uint8_t *slot = targets->addr[family][targets->count[family]];
    if (ipv6) {
        struct in6_addr addr;
        if (inet_pton(AF_INET6, text, &addr) != 1)
            return malformed;
        if (const char *why = unfit_ipv6(addr))
            return why;
        memcpy(slot, &addr, sizeof addr);
    } else {
        // inet_pton takes exactly four decimal parts, no shorthand forms.
        struct in_addr addr;
        if (inet_pton(AF_INET, text, &addr) != 1)
            return malformed;
        if (const char *why = unfit_ipv4(ntohl(addr.s_addr)))
            return why;
        memcpy(slot, &addr, sizeof addr);
    }
    targets->count[family]++;
    return nullptr;
}

int linkfan_track_list_parse(const char *list, linkfan_targets *targets, char *bad,
                             size_t bad_size, const char **why)
{
    memset(targets, 0, sizeof *targets);
    const char *item = list;
    for (;;) {
        const char *end = strchr(item, ',');
        size_t len = end ? static_cast<size_t>(end - item) : strlen(item);
        // What the message names: the item as given, cut to the field.
        snprintf(bad, bad_size, "%.*s", static_cast<int>(len < bad_size ? len : bad_size - 1),
                 item);
        *why = len == 0 ? "is an empty item" : take(item, len, targets);
        if (*why) {
            memset(targets, 0, sizeof *targets);
            return -1;
        }
        if (!end)
            break;
        item = end + 1;
    }
    bad[0] = '\0';
    return 0;
}
