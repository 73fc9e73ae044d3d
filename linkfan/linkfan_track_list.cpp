// The address list of -t.
#include "linkfan_track_list.h"
#include "linkfan_record.h"

#include <arpa/inet.h>
#include <stdio.h>

// Why an address can be no probe target: each of these either never leaves
// the box or reaches many hosts at once, so its answers say nothing about
// one uplink.
static const char *unfit(uint32_t host_order)
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

int linkfan_track_list_parse(const char *list, uint32_t *targets, int *count, char *bad,
                             size_t bad_size, const char **why)
{
    *count = 0;
    const char *item = list;
    for (;;) {
        const char *end = strchr(item, ',');
        size_t len = end ? static_cast<size_t>(end - item) : strlen(item);
        // What the message names: the item as given, cut to the field.
        snprintf(bad, bad_size, "%.*s", static_cast<int>(len < bad_size ? len : bad_size - 1),
                 item);
        if (len == 0) {
            *why = "is an empty item";
            return -1;
        }
        if (*count == LINKFAN_MAX_TARGETS) {
            *why = "is one address more than the 4 allowed";
            return -1;
        }
        char text[16];
        struct in_addr addr;
        if (len >= sizeof text) {
            *why = "is not an IPv4 address in dotted-quad form";
            return -1;
        }
        memcpy(text, item, len);
        text[len] = '\0';
        // inet_pton takes exactly four decimal parts, no shorthand forms.
        if (inet_pton(AF_INET, text, &addr) != 1) {
            *why = "is not an IPv4 address in dotted-quad form";
            return -1;
        }
        *why = unfit(ntohl(addr.s_addr));
        if (*why)
            return -1;
        targets[(*count)++] = addr.s_addr;
        if (!end)
            break;
        item = end + 1;
    }
    bad[0] = '\0';
    return 0;
}
