// Stand-in for the carriers' side of the links: it makes each link as a tun
// device named pppN that it holds open, with the addresses scene_add_link
// gives, and answers the echo requests, IPv4 and IPv6, that leave through it.
// Told on standard input, one command a line, it changes what a link's far
// end does (FAMILY, ipv4 or ipv6, limits it to that family's requests):
//   add N [noipv6|noipv4]  make link N (answers at first)       -> "added N"
//   answer N [FAMILY]      answer its echo requests again       -> "ok N"
//   swallow N [FAMILY]     take them and answer nothing         -> "ok N"
//   close N                close the device: the link is gone   -> "closed N"
//   count N [FAMILY]       echo requests seen through link N    -> "count N <requests>"
// It prints "ready" once it reads commands.
#include "linkfan_scene.h"
#include "sandbox.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct far_end {
    int fd = -1;
    bool swallow[2] = {false, false};  // IPv4, IPv6
    long requests[2] = {0, 0};
};

far_end ends[128];

void put16(unsigned char *at, uint16_t value)
{
    at[0] = static_cast<unsigned char>(value >> 8);
    at[1] = static_cast<unsigned char>(value);
}

int open_tun(unsigned n)
{
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct ifreq req = {};
    req.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::snprintf(req.ifr_name, sizeof req.ifr_name, "ppp%u", n);
    if (ioctl(fd, TUNSETIFF, &req) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool add_link(unsigned n, bool ipv6, bool ipv4)
{
    ends[n] = far_end{};
    ends[n].fd = open_tun(n);
    if (ends[n].fd < 0)
        return false;
    // An open tun has a carrier: no link-local address, so the link's first
    // IPv6 address stays the one given here.
    std::string cmd = "sysctl -qw net.ipv6.conf.ppp" + std::to_string(n) + ".addr_gen_mode=1 && ";
    return sandbox_sh(cmd + scene_address_link(n, ipv6, ipv4)) == 0;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint32_t sum_words(const unsigned char *data, size_t len, uint32_t sum)
{
    for (size_t k = 0; k + 1 < len; k += 2)
        sum += static_cast<uint32_t>(data[k] << 8 | data[k + 1]);
    if (len & 1)
        sum += static_cast<uint32_t>(data[len - 1] << 8);
    return sum;
}

// An IPv4 echo request: answered from its target, its addresses swapped
// (which leaves the header's checksum as it was) and the ICMP checksum made
// anew.
bool answer_ipv4(unsigned char *packet, ssize_t len)
{
    size_t ihl = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (len < 28 || packet[9] != 1 || ihl < 20 || static_cast<size_t>(len) < ihl + 8 ||
        packet[ihl] != 8)
        return false;
    unsigned char addr[4];
    std::memcpy(addr, packet + 12, 4);
    std::memcpy(packet + 12, packet + 16, 4);
    std::memcpy(packet + 16, addr, 4);
    unsigned char *icmp = packet + ihl;
    icmp[0] = 0;
    icmp[2] = icmp[3] = 0;
    put16(icmp + 2, fold(sum_words(icmp, static_cast<size_t>(len) - ihl, 0)));
    return true;
}

// An ICMPv6 echo request right after the fixed header: answered from its
// target with the checksum made anew over the pseudo-header.
bool answer_ipv6(unsigned char *packet, ssize_t len)
{
    if (len < 48 || packet[6] != 58 || packet[40] != 128)
        return false;
    unsigned char addr[16];
    std::memcpy(addr, packet + 8, 16);
    std::memcpy(packet + 8, packet + 24, 16);
    std::memcpy(packet + 24, addr, 16);
    unsigned char *icmp = packet + 40;
    const size_t icmp_len = static_cast<size_t>(len) - 40;
    icmp[0] = 129;
    icmp[2] = icmp[3] = 0;
    uint32_t sum = sum_words(packet + 8, 32, 0) + static_cast<uint32_t>(icmp_len) + 58;
    put16(icmp + 2, fold(sum_words(icmp, icmp_len, sum)));
    return true;
}

// One packet that left through link n: an echo request is counted and,
// unless the far end swallows its family, answered from its target.
void far_end_sees(unsigned n, unsigned char *packet, ssize_t len)
{
    if (len < 1)
        return;
    const int family = (packet[0] >> 4) == 6 ? 1 : 0;
    if ((packet[0] >> 4) != 4 && family == 0)
        return;
    unsigned char answer[2048];
    std::memcpy(answer, packet, static_cast<size_t>(len));
    if (!(family ? answer_ipv6(answer, len) : answer_ipv4(answer, len)))
        return;
    ends[n].requests[family]++;
    if (ends[n].swallow[family])
        return;
    ssize_t ignored = write(ends[n].fd, answer, static_cast<size_t>(len));
    (void)ignored;
}

void command(const char *line)
{
    char word[16] = {0}, extra[16] = {0};
    unsigned n = 0;
    if (std::sscanf(line, "%15s %u %15s", word, &n, extra) < 2 || n >= 128) {
        std::printf("bad %s", line);
        return;
    }
    std::string what = word, family = extra;
    // Both families unless one is named.
    const bool ipv4 = family != "ipv6", ipv6 = family != "ipv4";
    if (what == "add")
        std::printf(add_link(n, family != "noipv6", family != "noipv4") ? "added %u\n"
                                                                        : "failed %u\n",
                    n);
    else if (what == "answer" || what == "swallow") {
        if (ipv4)
            ends[n].swallow[0] = what == "swallow";
        if (ipv6)
            ends[n].swallow[1] = what == "swallow";
        std::printf("ok %u\n", n);
    } else if (what == "close") {
        if (ends[n].fd >= 0)
            close(ends[n].fd);
        ends[n].fd = -1;
        std::printf("closed %u\n", n);
    } else if (what == "count")
        std::printf("count %u %ld\n", n,
                    (ipv4 ? ends[n].requests[0] : 0) + (ipv6 ? ends[n].requests[1] : 0));
    else
        std::printf("bad %s", line);
}

}  // namespace

int main()
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("ready\n");
    char line[256];
    std::string pending;
    for (;;) {
        struct pollfd fds[129];
        unsigned links[129];
        int count = 0;
        fds[count++] = {0, POLLIN, 0};
        for (unsigned n = 0; n < 128; n++)
            if (ends[n].fd >= 0) {
                links[count] = n;
                fds[count++] = {ends[n].fd, POLLIN, 0};
            }
        if (poll(fds, static_cast<nfds_t>(count), -1) < 0)
            continue;
        for (int k = 1; k < count; k++) {
            if (!(fds[k].revents & POLLIN))
                continue;
            unsigned char packet[2048];
            ssize_t len = read(fds[k].fd, packet, sizeof packet);
            if (len > 0)
                far_end_sees(links[k], packet, len);
        }
        if (fds[0].revents & (POLLIN | POLLHUP)) {
            ssize_t got = read(0, line, sizeof line - 1);
            if (got <= 0)
                return 0;
            pending.append(line, static_cast<size_t>(got));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string one = pending.substr(0, end + 1);
                pending.erase(0, end + 1);
                command(one.c_str());
            }
        }
    }
}
