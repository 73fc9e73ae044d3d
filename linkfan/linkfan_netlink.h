// Walking netlink answers and reports, shared by the probe, the pause and
// the IPv6 default route.
#pragma once

#include <linux/netlink.h>
#include <stddef.h>

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
