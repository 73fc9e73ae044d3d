// The address-echo answer check over arbitrary answers. Input: the first byte
// picks the service (plain or JSON answer), the rest is the answer as kept
// (NUL bytes included).
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "kivo_extern_ip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const kivo_extern_ip_source &source = kivo_extern_ip[data[0] % KIVO_EXTERN_IP_SOURCES];
    // The kept bytes as the request helper leaves them, NULs inside included.
    size_t length = std::min<size_t>(size - 1, KIVO_EXTERN_IP_ANSWER_SIZE - 1);
    auto answer = std::make_unique<char[]>(length + 1);
    std::memcpy(answer.get(), data + 1, length);
    answer[length] = '\0';

    // The field exactly as large as the option record's, filled with a mark.
    auto field = std::make_unique<char[]>(KIVO_EXTERN_IP_SIZE);
    std::memset(field.get(), 'x', KIVO_EXTERN_IP_SIZE - 1);
    field[KIVO_EXTERN_IP_SIZE - 1] = '\0';

    int taken = kivo_extern_ip_take_answer(&source, 200, answer.get(), length, field.get());

    FUZZ_REQUIRE(taken == 0 || taken == 1);
    if (taken == 0) {
        for (int i = 0; i < KIVO_EXTERN_IP_SIZE - 1; i++)
            FUZZ_REQUIRE(field[i] == 'x');
        return 0;
    }
    // Whatever the answer, what goes on to DNS is a usable IPv4 address.
    FUZZ_REQUIRE(strnlen(field.get(), KIVO_EXTERN_IP_SIZE) < KIVO_EXTERN_IP_SIZE);
    in_addr parsed;
    FUZZ_REQUIRE(inet_pton(AF_INET, field.get(), &parsed) == 1);
    FUZZ_REQUIRE(std::memchr(data + 1, '\0', length) == nullptr);
    // Never this network, private 10/8, loopback, multicast or reserved.
    unsigned first = ntohl(parsed.s_addr) >> 24;
    FUZZ_REQUIRE(first != 0 && first != 10 && first != 127 && first < 224);
    return 0;
}
