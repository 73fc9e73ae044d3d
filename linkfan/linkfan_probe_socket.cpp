// Probe sockets. A packet socket on the link's device carries them both ways:
// a request leaves through that device whatever the routes say (a down link
// is in no default route, a link may have no table of its own), and a reply
// is seen as it arrives, before reverse-path filtering, which in its strict
// form drops replies on a link that no route leads back through.
#include "linkfan_probe_socket.h"
#include "linkfan_record.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int ipv4_header = 20;
constexpr int ipv6_header = 40;
constexpr int icmp_header = 8;
// The payload only makes the requests easy to tell apart in a capture.
constexpr char payload[8] = {'k', 'i', 'v', 'o', 'l', 'i', 'n', 'k'};
constexpr int echo_size = icmp_header + sizeof payload;

uint32_t sum_words(const uint8_t *data, int len, uint32_t sum)
{
    for (int k = 0; k + 1 < len; k += 2)
        sum += static_cast<uint32_t>(data[k] << 8 | data[k + 1]);
    if (len & 1)
        sum += static_cast<uint32_t>(data[len - 1] << 8);
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint16_t checksum(const uint8_t *data, int len)
{
    return fold(sum_words(data, len, 0));
}

// ICMPv6's checksum covers a pseudo-header: both addresses, the length and
// the next header (RFC 8200, 8.1).
uint16_t checksum6(const uint8_t *source, const uint8_t *destination, const uint8_t *icmp, int len)
{
    uint32_t sum = sum_words(source, 16, 0);
    sum = sum_words(destination, 16, sum);
    sum += static_cast<uint32_t>(len) + IPPROTO_ICMPV6;
    return fold(sum_words(icmp, len, sum));
}

void put16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

}  // namespace

int linkfan_probe_socket_open(int family, int ifindex, uint16_t ident)
{
    // Protocol 0 until bound: no packet of any device is queued before the
    // filter is in place.
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Unfragmented IPv4 ICMP echo replies with this link's identifier; the
    // kernel copies nothing else of the link's traffic.
    struct sock_filter code4[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xf0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x40, 0, 10),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 9),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMP, 0, 8),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, 0x1fff, 6, 0),
        BPF_STMT(BPF_LDX | BPF_B | BPF_MSH, 0),
        BPF_STMT(BPF_LD | BPF_B | BPF_IND, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_IND, 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ident, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    // ICMPv6 echo replies (type 129) right after the fixed header, with this
    // link's identifier: the echo that answers ours carries no extension header.
    struct sock_filter code6[] = {
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 0),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xf0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x60, 0, 7),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, 6),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, IPPROTO_ICMPV6, 0, 5),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, ipv6_header),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 129, 0, 3),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, ipv6_header + 4),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ident, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const bool ipv6 = family == LINKFAN_IPV6;
    struct sock_fprog program;
    program.len = static_cast<unsigned short>(ipv6 ? sizeof code6 / sizeof code6[0]
                                                   : sizeof code4 / sizeof code4[0]);
    program.filter = ipv6 ? code6 : code4;
    int on = 1;
    struct sockaddr_ll local = {};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ipv6 ? ETH_P_IPV6 : ETH_P_IP);
    local.sll_ifindex = ifindex;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int linkfan_probe_send(int fd, int family, const uint8_t *addr, const uint8_t *target,
                       uint16_t ident, uint16_t sequence)
{
    uint8_t packet[ipv6_header + echo_size] = {0};
    const bool ipv6 = family == LINKFAN_IPV6;
    const int header = ipv6 ? ipv6_header : ipv4_header;
    const int size = header + echo_size;
    uint8_t *icmp = packet + header;
    icmp[0] = ipv6 ? 128 : 8;  // echo request
    put16(icmp + 4, ident);
    put16(icmp + 6, sequence);
    memcpy(icmp + icmp_header, payload, sizeof payload);
    if (ipv6) {
        packet[0] = 0x60;
        put16(packet + 4, echo_size);
        packet[6] = IPPROTO_ICMPV6;
        packet[7] = 64;
        memcpy(packet + 8, addr, 16);
        memcpy(packet + 24, target, 16);
        put16(icmp + 2, checksum6(addr, target, icmp, echo_size));
    } else {
        packet[0] = 0x45;
        put16(packet + 2, static_cast<uint16_t>(size));
        put16(packet + 4, sequence);
        packet[8] = 64;
        packet[9] = IPPROTO_ICMP;
        memcpy(packet + 12, addr, 4);
        memcpy(packet + 16, target, 4);
        put16(packet + 10, checksum(packet, ipv4_header));
        put16(icmp + 2, checksum(icmp, echo_size));
    }
    ssize_t sent;
    do
        sent = send(fd, packet, static_cast<size_t>(size), MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == size ? 0 : -1;
}

int linkfan_probe_receive(int fd, int family, uint8_t *sender, uint16_t *sequence,
                          struct timespec *arrival)
{
    const bool ipv6 = family == LINKFAN_IPV6;
    for (;;) {
        uint8_t packet[160];
        alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct timespec))];
        struct iovec part = {packet, sizeof packet};
        struct msghdr msg = {};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t got = recvmsg(fd, &msg, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return 0;
        // The filter let only echo replies through. A cut or damaged one is
        // passed over, as the kernel would drop it; an answer to our requests
        // is as long as they are.
        int header = ipv6 ? ipv6_header : (packet[0] & 0x0f) * 4;
        if ((msg.msg_flags & MSG_TRUNC) || header < ipv4_header || got < header + icmp_header)
            continue;
        const uint8_t *icmp = packet + header;
        const int len = static_cast<int>(got) - header;
        if (ipv6 ? (len != (packet[4] << 8 | packet[5]) ||
                    checksum6(packet + 8, packet + 24, icmp, len) != 0)
                 : checksum(icmp, len) != 0)
            continue;
        clock_gettime(CLOCK_REALTIME, arrival);
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
                memcpy(arrival, CMSG_DATA(c), sizeof *arrival);
        memcpy(sender, ipv6 ? packet + 8 : packet + 12, ipv6 ? 16 : 4);
        *sequence = static_cast<uint16_t>(icmp[6] << 8 | icmp[7]);
        return 1;
    }
}
