// Walking netlink answers and reports, shared by the probe, the pause and
// the IPv6 default route.
#pragma once

#include <linux/netlink.h>
#include <stddef.h>
#include <stdint.h>

// NLMSG_OK without its comparison of a signed length with the unsigned one
// of the message, which clang rejects.
inline bool linkfan_nlmsg_ok(const struct nlmsghdr *msg, int len)
{
    return len >= static_cast<int>(sizeof(struct nlmsghdr)) &&
           msg->nlmsg_len >= sizeof(struct nlmsghdr) && msg->nlmsg_len <= static_cast<unsigned>(len);
}

// Asks the kernel for a dump of type (RTM_GETADDR, RTM_GETROUTE ...) with
// query (an ifaddrmsg, rtmsg ... of query_size bytes) after the header, on a
// socket of its own with strict checking asked for (a kernel without it
// answers for more than was asked: on_message must check what it reads), and
// hands every message of the answer of at least min_size payload bytes to
// on_message until that returns nonzero. 0 when the dump ended or on_message
// stopped it, -1 when the kernel could not be asked or said no.
int linkfan_netlink_dump(int type, const void *query, size_t query_size, size_t min_size,
                         int (*on_message)(const struct nlmsghdr *msg, void *ctx), void *ctx);

// What an IPv6 address message (RTM_NEWADDR, RTM_DELADDR) holds: its address,
// its local end (set only for an address with a peer, as pppd gives one),
// each 16 bytes or null when missing or short, and its flags (the flags
// attribute when there, which holds them all, else the header's).
struct linkfan_ipv6_addr_attrs {
    const void *address;
    const void *local;
    uint32_t flags;
};
void linkfan_ipv6_addr_attrs_read(const struct nlmsghdr *msg, linkfan_ipv6_addr_attrs *out);
