// Kernel news of the uplink, read in the pause between passes: one netlink
// socket and one poll, no thread.
#include "kivo_watch.h"

#include <linux/if_addr.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "kivo_netlink.h"
#include "libkivo_text.h"

kivo_watch_record kivo_watch_info;

namespace {

// Room for the news of a redial on a busy box; what overflows is ENOBUFS,
// which counts as news.
constexpr int kReceiveBuffer = 256 * 1024;

// The interface's flags now, 0 when it cannot be asked.
unsigned flags_of(const char *nic)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    ifreq request{};
    kivo_text_copy_field(request.ifr_name, nic);
    unsigned flags = ioctl(fd, SIOCGIFFLAGS, &request) == 0
                         ? static_cast<unsigned short>(request.ifr_flags)
                         : 0;
    close(fd);
    return flags;
}

// NLMSG_OK without its comparison of a signed length with an unsigned one.
bool message_ok(const nlmsghdr *h, int left)
{
    return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= static_cast<unsigned>(left);
}

// Notes the interface of index as the one the message is about; 0 when it
// is the loopback, whose news never counts. An interface already gone counts.
int note_interface(kivo_watch_record *w, unsigned index)
{
    char name[IF_NAMESIZE] = "";
    if (index == 0 || if_indextoname(index, name) == nullptr)
        kivo_text_copy_field(name, "?");
    else if ((flags_of(name) & IFF_LOOPBACK) != 0)
        return 0;
    kivo_text_copy_field(w->about, name);
    return 1;
}

// Forgets the addresses of an interface that is gone; its index may come back
// for another one.
void forget_interface(kivo_watch_record *w, unsigned index)
{
    int kept = 0;
    for (int i = 0; i < w->address_count; i++)
        if (w->addresses[i].index != index)
            w->addresses[kept++] = w->addresses[i];
    w->address_count = kept;
}

