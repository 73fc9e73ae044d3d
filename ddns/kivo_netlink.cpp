// Address messages of the kernel's routing netlink.
#include "kivo_netlink.h"
#include "kivo_nldump.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace {

// Addresses a box cannot publish: one that is being given up (deprecated),
// not yet its own (tentative, or duplicate detection failed), or a privacy
// address that changes every few hours.
constexpr uint32_t kNotPublished =
    IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_DADFAILED | IFA_F_TEMPORARY;

} // namespace

int kivo_netlink_read_address(const nlmsghdr *h, kivo_netlink_address *out)
{
    if ((h->nlmsg_type != RTM_NEWADDR && h->nlmsg_type != RTM_DELADDR) ||
        h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return 0;
    const ifaddrmsg *a = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    const size_t size = a->ifa_family == AF_INET6 ? 16 : a->ifa_family == AF_INET ? 4 : 0;
    if (size == 0)
        return 0;
    *out = kivo_netlink_address{};
    out->index = a->ifa_index;
    out->family = a->ifa_family;
    out->prefix = a->ifa_prefixlen;
    out->scope = a->ifa_scope;
    const void *local = nullptr, *address = nullptr;
    uint32_t flags = a->ifa_flags;
    bool deprecated = false;
    int left = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr *r = IFA_RTA(a); RTA_OK(r, left); r = RTA_NEXT(r, left)) {
        const size_t length = RTA_PAYLOAD(r);
        if (r->rta_type == IFA_LOCAL && length >= size)
            local = RTA_DATA(r);
        else if (r->rta_type == IFA_ADDRESS && length >= size)
            address = RTA_DATA(r);
        else if (r->rta_type == IFA_FLAGS && length >= sizeof flags)
            std::memcpy(&flags, RTA_DATA(r), sizeof flags); // all 32 bits
        else if (r->rta_type == IFA_CACHEINFO && length >= sizeof(ifa_cacheinfo)) {
            ifa_cacheinfo info;
            std::memcpy(&info, RTA_DATA(r), sizeof info);
            deprecated = info.ifa_prefered == 0;
        }
    }
    if (local == nullptr && address == nullptr)
        return 0;
    std::memcpy(out->bytes, local != nullptr ? local : address, size);
    out->published = out->family == AF_INET6
                         ? out->scope == RT_SCOPE_UNIVERSE && !deprecated &&
                               (flags & kNotPublished) == 0
                         : out->scope != RT_SCOPE_HOST;
    return 1;
}

int kivo_netlink_dump_addresses(int family, int (*each)(const nlmsghdr *h, void *context),
                                void *context)
{
    ifaddrmsg query{};
    query.ifa_family = static_cast<unsigned char>(family);
    int fd = kivo_nldump_request(RTM_GETADDR, &query, sizeof query);
    if (fd < 0)
        return -1;
    int result = -1;
    alignas(nlmsghdr) char buffer[16384];
    bool done = false;
    while (!done) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        size_t left = static_cast<size_t>(got);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer);
             !done && NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            done = h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR ||
                   each(h, context) != 0;
            if (done && h->nlmsg_type != NLMSG_ERROR)
                result = 0;
        }
    }
    close(fd);
    return result;
}
