// The IPv6 address of an uplink, read from the kernel: a box's IPv6 address on
// a PPPoE link is its public one, so no echo service needs to be asked.
#include "kivo_extern_ip.h"

#include <arpa/inet.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "libkivo_text.h"

namespace {

// Addresses a box cannot publish: one that is being given up (deprecated),
// not yet its own (tentative, or duplicate detection failed), or a privacy
// address that changes every few hours.
constexpr uint32_t kNotPublished =
    IFA_F_DEPRECATED | IFA_F_TENTATIVE | IFA_F_DADFAILED | IFA_F_TEMPORARY;

// What one RTM_NEWADDR message says of its address.
struct address_news {
    const unsigned char *local = nullptr; // IFA_LOCAL: ours on a point-to-point link
    const unsigned char *address = nullptr;
    uint32_t flags = 0;
    bool deprecated = false; // preferred lifetime 0
};

address_news read_news(const nlmsghdr *h, const ifaddrmsg *a)
{
    address_news news;
    news.flags = a->ifa_flags;
    int left = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr *rta = IFA_RTA(a); RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
        const void *data = RTA_DATA(rta);
        size_t size = RTA_PAYLOAD(rta);
        if (rta->rta_type == IFA_LOCAL && size >= 16)
            news.local = static_cast<const unsigned char *>(data);
        else if (rta->rta_type == IFA_ADDRESS && size >= 16)
            news.address = static_cast<const unsigned char *>(data);
        else if (rta->rta_type == IFA_FLAGS && size >= sizeof(uint32_t))
            std::memcpy(&news.flags, data, sizeof(uint32_t)); // all 32 bits
        else if (rta->rta_type == IFA_CACHEINFO && size >= sizeof(ifa_cacheinfo)) {
            ifa_cacheinfo info;
            std::memcpy(&info, data, sizeof info);
            news.deprecated = info.ifa_prefered == 0;
        }
    }
    return news;
}

// 1 when the message is an address of the interface that can be published;
// its text then is in out.
int take(const nlmsghdr *h, unsigned index, char *out, size_t size)
{
    if (h->nlmsg_type != RTM_NEWADDR || h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return 0;
    const ifaddrmsg *a = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    if (a->ifa_family != AF_INET6 || a->ifa_index != index || a->ifa_scope != RT_SCOPE_UNIVERSE)
        return 0;
    address_news news = read_news(h, a);
    const unsigned char *address = news.local != nullptr ? news.local : news.address;
    if (address == nullptr || news.deprecated || (news.flags & kNotPublished) != 0 ||
        !kivo_extern_ip6_usable(address))
        return 0;
    char text[INET6_ADDRSTRLEN];
    if (inet_ntop(AF_INET6, address, text, sizeof text) == nullptr ||
        kivo_text_copy(out, size, text) >= size)
        return 0;
    return 1;
}

} // namespace

int kivo_extern_ip6_from_nic(const char *nic, char *out, size_t size)
{
    unsigned index = if_nametoindex(nic);
    if (index == 0)
        return 0;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return 0;
    // The kernel answers a dump at once; a second is more than enough.
    timeval limit = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    struct {
        nlmsghdr h;
        ifaddrmsg m;
    } request{};
    request.h.nlmsg_len = sizeof request;
    request.h.nlmsg_type = RTM_GETADDR;
    request.h.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.h.nlmsg_seq = 1;
    request.m.ifa_family = AF_INET6;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int found = 0;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
        alignas(nlmsghdr) char buffer[16384];
        bool done = false;
        while (!done && !found) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            size_t left = static_cast<size_t>(got);
            for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer);
                 NLMSG_OK(h, left) && !found; h = NLMSG_NEXT(h, left)) {
                if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
                    done = true;
                    break;
                }
                found = take(h, index, out, size);
            }
        }
    }
    close(fd);
    return found;
}