// The link of the nic appeared (a new index: created, or created again by a
// redial) or came up.
int link_counts(kivo_watch_record *w, const nlmsghdr *h)
{
    if (h->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
        return 0;
    const ifinfomsg *info = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
    if (h->nlmsg_type == RTM_DELLINK)
        forget_interface(w, static_cast<unsigned>(info->ifi_index));
    if (w->nic[0] == '\0')
        return 0;
    char name[IF_NAMESIZE] = "";
    int left = static_cast<int>(IFLA_PAYLOAD(h));
    for (const rtattr *a = IFLA_RTA(info); RTA_OK(a, left); a = RTA_NEXT(a, left))
        if (a->rta_type == IFLA_IFNAME) {
            size_t size = RTA_PAYLOAD(a) < sizeof name - 1 ? RTA_PAYLOAD(a) : sizeof name - 1;
            std::memcpy(name, RTA_DATA(a), size);
            name[size] = '\0';
        }
    if (std::strcmp(name, w->nic) != 0)
        return 0;
    const unsigned index = static_cast<unsigned>(info->ifi_index);
    if (h->nlmsg_type == RTM_DELLINK) {
        w->nic_index = 0;
        w->nic_flags = 0;
        return 0; // its addresses went with it, and that news counted
    }
    constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
    const bool appeared = index != w->nic_index;
    const bool came_up = (info->ifi_flags & kUp) == kUp && (w->nic_flags & kUp) != kUp;
    w->nic_index = index;
    w->nic_flags = info->ifi_flags;
    if (!appeared && !came_up)
        return 0;
    kivo_text_copy_field(w->about, name);
    return 1;
}

// Whether an address on interface index is one the record may take: on the
// nic, or, without one, on any interface but loopback. Notes the interface
// in w->about.
int watched(kivo_watch_record *w, unsigned index)
{
    if (w->nic[0] == '\0')
        return note_interface(w, index);
    // An address news may come before the link news of a new interface.
    if (w->nic_index == 0 || index != w->nic_index) {
        char name[IF_NAMESIZE] = "";
        if (if_indextoname(index, name) == nullptr || std::strcmp(name, w->nic) != 0)
            return 0;
        w->nic_index = index;
    }
    kivo_text_copy_field(w->about, w->nic);
    return 1;
}

// Notes that the address is (there) or is not in the set; 1 when that
// changed the set. A set already full takes no more, and each news of an
// address it could not take counts.
int note_address(kivo_watch_record *w, const kivo_netlink_address &a, bool there)
{
    for (int i = 0; i < w->address_count; i++) {
        kivo_watch_address &known = w->addresses[i];
        if (known.index != a.index || known.prefix != a.prefix ||
            std::memcmp(known.bytes, a.bytes, sizeof a.bytes) != 0)
            continue;
        if (!there)
            known = w->addresses[--w->address_count];
        return !there;
    }
    if (!there)
        return 0;
    if (w->address_count < KIVO_WATCH_ADDRESSES) {
        kivo_watch_address &added = w->addresses[w->address_count++];
        added.index = a.index;
        added.prefix = a.prefix;
        std::memcpy(added.bytes, a.bytes, sizeof a.bytes);
    }
    return 1;
}

// An address the record may take gained or lost, on a watched interface: an
// IPv4 address, or an IPv6 one that can be published (so also one that
// passed or failed duplicate detection, or was deprecated). A message that
// renews a known address's lifetimes changes nothing.
int address_counts(kivo_watch_record *w, const nlmsghdr *h)
{
    kivo_netlink_address a;
    if (!kivo_netlink_read_address(h, &a) || a.family != w->family)
        return 0;
    const bool there = h->nlmsg_type == RTM_NEWADDR && a.published;
    return watched(w, a.index) && note_address(w, a, there);
}

// Learns the addresses there are now, so that only changes to them count.
int learn_address(const nlmsghdr *h, void *context)
{
    kivo_watch_record *w = static_cast<kivo_watch_record *>(context);
    address_counts(w, h);
    return 0;
}

void learn_addresses(kivo_watch_record *w)
{
    w->address_count = 0;
    kivo_netlink_dump_addresses(w->family, learn_address, w);
}

// Without a nic: the main table's default route of the record's family came
// or went, the sign of an uplink that came up or went down.
int route_counts(kivo_watch_record *w, const nlmsghdr *h)
{
    if (w->nic[0] != '\0' || h->nlmsg_len < NLMSG_LENGTH(sizeof(rtmsg)))
        return 0;
    const rtmsg *r = static_cast<const rtmsg *>(NLMSG_DATA(h));
    if (r->rtm_family != w->family || r->rtm_dst_len != 0 || r->rtm_type != RTN_UNICAST)
        return 0;
    uint32_t table = r->rtm_table;
    uint32_t out = 0;
    int left = static_cast<int>(RTM_PAYLOAD(h));
    for (const rtattr *a = RTM_RTA(r); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        if (a->rta_type == RTA_TABLE && RTA_PAYLOAD(a) >= sizeof table)
            std::memcpy(&table, RTA_DATA(a), sizeof table);
        else if (a->rta_type == RTA_OIF && RTA_PAYLOAD(a) >= sizeof out)
            std::memcpy(&out, RTA_DATA(a), sizeof out);
    }
    if (table != RT_TABLE_MAIN)
        return 0;
    note_interface(w, out);
    return 1;
}

// A burst begins with its first news, whose interface the log will name.
void note_news(kivo_watch_record *w, long long now_ms)
{
    if (w->burst_first_ms == 0) {
        w->burst_first_ms = now_ms;
        kivo_text_copy_field(w->news_on, w->about);
    }
    w->burst_last_ms = now_ms;
}

// When the early pass of the burst under way is due.
long long early_pass_ms(const kivo_watch_record &w)
{
    long long due = w.burst_last_ms + KIVO_WATCH_QUIET_MS;
    if (due > w.burst_first_ms + KIVO_WATCH_BURST_MS)
        due = w.burst_first_ms + KIVO_WATCH_BURST_MS;
    const long long spacing =
        w.nic[0] != '\0' ? KIVO_WATCH_NIC_SPACING_MS : KIVO_WATCH_ANY_SPACING_MS;
    if (w.last_early_ms != 0 && due < w.last_early_ms + spacing)
        due = w.last_early_ms + spacing;
    return due;
}

// Whether one message is news that ends the pause; notes the nic's index
// and flags, and the interface the message is about (w->about), as it goes.
int counts_as_news(kivo_watch_record *w, const nlmsghdr *h)
{
    switch (h->nlmsg_type) {
    case RTM_NEWLINK:
    case RTM_DELLINK:
        return link_counts(w, h);
    case RTM_NEWADDR:
    case RTM_DELADDR:
        return address_counts(w, h);
    case RTM_NEWROUTE:
    case RTM_DELROUTE:
        return route_counts(w, h);
    default:
        return 0;
    }
}

// Reads every message waiting on the socket without blocking and notes a
// burst at now_ms when one counts (or when the kernel dropped some: anything
// may have changed then).
void read_news(kivo_watch_record *w, long long now_ms)
{
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        ssize_t got = recv(w->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == ENOBUFS) {
            // News was lost: the address may have changed meanwhile, and
            // the set is learnt anew.
            kivo_text_copy_field(w->about, w->nic[0] != '\0' ? w->nic : "?");
            note_news(w, now_ms);
            learn_addresses(w);
            continue;
        }
        if (got <= 0)
            break;
        int left = static_cast<int>(got);
        for (const nlmsghdr *h = reinterpret_cast<const nlmsghdr *>(buffer); message_ok(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (counts_as_news(w, h))
                note_news(w, now_ms);
        }
    }
}

} // namespace

