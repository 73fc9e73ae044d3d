// A netlink dump on a socket of its own.
#include "linkfan_netlink.h"

#include "kivo_nldump.h"

#include <errno.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Closes a socket when the call that opened it returns.
struct socket_owner {
    int fd;
    ~socket_owner() { close(fd); }
};

}  // namespace

int linkfan_netlink_dump(int type, const void *query, size_t query_size, size_t min_size,
                         int (*on_message)(const struct nlmsghdr *msg, void *ctx), void *ctx)
{
    int fd = kivo_nldump_request(type, query, query_size);
    if (fd < 0)
        return -1;
    socket_owner owner{fd};
    alignas(struct nlmsghdr) static char answer[32768];
    for (;;) {
        ssize_t got = recv(fd, answer, sizeof answer, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        int len = static_cast<int>(got);
        for (const struct nlmsghdr *msg = reinterpret_cast<const struct nlmsghdr *>(answer);
             linkfan_nlmsg_ok(msg, len); msg = NLMSG_NEXT(msg, len)) {
            if (msg->nlmsg_type == NLMSG_DONE)
                return 0;
            if (msg->nlmsg_type == NLMSG_ERROR)
                return -1;
            if (msg->nlmsg_len >= NLMSG_LENGTH(min_size) && on_message(msg, ctx))
                return 0;
        }
    }
}

void linkfan_ipv6_addr_attrs_read(const struct nlmsghdr *msg, linkfan_ipv6_addr_attrs *out)
{
    const struct ifaddrmsg *addr = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(msg));
    out->address = nullptr;
    out->local = nullptr;
    out->flags = addr->ifa_flags;
    int len = static_cast<int>(IFA_PAYLOAD(msg));
    for (const struct rtattr *a = IFA_RTA(addr); RTA_OK(a, len); a = RTA_NEXT(a, len)) {
        if (a->rta_type == IFA_FLAGS && RTA_PAYLOAD(a) >= sizeof out->flags)
            memcpy(&out->flags, RTA_DATA(a), sizeof out->flags);
        if (RTA_PAYLOAD(a) < sizeof(struct in6_addr))
            continue;
        if (a->rta_type == IFA_ADDRESS)
            out->address = RTA_DATA(a);
        else if (a->rta_type == IFA_LOCAL)
            out->local = RTA_DATA(a);
    }
}
