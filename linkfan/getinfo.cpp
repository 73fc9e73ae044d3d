// Link probe: what the kernel knows about one interface, as a pppoe_info.
#include "getinfo.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

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

// The first IPv6 address getifaddrs lists for the interface, as "%s/64".
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
