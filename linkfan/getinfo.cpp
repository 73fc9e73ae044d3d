// Link probe: what the kernel knows about one interface, as a pppoe_info.
#include "getinfo.h"
#include "linkfan_netlink.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <stdio.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

int inet_sock = -1;

int linkfan_probe_open()
{
    inet_sock = socket(AF_INET, SOCK_DGRAM, 0);
    return inet_sock < 0 ? -1 : 0;
}

static void request_init(struct ifreq *ifr, const char *ifname)
{
    memset(ifr, 0, sizeof *ifr);
    linkfan_text_copy(ifr->ifr_name, ifname);
}

// An address a link can be routed by: of global scope (no link-local one),
// neither tentative (its duplicate detection still running), deprecated nor
// failed in duplicate detection.
static bool routable_ipv6(const struct ifaddrmsg *addr, uint32_t flags, const void *address)
{
    const uint32_t unfit = IFA_F_TENTATIVE | IFA_F_DEPRECATED | IFA_F_DADFAILED;
    return addr->ifa_scope == RT_SCOPE_UNIVERSE && !(flags & unfit) &&
           !IN6_IS_ADDR_LINKLOCAL(static_cast<const struct in6_addr *>(address));
}

struct ipv6_query {
    int ifindex;
    pppoe_info *info;
};

static int take_ipv6(const struct nlmsghdr *msg, void *ctx)
{
    const ipv6_query &query = *static_cast<const ipv6_query *>(ctx);
    if (msg->nlmsg_type != RTM_NEWADDR)
        return 0;
    const struct ifaddrmsg *addr = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(msg));
    if (addr->ifa_family != AF_INET6 || static_cast<int>(addr->ifa_index) != query.ifindex)
        return 0;
    // As getifaddrs does: the local end when there is one (an address with a
    // peer), else the address.
    linkfan_ipv6_addr_attrs attrs;
    linkfan_ipv6_addr_attrs_read(msg, &attrs);
    const void *own = attrs.local ? attrs.local : attrs.address;
    char text[INET6_ADDRSTRLEN] = {0};
    if (!own || !routable_ipv6(addr, attrs.flags, own) ||
        !inet_ntop(AF_INET6, own, text, sizeof text))
        return 0;
    snprintf(query.info->pppoe_ipv6, sizeof query.info->pppoe_ipv6, "%s/64", text);
    return 1;
}

// The first routable IPv6 address of the interface with this index, in the
// kernel's own order (the order ip lists them), as "%s/64". The kernel is
// asked for this interface's addresses alone: getifaddrs lists those of every
// interface, which made probing 128 links cost 128 times 128 interfaces.
// 0 when the kernel answered (with or without an address), -1 otherwise.
static int fetch_ipv6_indexed(int ifindex, pppoe_info *info)
{
    struct ifaddrmsg query = {};
    query.ifa_family = AF_INET6;
    query.ifa_index = static_cast<unsigned>(ifindex);
    ipv6_query ctx = {ifindex, info};
    return linkfan_netlink_dump(RTM_GETADDR, &query, sizeof query, sizeof(struct ifaddrmsg),
                                take_ipv6, &ctx);
}

// The first IPv6 address getifaddrs lists for the interface that is no
// link-local one, as "%s/64": for when the kernel cannot be asked by index
// (getifaddrs tells no flags).
static void fetch_ipv6(const char *ifname, pppoe_info *info)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return;
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET6 || !ifa->ifa_name ||
            strcmp(ifa->ifa_name, ifname) != 0)
            continue;
        const struct sockaddr_in6 *sin6 = reinterpret_cast<const sockaddr_in6 *>(ifa->ifa_addr);
        char text[INET6_ADDRSTRLEN] = {0};
        if (IN6_IS_ADDR_LINKLOCAL(&sin6->sin6_addr) ||
            !inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text))
            continue;
        snprintf(info->pppoe_ipv6, sizeof info->pppoe_ipv6, "%s/64", text);
        break;
    }
    freeifaddrs(list);
}

static void copy_inet(char (&dst)[16], const struct sockaddr *sa)
{
    const struct sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(sa);
    linkfan_text_copy(dst, inet_ntoa(sin->sin_addr));
}

int if_fetch(const char *ifname, pppoe_info *info)
{
    int ifindex;
    return if_fetch_indexed(ifname, info, &ifindex);
}

int if_still_there(const char *ifname, int ifindex)
{
    if (strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ)
        return 0;
    struct ifreq ifr;
    request_init(&ifr, ifname);
    return ioctl(inet_sock, SIOCGIFINDEX, &ifr) == 0 && ifr.ifr_ifindex == ifindex;
}

int if_fetch_indexed(const char *ifname, pppoe_info *info, int *ifindex)
{
    memset(info, 0, sizeof *info);
    *ifindex = 0;
    // A longer name cannot exist, and cutting it short could name another interface.
    if (strnlen(ifname, IFNAMSIZ) >= IFNAMSIZ)
        return -1;
    struct ifreq ifr;

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFFLAGS, &ifr) != 0)
        return -1;
    if (ifr.ifr_flags & IFF_POINTOPOINT)
        linkfan_text_copy(info->pppoe_name, ifname);
    else
        linkfan_text_copy(info->vlan, ifname);

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFINDEX, &ifr) == 0)
        *ifindex = ifr.ifr_ifindex;

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFADDR, &ifr) == 0)
        copy_inet(info->pppoe_ip, &ifr.ifr_addr);

    if (*ifindex <= 0 || fetch_ipv6_indexed(*ifindex, info) != 0)
        fetch_ipv6(ifname, info);

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFDSTADDR, &ifr) == 0)
        copy_inet(info->gateway, &ifr.ifr_dstaddr);

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFHWADDR, &ifr) == 0) {
        const unsigned char *hw = reinterpret_cast<const unsigned char *>(ifr.ifr_hwaddr.sa_data);
        snprintf(info->mac, sizeof info->mac, "%02x:%02x:%02x:%02x:%02x:%02x", hw[0], hw[1],
                 hw[2], hw[3], hw[4], hw[5]);
    }

    request_init(&ifr, ifname);
    if (ioctl(inet_sock, SIOCGIFTXQLEN, &ifr) == 0)
        info->txqueuelen = static_cast<uint32_t>(ifr.ifr_qlen);
    return 0;
}
