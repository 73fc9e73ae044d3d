// Which link holds each local address: read from the kernel's address table
// (a dump at the start, then its news, read in the daemon's one poll) and put
// into the kernel side's links map, where every send and receive finds the
// link its bytes count for at the moment they are counted. Old bytes thus
// keep the link that held their address, whatever holds it later.
#include "kivo_nldump.h"
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
#include <unistd.h>

trafficd_links_info trafficd_links = [] {
    trafficd_links_info links{};
    trafficd_copy(links.slots[TRAFFICD_LINK_OTHER].name, IFNAMSIZ, "other");
    trafficd_copy(links.slots[TRAFFICD_LINK_LO].name, IFNAMSIZ, "lo");
    links.slots[TRAFFICD_LINK_OTHER].state = links.slots[TRAFFICD_LINK_LO].state =
        trafficd_slot_live;
    links.slots[TRAFFICD_LINK_LO].series = 1;
    links.used[TRAFFICD_LINK_OTHER] = links.used[TRAFFICD_LINK_LO] = true;
    trafficd_copy(links.series[0], IFNAMSIZ, "other");
    trafficd_copy(links.series[1], IFNAMSIZ, "lo");
    links.series_count = 2;
    links.news_fd = links.map_fd = links.devices_fd = -1;
    return links;
}();

// Room for the news of many addresses that change at once (a link with many
// IPv6 addresses going away); a socket that still overflows is read anew whole.
constexpr int news_buffer = 1 << 20;
// A reading of the whole table that fails or is interrupted is done again at
// once this many times, then at the next report cycle.
constexpr int dump_attempts = 3;

// A link-local address (169.254.0.0/16, fe80::/10) gives no slot: every
// interface has one, containers' too.
static bool links_link_local(const trafficd_address &address)
{
    if (address.family == AF_INET)
        return address.bytes[0] == 169 && address.bytes[1] == 254;
    return address.bytes[0] == 0xfe && (address.bytes[1] & 0xc0) == 0x80;
}

// The series of a link name in the metrics; other when every one is taken.
static int links_series(const char *name)
{
    for (int i = 0; i < trafficd_links.series_count; i++)
        if (strcmp(trafficd_links.series[i], name) == 0)
            return i;
    if (trafficd_links.series_count >= trafficd_series) {
        if (trafficd_links.series_full++ == 0)
            trafficd_log("more than %d link names since the start; the metrics show %s and later "
                         "ones as other",
                         trafficd_series, name);
        return 0;
    }
    trafficd_copy(trafficd_links.series[trafficd_links.series_count], IFNAMSIZ, name);
    return trafficd_links.series_count++;
}

// The kernel side's entry for an interface's slot (slot other: none).
static void links_publish_device(unsigned int ifindex, unsigned int slot)
{
    if (trafficd_links.devices_fd < 0)
        return;
    if (slot != TRAFFICD_LINK_OTHER)
        bpf_map_update_elem(trafficd_links.devices_fd, &ifindex, &slot, BPF_ANY);
    else
        bpf_map_delete_elem(trafficd_links.devices_fd, &ifindex);
}

static void links_slot_gone(int slot)
{
    trafficd_link_slot &s = trafficd_links.slots[slot];
    links_publish_device(s.ifindex, TRAFFICD_LINK_OTHER);
    s.state = trafficd_slot_gone;
    s.ifindex = 0;
    s.gone_fold = trafficd_links.folds;
    trafficd_note("%s is gone; its link slot is freed at the next cycle", s.name);
}

// Whether the interface was refused a slot already: an address of it that
// is not link-local is in the table, or among the refused, without one.
static bool links_refused_before(unsigned int ifindex)
{
    auto holds = [ifindex](const trafficd_address_entry *entries, int count) {
        for (int i = 0; i < count; i++)
            if (entries[i].ifindex == ifindex && entries[i].link == TRAFFICD_LINK_OTHER &&
                !links_link_local(entries[i].address))
                return true;
        return false;
    };
    return holds(trafficd_links.addresses, trafficd_links.address_count) ||
           holds(trafficd_links.refused, trafficd_links.refused_count);
}

