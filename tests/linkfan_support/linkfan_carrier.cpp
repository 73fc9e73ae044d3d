// Stand-in for the carriers' side of the links: it makes each link as a tun
// device named pppN that it holds open, with the addresses scene_add_link
// gives, and answers the echo requests that leave through it. Told on
// standard input, one command a line, it changes what a link's far end does:
//   add N [noipv6]   make link N (answers at first)       -> "added N"
//   answer N         answer its echo requests again       -> "ok N"
//   swallow N        take them and answer nothing         -> "ok N"
//   close N          close the device: the link is gone   -> "closed N"
//   count N          echo requests seen through link N    -> "count N <requests>"
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
    bool swallow = false;
    long requests = 0;
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

bool add_link(unsigned n, bool ipv6)
{
    ends[n] = far_end{};
    ends[n].fd = open_tun(n);
    if (ends[n].fd < 0)
        return false;
    // An open tun has a carrier: no link-local address, so the link's first
    // IPv6 address stays the one given here.
    std::string cmd = "sysctl -qw net.ipv6.conf.ppp" + std::to_string(n) + ".addr_gen_mode=1 && ";
    return sandbox_sh(cmd + scene_address_link(n, ipv6)) == 0;
}

// One packet that left through link n: an IPv4 echo request is counted and,
// unless the far end swallows, answered from its target.
void far_end_sees(unsigned n, unsigned char *packet, ssize_t len)
{
    if (len < 28 || (packet[0] >> 4) != 4 || packet[9] != 1)
        return;
    size_t ihl = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (ihl < 20 || static_cast<size_t>(len) < ihl + 8 || packet[ihl] != 8)
        return;
    ends[n].requests++;
    if (ends[n].swallow)
        return;
    // Swapped addresses leave the header's checksum as it was; the type's
    // change from 8 to 0 is mended in place (RFC 1624).
    unsigned char addr[4];
    std::memcpy(addr, packet + 12, 4);
    std::memcpy(packet + 12, packet + 16, 4);
    std::memcpy(packet + 16, addr, 4);
    unsigned char *icmp = packet + ihl;
    icmp[0] = 0;
    uint32_t sum = static_cast<uint16_t>(~(icmp[2] << 8 | icmp[3])) + 0xf7ffu;
    sum = (sum & 0xffff) + (sum >> 16);
    put16(icmp + 2, static_cast<uint16_t>(~sum));
    ssize_t ignored = write(ends[n].fd, packet, static_cast<size_t>(len));
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
    std::string what = word;
    if (what == "add")
        std::printf(add_link(n, std::strcmp(extra, "noipv6") != 0) ? "added %u\n" : "failed %u\n",
                    n);
    else if (what == "answer" || what == "swallow") {
        ends[n].swallow = what == "swallow";
        std::printf("ok %u\n", n);
    } else if (what == "close") {
        if (ends[n].fd >= 0)
            close(ends[n].fd);
        ends[n].fd = -1;
        std::printf("closed %u\n", n);
    } else if (what == "count")
        std::printf("count %u %ld\n", n, ends[n].requests);
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
