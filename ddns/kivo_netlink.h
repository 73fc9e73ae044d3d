// The kernel's addresses over netlink, for the IPv6 address of an uplink and
// for the news that ends a pause: one reading of an address message, one dump.
#pragma once

#include <linux/netlink.h>

struct kivo_netlink_address {
    unsigned index;           // the interface's
    int family;               // AF_INET or AF_INET6
    unsigned char bytes[16];  // IFA_LOCAL when given (ours on a point-to-point link), else IFA_ADDRESS
    unsigned char prefix;     // prefix length
    unsigned scope;           // RT_SCOPE_*
    bool published;           // one a record may hold: not of host scope; for IPv6 of global
                              // scope, and neither deprecated (nor of preferred lifetime 0),
                              // tentative, failed in duplicate address detection or temporary
};

// Reads an RTM_NEWADDR or RTM_DELADDR message, each attribute checked for
// size. 1 when it is one and names an address, else 0.
int kivo_netlink_read_address(const nlmsghdr *h, kivo_netlink_address *out);

// Dumps the addresses of family, handing each message to each until it
// returns nonzero. 0 once the dump is done or each stopped it, -1 when the
// kernel could not be asked or did not answer within a second.
int kivo_netlink_dump_addresses(int family, int (*each)(const nlmsghdr *h, void *context),
                                void *context);