// The slot of an interface: the one it holds, the one its name had before
// it went away, or, for an address that is not link-local, a free one.
// Other when it has none.
static unsigned int links_slot(unsigned int ifindex, const char *name, bool qualifies)
{
    if (strcmp(name, "lo") == 0)
        return TRAFFICD_LINK_LO;
    for (int i = TRAFFICD_LINK_LO + 1; i < TRAFFICD_LINKS; i++) {
        trafficd_link_slot &s = trafficd_links.slots[i];
        if (s.state != trafficd_slot_live || s.ifindex != ifindex)
            continue;
        if (strcmp(s.name, name) == 0)
            return static_cast<unsigned int>(i);
        links_slot_gone(i);  // renamed: the new name is another link
    }
    if (!qualifies)
        return TRAFFICD_LINK_OTHER;
    int free_slot = -1;
    for (int i = TRAFFICD_LINK_LO + 1; i < TRAFFICD_LINKS; i++) {
        trafficd_link_slot &s = trafficd_links.slots[i];
        if (s.state == trafficd_slot_gone && strcmp(s.name, name) == 0) {
            s.state = trafficd_slot_live;  // back before its slot was freed
            s.ifindex = ifindex;
            links_publish_device(ifindex, static_cast<unsigned int>(i));
            return static_cast<unsigned int>(i);
        }
        if (s.state == trafficd_slot_free && free_slot < 0)
            free_slot = i;
    }
    if (free_slot < 0) {
        if (!links_refused_before(ifindex) && trafficd_links.names_full++ == 0)
            trafficd_log("more than %d links at once; the bytes of %s and later ones count as other",
                         TRAFFICD_LINKS - 2, name);
        return TRAFFICD_LINK_OTHER;
    }
    trafficd_link_slot &s = trafficd_links.slots[free_slot];
    trafficd_copy(s.name, sizeof s.name, name);
    s.ifindex = ifindex;
    s.state = trafficd_slot_live;
    s.series = links_series(name);
    trafficd_links.used[free_slot] = true;
    links_publish_device(ifindex, static_cast<unsigned int>(free_slot));
    return static_cast<unsigned int>(free_slot);
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
    if (holder && holder->link != TRAFFICD_LINK_OTHER)
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

static int links_find_in(const trafficd_address_entry *entries, int count,
                         const trafficd_address &address, unsigned int ifindex)
{
    for (int i = 0; i < count; i++)
        if (entries[i].ifindex == ifindex &&
            memcmp(&entries[i].address, &address, sizeof address) == 0)
            return i;
    return -1;
}

static int links_find(const trafficd_address &address, unsigned int ifindex)
{
    return links_find_in(trafficd_links.addresses, trafficd_links.address_count, address, ifindex);
}

// An address the full table has no room for: counted and logged the first
// time, kept among the refused (when they have room) so that its repeated
// news do not count again.
static void links_refuse(const trafficd_address &address, unsigned int ifindex)
{
    int at = links_find_in(trafficd_links.refused, trafficd_links.refused_count, address, ifindex);
    if (at < 0) {
        if (trafficd_links.addresses_full++ == 0)
            trafficd_log("more than %d local addresses; the bytes of later ones count as other",
                         TRAFFICD_MAX_ADDRESSES);
        if (trafficd_links.refused_count >= TRAFFICD_MAX_ADDRESSES)
            return;
        at = trafficd_links.refused_count++;
        trafficd_links.refused[at] = {address, ifindex, TRAFFICD_LINK_OTHER, false};
    }
    trafficd_links.refused[at].seen = true;
}

// An address refused before that is gone, or has room now.
static void links_unrefuse(const trafficd_address &address, unsigned int ifindex)
{
    int at = links_find_in(trafficd_links.refused, trafficd_links.refused_count, address, ifindex);
    if (at >= 0)
        trafficd_links.refused[at] = trafficd_links.refused[--trafficd_links.refused_count];
}

static void links_add(const trafficd_address &address, unsigned int ifindex, const char *name)
{
    unsigned int link = links_slot(ifindex, name, !links_link_local(address));
    int at = links_find(address, ifindex);
    if (at < 0 || trafficd_links.addresses[at].link != link) {
        // New, or its interface has a new name: it goes last, as the newest holder.
        if (at >= 0)
            links_remove_at(at);
        if (trafficd_links.address_count >= TRAFFICD_MAX_ADDRESSES) {
            links_refuse(address, ifindex);
            return;
        }
        links_unrefuse(address, ifindex);
        at = trafficd_links.address_count++;
        trafficd_address_entry &entry = trafficd_links.addresses[at];
        entry.address = address;
        entry.ifindex = ifindex;
        entry.link = link;
        links_publish(address);
        char text[64];
        links_address_text(address, text, sizeof text);
        trafficd_note("%s holds %s", name, text);
    }
    trafficd_links.addresses[at].seen = true;
    // The interface's link-local addresses follow it into a slot it just took.
    for (int i = 0; link != TRAFFICD_LINK_OTHER && i < trafficd_links.address_count; i++) {
        trafficd_address_entry &entry = trafficd_links.addresses[i];
        if (entry.ifindex == ifindex && entry.link == TRAFFICD_LINK_OTHER) {
            entry.link = link;
            links_publish(entry.address);
        }
    }
}

static void links_remove(const trafficd_address &address, unsigned int ifindex)
{
    links_unrefuse(address, ifindex);
    int at = links_find(address, ifindex);
    if (at < 0)
        return;
    char text[64];
    links_address_text(address, text, sizeof text);
    trafficd_note("%s is gone from %s", text,
                  trafficd_links.slots[trafficd_links.addresses[at].link].name);
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
        for (int i = TRAFFICD_LINK_LO + 1; i < TRAFFICD_LINKS; i++)
            if (trafficd_links.slots[i].state == trafficd_slot_live &&
                trafficd_links.slots[i].ifindex == ifindex)
                links_slot_gone(i);
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
    // Its slot goes with its old name; its addresses count for the new one.
    links_slot(ifindex, name, false);
    for (int i = 0; i < trafficd_links.address_count; i++) {
        const trafficd_address_entry &entry = trafficd_links.addresses[i];
        if (entry.ifindex == ifindex && entry.link != TRAFFICD_LINK_OTHER &&
            strcmp(trafficd_links.slots[entry.link].name, name) != 0) {
            trafficd_address address = entry.address;
            links_add(address, ifindex, name);
            i = -1;  // the entry moved; look again from the start
        }
    }
}

// Handles the messages in buffer: 1 while more are to come, 0 at the end of a
// dump, -1 for an error or a dump the kernel marks as interrupted.
static int links_messages(const char *buffer, size_t length)
{
    for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer); NLMSG_OK(h, length);
         h = NLMSG_NEXT(h, length)) {
        if (h->nlmsg_flags & NLM_F_DUMP_INTR)
            return -1;
        switch (h->nlmsg_type) {
        case NLMSG_DONE:
            return 0;
        case NLMSG_ERROR:
            return -1;
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
    return 1;
}

void trafficd_links_dump_begin(void)
{
    for (int i = 0; i < trafficd_links.address_count; i++)
        trafficd_links.addresses[i].seen = false;
    for (int i = 0; i < trafficd_links.refused_count; i++)
        trafficd_links.refused[i].seen = false;
}

int trafficd_links_dump_part(const char *buffer, size_t length)
{
    return links_messages(buffer, length);
}

void trafficd_links_dump_end(void)
{
    for (int i = trafficd_links.address_count - 1; i >= 0; i--)
        if (!trafficd_links.addresses[i].seen)
            links_remove_at(i);
    for (int i = trafficd_links.refused_count - 1; i >= 0; i--)
        if (!trafficd_links.refused[i].seen)
            trafficd_links.refused[i] = trafficd_links.refused[--trafficd_links.refused_count];
    // Interfaces that went away, or took another name, while news were lost.
    for (int i = TRAFFICD_LINK_LO + 1; i < TRAFFICD_LINKS; i++) {
        char name[IF_NAMESIZE];
        trafficd_link_slot &s = trafficd_links.slots[i];
        if (s.state == trafficd_slot_live &&
            (!if_indextoname(s.ifindex, name) || strcmp(name, s.name) != 0))
            links_slot_gone(i);
    }
}

// One reading of the kernel's whole address table: 0 when it was whole, -1
// (errno set) when it failed or was interrupted.
static int links_dump_once(void)
{
    ifaddrmsg query{};
    query.ifa_family = AF_UNSPEC;
    int fd = kivo_nldump_request(RTM_GETADDR, &query, sizeof query);
    if (fd < 0)
        return -1;
    trafficd_links_dump_begin();
    int state = 1;
    alignas(nlmsghdr) static char buffer[65536];
    while (state == 1) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0) {
            state = -1;
            break;
        }
        state = trafficd_links_dump_part(buffer, static_cast<size_t>(got));
    }
    if (state == -1 && errno == 0)
        errno = EIO;
    int saved = errno;
    close(fd);
    errno = saved;
    if (state != 0)
        return -1;
    trafficd_links_dump_end();
    return 0;
}

