// External address discovery through public address-echo services.
#pragma once

#include <cstddef>

// Asks the echo services in order and writes the first address found into
// extern_ip (a KIVO_EXTERN_IP_SIZE field). An empty nic means no interface binding.
// 1 when a service gave an address; 0 when none did (the field then keeps
// what it held, or becomes "0.0.0.0" when it held none).
int kivo_extern_ip_get(char *extern_ip, const char *nic);

// The same for an IPv6 address: with a nic, read from the interface itself
// (kivo_extern_ip6_from_nic), no echo service asked; without one, the IPv6
// echo services in order. The address is written in canonical form (inet_ntop).
// When nothing is found the field keeps what it held, or becomes "::" when it
// held nothing. 1 when an address was found, else 0.
int kivo_extern_ip6_get(char *extern_ip, const char *nic);

// The first address of interface nic that a box can publish: global scope, not
// deprecated (preferred lifetime 0), tentative, failed in duplicate address
// detection or temporary, and one that kivo_extern_ip6_usable takes. Read from
// a netlink address dump; 1 with the canonical text in out (size bytes), else 0.
int kivo_extern_ip6_from_nic(const char *nic, char *out, size_t size);

// An IPv6 address counts only in 2000::/3 (which holds no IPv4-mapped address);
// the documentation block 2001:db8::/32 lies there and is taken, as the IPv4
// documentation blocks are.
int kivo_extern_ip6_usable(const unsigned char address[16]);

// One address-echo service: it answers with the bare address as text (is_json 0)
// or with a JSON object whose member "ip" holds it (is_json 1).
struct kivo_extern_ip_source {
    const char *url;
    int is_json;
};

enum {
    KIVO_EXTERN_IP_SOURCES = 5,
    KIVO_EXTERN_IP6_SOURCES = 2,
    KIVO_EXTERN_IP_ANSWER_SIZE = 512,
    KIVO_EXTERN_IP_SIZE = 46, // the address field, NUL included: room for IPv6 text
};

// In the order they are asked; source i is given 5 + 2 * i seconds.
inline constexpr kivo_extern_ip_source kivo_extern_ip[KIVO_EXTERN_IP_SOURCES] = {
    {"http://members.3322.org/dyndns/getip", 0},
    {"http://icanhazip.com", 0},
    {"https://api.ipify.org/?format=json", 1},
    {"http://ipinfo.io/json", 1},
    {"http://ifconfig.co/json", 1},
};

// The IPv6 echo services, plain text, asked in order; source i is given
// 5 + 2 * i seconds.
inline constexpr kivo_extern_ip_source kivo_extern_ip6[KIVO_EXTERN_IP6_SOURCES] = {
    {"https://api6.ipify.org", 0},
    {"http://ipv6.icanhazip.com", 0},
};

// Takes the IPv6 address out of one IPv6 source's answer, as
// kivo_extern_ip_take_answer does for IPv4: status 200, no NUL, one trailing
// line feed dropped, an address that kivo_extern_ip6_usable takes; then its
// canonical text goes into extern_ip, the success line is printed, result 1.
int kivo_extern_ip6_take_answer(const kivo_extern_ip_source *source, long status, char *answer,
                                size_t length, char *extern_ip);

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
