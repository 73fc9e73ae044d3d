// Link probe: what the kernel knows about one interface, as a pppoe_info.
#include "getinfo.h"
#include "linkfan_netlink.h"

#include <arpa/inet.h>
#include <errno.h>
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

// Closes a socket when the call that opened it returns.
struct socket_owner {
    int fd;
    ~socket_owner() { close(fd); }
};

// The first IPv6 address of the interface with this index, in the kernel's
// own order (the order getifaddrs and ip list them), as "%s/64". The kernel is
// asked for this interface's addresses alone: getifaddrs lists those of every
// interface, which made probing 128 links cost 128 times 128 interfaces.
// 0 when the kernel answered (with or without an address), -1 otherwise.
static int fetch_ipv6_indexed(int ifindex, pppoe_info *info)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    socket_owner owner{fd};
    // A kernel without strict checking answers for every interface; the
    // index is compared below either way.
    int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
    struct {
        struct nlmsghdr header;
        struct ifaddrmsg query;
    } request = {};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = RTM_GETADDR;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    request.query.ifa_family = AF_INET6;
    request.query.ifa_index = static_cast<unsigned>(ifindex);
    if (send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
        return -1;
    alignas(struct nlmsghdr) char answer[16384];
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
            if (msg->nlmsg_type != RTM_NEWADDR ||
                msg->nlmsg_len < NLMSG_LENGTH(sizeof(struct ifaddrmsg)))
                continue;
            const struct ifaddrmsg *addr = static_cast<const struct ifaddrmsg *>(NLMSG_DATA(msg));
            if (addr->ifa_family != AF_INET6 || static_cast<int>(addr->ifa_index) != ifindex)
                continue;
            // As getifaddrs does: the local end when there is one (an address
            // with a peer), else the address.
            const void *address = nullptr, *local = nullptr;
            int attrs = static_cast<int>(IFA_PAYLOAD(msg));
            for (const struct rtattr *a = IFA_RTA(addr); RTA_OK(a, attrs); a = RTA_NEXT(a, attrs)) {
                if (RTA_PAYLOAD(a) < sizeof(struct in6_addr))
                    continue;
                if (a->rta_type == IFA_ADDRESS)
                    address = RTA_DATA(a);
                else if (a->rta_type == IFA_LOCAL)
                    local = RTA_DATA(a);
            }
            char text[INET6_ADDRSTRLEN] = {0};
            if ((local || address) && inet_ntop(AF_INET6, local ? local : address, text, sizeof text)) {
                snprintf(info->pppoe_ipv6, sizeof info->pppoe_ipv6, "%s/64", text);
                return 0;
            }
        }
    }
}

// The first IPv6 address getifaddrs lists for the interface, as "%s/64":
// for when the kernel cannot be asked by index.
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
        if (!inet_ntop(AF_INET6, &sin6->sin6_addr, text, sizeof text))
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