// Reads the whole table, again when a reading fails or is interrupted; never
// takes a reading that did not end well as the table.
static int links_dump(void)
{
    for (int attempt = 0; attempt < dump_attempts; attempt++) {
        if (links_dump_once() == 0) {
            if (trafficd_links.dump_wanted)
                trafficd_log("the kernel's address table is read again");
            trafficd_links.dump_wanted = false;
            return 0;
        }
    }
    if (!trafficd_links.dump_wanted)
        trafficd_log("cannot read the kernel's address table: %s; tried again every cycle",
                     strerror(errno));
    trafficd_links.dump_wanted = true;
    return -1;
}

int trafficd_links_open(int map_fd, int devices_fd, char *message, size_t size)
{
    trafficd_links.map_fd = map_fd;
    trafficd_links.devices_fd = devices_fd;
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
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        snprintf(message, size, "cannot read the kernel's address news: %s", strerror(errno));
        close(fd);
        return -1;
    }
    // News first, then the dump: no change falls between the two. A dump
    // that fails is tried again every cycle.
    trafficd_links.news_fd = fd;
    links_dump();
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
            links_dump();
            continue;
        }
        if (got <= 0)
            break;
        links_messages(buffer, static_cast<size_t>(got));
    }
}

void trafficd_links_folded(void)
{
    trafficd_links.folds++;
    for (int i = TRAFFICD_LINK_LO + 1; i < TRAFFICD_LINKS; i++) {
        trafficd_link_slot &s = trafficd_links.slots[i];
        if (s.state == trafficd_slot_gone && s.gone_fold < trafficd_links.folds) {
            trafficd_note("link slot %d of %s is free", i, s.name);
            s.state = trafficd_slot_free;
            s.name[0] = '\0';
        }
    }
    // A reading that failed is tried again once a cycle.
    if (trafficd_links.dump_wanted)
        links_dump();
}
