// External address discovery: the five echo services, asked one after the other
// until one of them gives an address.
#include "kivo_extern_ip.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kivo_metrics.h"
#include "libkivo_curl.h"
#include "libkivo_json.h"
#include "libkivo_text.h"

namespace {

constexpr char kNoAddress[] = "0.0.0.0";
// "1.2.3.4" is the shortest address; a field holding less holds none.
constexpr size_t kShortestAddress = 7;

// Address blocks that cannot be a box's public address: this network, private,
// shared (carrier-grade NAT), loopback, link-local, IETF protocol assignments,
// benchmarking, multicast, and the reserved block with the broadcast address.
// A broken echo service, a captive portal or a misrouted request answers with
// one of these, and a record pointed there reaches nobody. The documentation
// blocks 192.0.2/24, 198.51.100/24 and 203.0.113/24 stay accepted.
struct refused_block {
    uint32_t base; // host byte order
    unsigned bits;
};
constexpr refused_block kRefused[] = {
    {0x00000000u, 8},  {0x0a000000u, 8},  {0x64400000u, 10}, {0x7f000000u, 8},
    {0xa9fe0000u, 16}, {0xac100000u, 12}, {0xc0000000u, 24}, {0xc0a80000u, 16},
    {0xc6120000u, 15}, {0xe0000000u, 4},  {0xf0000000u, 4},
};

// An echo service's answer counts only when it is an address a box can have:
// an error page served with status 200, a carriage return left on the line, an
// IPv6 address or one of the blocks above would otherwise go out to DNS.
bool is_address(const char *text)
{
    in_addr parsed;
    if (inet_pton(AF_INET, text, &parsed) != 1)
        return false;
    uint32_t address = ntohl(parsed.s_addr);
    for (const refused_block &block : kRefused)
        if ((address ^ block.base) >> (32 - block.bits) == 0)
            return false;
    return true;
}

long ask(const kivo_extern_ip_source &source, const char *nic, char *answer, unsigned timeout)
{
    if (nic != nullptr && nic[0] != '\0')
        return kivo_curl_check_nic("GET", source.url, nic, nullptr, nullptr, 0, answer,
                                   KIVO_EXTERN_IP_ANSWER_SIZE, timeout);
    return kivo_curl_cmd("GET", source.url, nullptr, nullptr, nullptr, 0, answer,
                         KIVO_EXTERN_IP_ANSWER_SIZE, timeout);
}

// Asks the sources in table order, source i with 5 + 2 * i seconds, until take
// finds an address in one's answer; every request prints its status line.
// 1 when one did.
int ask_in_order(const kivo_extern_ip_source *sources, unsigned count, const char *nic,
                  char *extern_ip,
                  int (*take)(const kivo_extern_ip_source *, long, char *, size_t, char *))
{
    for (unsigned i = 0; i < count; ++i) {
        char answer[KIVO_EXTERN_IP_ANSWER_SIZE] = "";
        long status = ask(sources[i], nic, answer, 5 + 2 * i);
        size_t length = kivo_curl_body_length();
        kivo_extern_ip_print_status(status, answer, length);
        if (take(&sources[i], status, answer, length, extern_ip)) {
            kivo_metrics_echo(KIVO_METRICS_ECHO_ADDRESS);
            return 1;
        }
        kivo_metrics_echo(status == 0 ? KIVO_METRICS_ECHO_NO_ANSWER : KIVO_METRICS_ECHO_UNUSABLE);
    }
    return 0;
}

} // namespace

void kivo_extern_ip_print_status(long status, const char *answer, size_t length)
{
    std::printf("ret == %d, buffer: |", static_cast<int>(status));
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(answer[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7f)
            std::printf("\\x%02x", c);
        else
            std::putchar(c);
    }
    std::fputs("|\n", stdout);
}

int kivo_extern_ip_take_answer(const kivo_extern_ip_source *source, long status, char *answer,
                               size_t length, char *extern_ip)
{
    // A NUL inside what was kept: "1.2.3.4\0garbage" is not the address 1.2.3.4.
    if (status != 200 || std::memchr(answer, '\0', length) != nullptr)
        return 0;
    char address[KIVO_EXTERN_IP_SIZE];
    if (source->is_json) {
        if (!kivo_json_get_string(answer, "ip", address, sizeof address) || !is_address(address))
            return 0;
        kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, address);
        std::printf("%s, json, xml, extern_ip: %s$$\n", source->url, extern_ip);
        return 1;
    }
    // No NUL inside, so the kept bytes are the whole text.
    if (length > 0 && answer[length - 1] == '\n')
        answer[--length] = '\0';
    if (length >= sizeof address || !is_address(answer))
        return 0;
    kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, answer);
    std::printf("%s, raw, extern_ip: |%s|\n", source->url, extern_ip);
    return 1;
}

int kivo_extern_ip6_usable(const unsigned char address[16])
{
    return (address[0] & 0xe0) == 0x20;
}

int kivo_extern_ip6_take_answer(const kivo_extern_ip_source *source, long status, char *answer,
                                size_t length, char *extern_ip)
{
    if (status != 200 || std::memchr(answer, '\0', length) != nullptr)
        return 0;
    if (length > 0 && answer[length - 1] == '\n')
        answer[--length] = '\0';
    in6_addr parsed;
    char canonical[INET6_ADDRSTRLEN];
    if (length >= KIVO_EXTERN_IP_SIZE || inet_pton(AF_INET6, answer, &parsed) != 1 ||
        !kivo_extern_ip6_usable(parsed.s6_addr) ||
        inet_ntop(AF_INET6, &parsed, canonical, sizeof canonical) == nullptr)
        return 0;
    kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, canonical);
    std::printf("%s, raw, extern_ip: |%s|\n", source->url, extern_ip);
    return 1;
}

int kivo_extern_ip6_get(char *extern_ip, const char *nic)
{
    int found = 0;
    if (nic != nullptr && nic[0] != '\0') {
        char address[KIVO_EXTERN_IP_SIZE];
        found = kivo_extern_ip6_from_nic(nic, address, sizeof address);
        if (found) {
            kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, address);
            std::printf("%s, nic, extern_ip: |%s|\n", nic, extern_ip);
        } else {
            std::printf("%s, nic, no global IPv6 address\n", nic);
        }
    } else {
        found = ask_in_order(kivo_extern_ip6, KIVO_EXTERN_IP6_SOURCES, nullptr, extern_ip,
                             kivo_extern_ip6_take_answer);
    }
    if (extern_ip[0] == '\0')
        kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, "::");
    return found;
}

int kivo_extern_ip_get(char *extern_ip, const char *nic)
{
    int found = ask_in_order(kivo_extern_ip, KIVO_EXTERN_IP_SOURCES, nic, extern_ip,
                             kivo_extern_ip_take_answer);
    if (strnlen(extern_ip, KIVO_EXTERN_IP_SIZE) < kShortestAddress)
        kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, kNoAddress);
    return found;
}
