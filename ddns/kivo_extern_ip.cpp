// External address discovery: the five echo services, asked one after the other
// until one of them gives an address.
#include "kivo_extern_ip.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "libkivo_curl.h"
#include "libkivo_json.h"
#include "libkivo_text.h"

namespace {

constexpr char kNoAddress[] = "0.0.0.0";
// "1.2.3.4" is the shortest address; a field holding less holds none.
constexpr size_t kShortestAddress = 7;

// An echo service's answer counts only when it is an address a box can have:
// an error page served with status 200, a carriage return left on the line, an
// IPv6 address or "0.0.0.0" would otherwise go out to DNS.
bool is_address(const char *text)
{
    in_addr parsed;
    return inet_pton(AF_INET, text, &parsed) == 1 && parsed.s_addr != 0;
}

long ask(const kivo_extern_ip_source &source, const char *nic, char *answer, unsigned timeout)
{
    if (nic != nullptr && nic[0] != '\0')
        return kivo_curl_check_nic("GET", source.url, nic, nullptr, nullptr, 0, answer,
                                   KIVO_EXTERN_IP_ANSWER_SIZE, timeout);
    return kivo_curl_cmd("GET", source.url, nullptr, nullptr, nullptr, 0, answer,
                         KIVO_EXTERN_IP_ANSWER_SIZE, timeout);
}

} // namespace

int kivo_extern_ip_take_answer(const kivo_extern_ip_source *source, long status, char *answer,
                               char *extern_ip)
{
    if (status != 200)
        return 0;
    char address[KIVO_EXTERN_IP_SIZE];
    if (source->is_json) {
        if (!kivo_json_get_string(answer, "ip", address, sizeof address) || !is_address(address))
            return 0;
        kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, address);
        std::printf("%s, json, xml, extern_ip: %s$$\n", source->url, extern_ip);
        return 1;
    }
    size_t length = std::strlen(answer);
    if (length > 0 && answer[length - 1] == '\n')
        answer[--length] = '\0';
    if (length >= sizeof address || !is_address(answer))
        return 0;
    kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, answer);
    std::printf("%s, raw, extern_ip: |%s|\n", source->url, extern_ip);
    return 1;
}

void kivo_extern_ip_get(char *extern_ip, const char *nic)
{
    for (unsigned i = 0; i < KIVO_EXTERN_IP_SOURCES; ++i) {
        const kivo_extern_ip_source &source = kivo_extern_ip[i];
        char answer[KIVO_EXTERN_IP_ANSWER_SIZE] = "";
        long status = ask(source, nic, answer, 5 + 2 * i);
        std::printf("ret == %d, buffer: |%s|\n", static_cast<int>(status), answer);
        if (kivo_extern_ip_take_answer(&source, status, answer, extern_ip))
            break;
    }
    if (strnlen(extern_ip, KIVO_EXTERN_IP_SIZE) < kShortestAddress)
        kivo_text_copy(extern_ip, KIVO_EXTERN_IP_SIZE, kNoAddress);
}
