// External address discovery through public address-echo services.
#pragma once

#include <cstddef>

// Asks the echo services in order and writes the first address found into
// extern_ip (a 32-byte field). An empty nic means no interface binding.
void kivo_extern_ip_get(char *extern_ip, const char *nic);

// One address-echo service: it answers with the bare address as text (is_json 0)
// or with a JSON object whose member "ip" holds it (is_json 1).
struct kivo_extern_ip_source {
    const char *url;
    int is_json;
};

enum {
    KIVO_EXTERN_IP_SOURCES = 5,
    KIVO_EXTERN_IP_ANSWER_SIZE = 512,
    KIVO_EXTERN_IP_SIZE = 32, // the address field, NUL included
};

// In the order they are asked; source i is given 5 + 2 * i seconds.
inline constexpr kivo_extern_ip_source kivo_extern_ip[KIVO_EXTERN_IP_SOURCES] = {
    {"http://members.3322.org/dyndns/getip", 0},
    {"http://icanhazip.com", 0},
    {"https://api.ipify.org/?format=json", 1},
    {"http://ipinfo.io/json", 1},
    {"http://ifconfig.co/json", 1},
};

// Takes the address out of one source's answer (status and text as the request
// helper gave them, length the bytes it kept; a plain answer loses its trailing
// line feed in place). Only status 200 with a dotted-quad IPv4 address that can
// be public counts, and no NUL among the kept bytes: then the address goes into
// extern_ip (KIVO_EXTERN_IP_SIZE bytes), the success line is printed, and the
// result is 1. Otherwise 0, and extern_ip is untouched.
int kivo_extern_ip_take_answer(const kivo_extern_ip_source *source, long status, char *answer,
                               size_t length, char *extern_ip);

// Prints the diagnostic line "ret == STATUS, buffer: |TEXT|" of one request,
// with the length bytes of the answer; control bytes other than the line feed,
// and 0x7f, are written as \xNN so no answer can steer the terminal or journal.
void kivo_extern_ip_print_status(long status, const char *answer, size_t length);
