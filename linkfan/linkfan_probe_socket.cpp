// Probe sockets. A packet socket on the link's device carries them both ways:
// a request leaves through that device whatever the routes say (a down link
// is in no default route, a link without IPv6 has no table of its own), and
// a reply is seen as it arrives, before reverse-path filtering, which in its
// strict form drops replies on a link that no route leads back through.
#include "linkfan_probe_socket.h"

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

constexpr int ip_header = 20;
constexpr int icmp_header = 8;
// The payload only makes the requests easy to tell apart in a capture.
constexpr char payload[8] = {'k', 'i', 'v', 'o', 'l', 'i', 'n', 'k'};
constexpr int request_size = ip_header + icmp_header + sizeof payload;

uint16_t checksum(const uint8_t *data, int len)
{
    uint32_t sum = 0;
    for (int k = 0; k + 1 < len; k += 2)
        sum += static_cast<uint32_t>(data[k] << 8 | data[k + 1]);
    if (len & 1)
        sum += static_cast<uint32_t>(data[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void put16(uint8_t *at, uint16_t value)
{
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value);
}

}  // namespace

int linkfan_probe_socket_open(int ifindex, uint16_t ident)
{
    // Protocol 0 until bound: no packet of any device is queued before the
    // filter is in place.
    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Unfragmented IPv4 ICMP echo replies with this link's identifier; the
    // kernel copies nothing else of the link's traffic.
    struct sock_filter code[] = {
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
    struct sock_fprog program = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    int on = 1;
    struct sockaddr_ll local = {};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_IP);
    local.sll_ifindex = ifindex;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<struct sockaddr *>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int linkfan_probe_send(int fd, uint32_t addr, uint32_t target, uint16_t ident, uint16_t sequence)
{
    uint8_t packet[request_size] = {0};
    packet[0] = 0x45;
    put16(packet + 2, request_size);
    put16(packet + 4, sequence);
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    memcpy(packet + 12, &addr, 4);
    memcpy(packet + 16, &target, 4);
    put16(packet + 10, checksum(packet, ip_header));
    uint8_t *icmp = packet + ip_header;
    icmp[0] = 8;  // echo request
    put16(icmp + 4, ident);
    put16(icmp + 6, sequence);
    memcpy(icmp + icmp_header, payload, sizeof payload);
    put16(icmp + 2, checksum(icmp, icmp_header + static_cast<int>(sizeof payload)));
    ssize_t sent;
    do
        sent = send(fd, packet, sizeof packet, MSG_DONTWAIT);
    while (sent < 0 && errno == EINTR);
    return sent == static_cast<ssize_t>(sizeof packet) ? 0 : -1;
}

int linkfan_probe_receive(int fd, uint32_t *sender, uint16_t *sequence, struct timespec *arrival)
{
    for (;;) {
        uint8_t packet[128];
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
        int ihl = (packet[0] & 0x0f) * 4;
        // The filter let only echo replies through. A cut or damaged one is
        // passed over, as the kernel would drop it; an answer to our requests
        // is as long as they are.
        if (ihl < ip_header || got < ihl + icmp_header || (msg.msg_flags & MSG_TRUNC) ||
            checksum(packet + ihl, static_cast<int>(got) - ihl) != 0)
            continue;
        clock_gettime(CLOCK_REALTIME, arrival);
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS)
                memcpy(arrival, CMSG_DATA(c), sizeof *arrival);
        memcpy(sender, packet + 12, 4);
        *sequence = static_cast<uint16_t>(packet[ihl + 6] << 8 | packet[ihl + 7]);
        return 1;
    }
}
