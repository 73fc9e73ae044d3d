// Which link holds each local address: read from the kernel's address table
// (a dump at the start, then its news, read in the daemon's one poll) and put
// into the kernel side's links map, where every send and receive finds the
// link its bytes count for at the moment they are counted. Old bytes thus
// keep the link that held their address, whatever holds it later.
#include "kivo_trafficd.h"

#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

trafficd_links_info trafficd_links = {{"other", "lo"}, 2, {}, 0, -1, -1, 0, 0};

// Room for the news of many addresses that change at once (a link with many
// IPv6 addresses going away); a socket that still overflows is read anew whole.
constexpr int news_buffer = 1 << 20;

// The link number of an interface name, given one when it is new; other when
// every number is taken.
static unsigned int links_number(const char *name)
{
    for (int i = 0; i < trafficd_links.name_count; i++)
        if (strcmp(trafficd_links.names[i], name) == 0)
            return static_cast<unsigned int>(i);
    if (trafficd_links.name_count >= TRAFFICD_LINKS) {
        if (trafficd_links.names_full++ == 0)
            trafficd_log("more than %d links; the bytes of %s and later ones count as other",
                         TRAFFICD_LINKS - 2, name);
        return TRAFFICD_LINK_OTHER;
    }
    int number = trafficd_links.name_count++;
    trafficd_copy(trafficd_links.names[number], sizeof trafficd_links.names[number], name);
    return static_cast<unsigned int>(number);
}

static void links_address_text(const trafficd_address &address, char *text, size_t size)
{
    if (!inet_ntop(static_cast<int>(address.family), address.bytes, text,
                   static_cast<socklen_t>(size)))
        trafficd_copy(text, size, "?");
}

// The kernel side's entry for an address: the link of the holder added last.
static void links_publish(const trafficd_address &address)
{
    const trafficd_address_entry *holder = nullptr;
    for (int i = 0; i < trafficd_links.address_count; i++)
        if (memcmp(&trafficd_links.addresses[i].address, &address, sizeof address) == 0)
            holder = &trafficd_links.addresses[i];
    if (trafficd_links.map_fd < 0)
        return;
    if (holder)
        bpf_map_update_elem(trafficd_links.map_fd, &address, &holder->link, BPF_ANY);
    else
        bpf_map_delete_elem(trafficd_links.map_fd, &address);
}

static void links_remove_at(int index)
{
    trafficd_address address = trafficd_links.addresses[index].address;
    // Kept in order, so that the holder added last stays last.
    memmove(&trafficd_links.addresses[index], &trafficd_links.addresses[index + 1],
            sizeof(trafficd_address_entry) *
                static_cast<size_t>(trafficd_links.address_count - index - 1));
    trafficd_links.address_count--;
    links_publish(address);
}

static int links_find(const trafficd_address &address, unsigned int ifindex)
{
    for (int i = 0; i < trafficd_links.address_count; i++)
        if (trafficd_links.addresses[i].ifindex == ifindex &&
            memcmp(&trafficd_links.addresses[i].address, &address, sizeof address) == 0)
            return i;
    return -1;
}

static void links_add(const trafficd_address &address, unsigned int ifindex, const char *name)
{
    unsigned int link = links_number(name);
    int at = links_find(address, ifindex);
    if (at >= 0 && trafficd_links.addresses[at].link == link) {
        trafficd_links.addresses[at].seen = true;
        return;
    }
    // New, or its interface has a new name: it goes last, as the newest holder.
    if (at >= 0)
        links_remove_at(at);
    if (trafficd_links.address_count >= TRAFFICD_MAX_ADDRESSES) {
        if (trafficd_links.addresses_full++ == 0)
            trafficd_log("more than %d local addresses; the bytes of later ones count as other",
                         TRAFFICD_MAX_ADDRESSES);
        return;
    }
    trafficd_address_entry &entry = trafficd_links.addresses[trafficd_links.address_count++];
    entry.address = address;
    entry.ifindex = ifindex;
    entry.link = link;
    entry.seen = true;
    links_publish(address);
    char text[64];
    links_address_text(address, text, sizeof text);
    trafficd_note("%s holds %s", name, text);
}

static void links_remove(const trafficd_address &address, unsigned int ifindex)
{
    int at = links_find(address, ifindex);
    if (at < 0)
        return;
    char text[64];
    links_address_text(address, text, sizeof text);
    trafficd_note("%s is gone from %s", text,
                  trafficd_links.names[trafficd_links.addresses[at].link]);
    links_remove_at(at);
}