long long kivo_watch_now_ms(void)
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int kivo_watch_pause_seconds(int failures, int interval)
{
    if (failures <= 0)
        return interval;
    // Doubling stops once it reaches the interval, long before it could
    // overflow.
    long long wait = KIVO_WATCH_RETRY_FIRST;
    for (int i = 1; i < failures && wait < interval; i++)
        wait *= 2;
    return wait < interval ? static_cast<int>(wait) : interval;
}

int kivo_watch_open(kivo_watch_record *w, const char *nic, int family)
{
    *w = kivo_watch_record{};
    w->family = family;
    kivo_text_copy_field(w->nic, nic);
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    int size = kReceiveBuffer;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR;
    if (w->nic[0] == '\0')
        local.nl_groups |= RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    w->fd = fd;
    if (w->nic[0] != '\0') {
        w->nic_index = if_nametoindex(w->nic);
        w->nic_flags = w->nic_index != 0 ? flags_of(w->nic) : 0;
    }
    // After the subscription: what changes once the dump is made is news.
    learn_addresses(w);
    return 0;
}

int kivo_watch_pause(kivo_watch_record *w, long long deadline_ms, long long wake_ms)
{
    // News that came while the pass ran may be what it missed.
    if (w->fd >= 0)
        read_news(w, kivo_watch_now_ms());
    for (;;) {
        long long now = kivo_watch_now_ms();
        const long long early = w->burst_first_ms != 0 ? early_pass_ms(*w) : deadline_ms;
        const long long until = early < deadline_ms ? early : deadline_ms;
        if (now >= until) {
            // A burst that the timer overtook is news this pass takes in.
            w->burst_first_ms = w->burst_last_ms = 0;
            if (until == deadline_ms)
                return KIVO_WATCH_TIMER;
            w->last_early_ms = now;
            return KIVO_WATCH_NEWS;
        }
        if (now >= wake_ms)
            return KIVO_WATCH_WAKE;
        // A socket that overflowed is readable as an error; the read takes
        // the ENOBUFS as news.
        pollfd news = {w->fd, POLLIN, 0};
        long long wait = (until < wake_ms ? until : wake_ms) - now;
        if (poll(&news, w->fd >= 0 ? 1 : 0, wait > 60000 ? 60000 : static_cast<int>(wait)) > 0)
            read_news(w, kivo_watch_now_ms());
    }
}
