// Walking netlink answers and reports, shared by the probe and the pause.
#pragma once

#include <linux/netlink.h>

// NLMSG_OK without its comparison of a signed length with the unsigned one
// of the message, which clang rejects.
inline bool linkfan_nlmsg_ok(const struct nlmsghdr *msg, int len)
{
    return len >= static_cast<int>(sizeof(struct nlmsghdr)) &&
           msg->nlmsg_len >= sizeof(struct nlmsghdr) && msg->nlmsg_len <= static_cast<unsigned>(len);
}