// An address message: the interface's own address (IFA_LOCAL on a
// point-to-point link, whose IFA_ADDRESS is the far end), each attribute
// checked for its size.
static void links_address_message(const nlmsghdr *h)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifaddrmsg)))
        return;
    const ifaddrmsg *a = static_cast<const ifaddrmsg *>(NLMSG_DATA(h));
    size_t want = a->ifa_family == AF_INET ? 4 : a->ifa_family == AF_INET6 ? 16 : 0;
    if (want == 0)
        return;
    const void *local = nullptr;
    const void *address = nullptr;
    char label[IFNAMSIZ] = "";
    int left = static_cast<int>(IFA_PAYLOAD(h));
    for (const rtattr *rta = IFA_RTA(a); RTA_OK(rta, left); rta = RTA_NEXT(rta, left)) {
        size_t size = RTA_PAYLOAD(rta);
        if (rta->rta_type == IFA_LOCAL && size >= want)
            local = RTA_DATA(rta);
        else if (rta->rta_type == IFA_ADDRESS && size >= want)
            address = RTA_DATA(rta);
        else if (rta->rta_type == IFA_LABEL && size > 0)
            snprintf(label, sizeof label, "%.*s", static_cast<int>(size),
                     static_cast<const char *>(RTA_DATA(rta)));
    }
    if (!local)
        local = address;
    if (!local)
        return;
    trafficd_address key = {};
    key.family = a->ifa_family;
    memcpy(key.bytes, local, want);
    if (h->nlmsg_type == RTM_DELADDR) {
        links_remove(key, a->ifa_index);
        return;
    }
    // IPv4 labels may carry an alias (eth0:1); the interface's own name counts.
    char name[IF_NAMESIZE];
    if (!if_indextoname(a->ifa_index, name)) {
        char *alias = strchr(label, ':');
        if (alias)
            *alias = '\0';
        if (label[0] == '\0')
            return;
        trafficd_copy(name, sizeof name, label);
    }
    links_add(key, a->ifa_index, name);
}

// A link message: an interface that was renamed takes its addresses to its new
// name from now on; one that went away leaves none behind.
static void links_link_message(const nlmsghdr *h)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return;
    const ifinfomsg *info = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    unsigned int ifindex = static_cast<unsigned int>(info->ifi_index);
    if (h->nlmsg_type == RTM_DELLINK) {
        for (int i = trafficd_links.address_count - 1; i >= 0; i--)
            if (trafficd_links.addresses[i].ifindex == ifindex)
                links_remove_at(i);
        return;
    }
    char name[IFNAMSIZ] = "";
    int left = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr *rta = IFLA_RTA(info); RTA_OK(rta, left); rta = RTA_NEXT(rta, left))
        if (rta->rta_type == IFLA_IFNAME && RTA_PAYLOAD(rta) > 0)
            snprintf(name, sizeof name, "%.*s", static_cast<int>(RTA_PAYLOAD(rta)),
                     static_cast<const char *>(RTA_DATA(rta)));
    if (name[0] == '\0')
        return;
    for (int i = 0; i < trafficd_links.address_count; i++) {
        const trafficd_address_entry &entry = trafficd_links.addresses[i];
        if (entry.ifindex == ifindex && strcmp(trafficd_links.names[entry.link], name) != 0) {
            trafficd_address address = entry.address;
            links_add(address, ifindex, name);
            i = -1;  // the entry moved; look again from the start
        }
    }
}

// Handles the messages in buffer; false once the dump they belong to is over.
static bool links_messages(const char *buffer, size_t length)
{
    for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
        switch (h->nlmsg_type) {
        case NLMSG_DONE:
        case NLMSG_ERROR:
            return false;
        case RTM_NEWADDR:
        case RTM_DELADDR:
            links_address_message(h);
            break;
        case RTM_NEWLINK:
        case RTM_DELLINK:
            links_link_message(h);
            break;
        default:
            break;
        }
    }
    return true;
}

// Reads the kernel's whole address table; addresses no longer in it are dropped.
static int links_dump(void)
{
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
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
    request.m.ifa_family = AF_UNSPEC;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    for (int i = 0; i < trafficd_links.address_count; i++)
        trafficd_links.addresses[i].seen = false;
    bool whole = false;
    if (sendto(fd, &request, sizeof request, 0, reinterpret_cast<sockaddr *>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof request)) {
        alignas(nlmsghdr) static char buffer[65536];
        for (;;) {
            ssize_t got = recv(fd, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            if (!links_messages(buffer, static_cast<size_t>(got))) {
                whole = true;
                break;
            }
        }
    }
    int saved = errno;
    close(fd);
    if (!whole) {
        errno = saved ? saved : EIO;
        return -1;
    }
    for (int i = trafficd_links.address_count - 1; i >= 0; i--)
        if (!trafficd_links.addresses[i].seen)
            links_remove_at(i);
    return 0;
}

int trafficd_links_open(int map_fd, char *message, size_t size)
{
    trafficd_links.map_fd = map_fd;
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        snprintf(message, size, "cannot read the kernel's address news: %s", strerror(errno));
        return -1;
    }
    int room = news_buffer;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    // News first, then the dump: no change falls between the two.
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 || links_dump() != 0) {
        snprintf(message, size, "cannot read the kernel's address table: %s", strerror(errno));
        close(fd);
        return -1;
    }
    trafficd_links.news_fd = fd;
    return 0;
}

void trafficd_links_read(void)
{
    if (trafficd_links.news_fd < 0)
        return;
    alignas(nlmsghdr) static char buffer[65536];
    for (;;) {
        ssize_t got = recv(trafficd_links.news_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == ENOBUFS) {
            // News were lost: the table is read anew whole.
            if (links_dump() != 0)
                trafficd_log("cannot read the kernel's address table again: %s",
                             strerror(errno));
            continue;
        }
        if (got <= 0)
            return;
        links_messages(buffer, static_cast<size_t>(got));
    }
}
