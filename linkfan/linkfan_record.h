// kivo_linkfan: the link record, and the bounded text helpers every unit uses
// on its fixed-width fields.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// One uplink as the probe saw it. The layout is fixed (172 bytes, no padding
// between txqueuelen and pppd_time) because whole records are copied between
// the link tables and their size is part of what the tool promises.
struct [[gnu::packed]] pppoe_info {
    char pppoe_name[16];   // set only for a point-to-point interface
    char pppoe_ip[16];     // IPv4 address, dotted decimal
    char gateway[16];      // point-to-point peer, dotted decimal
    char vlan[16];         // set only for an interface that is not point-to-point
    char mac[32];          // "%02x:%02x:%02x:%02x:%02x:%02x"
    uint32_t txqueuelen;
    uint64_t pppd_time;    // carried from table to table, never probed
    char pppoe_ipv6[64];   // first routable (global) IPv6 address followed by "/64"
};
static_assert(sizeof(pppoe_info) == 172, "pppoe_info must stay 172 bytes");

constexpr int LINKFAN_MAX_LINKS = 128;
// Addresses -t may name.
constexpr int LINKFAN_MAX_TARGETS = 4;
// Room for a file name given on the command line, NUL included.
constexpr int LINKFAN_MAX_PATH = 4096;

// Copies src into dst (size bytes, NUL included), cutting it when it does not fit.
// Returns the length of src, as snprintf does, so a caller can tell a cut
// (result >= size) from a whole copy. A size of 0 writes nothing.
inline size_t linkfan_text_copy(char *dst, size_t size, const char *src)
{
    size_t len = strlen(src);
    if (size == 0)
        return len;
    size_t n = len < size ? len : size - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
    return len;
}

// The same for a field declared as an array: linkfan_text_copy(info.mac, src).
template <size_t N>
inline size_t linkfan_text_copy(char (&dst)[N], const char *src)
{
    return linkfan_text_copy(dst, N, src);
}

// Bounded append to a NUL-terminated fixed-width text.
template <size_t N>
inline void linkfan_text_append(char (&dst)[N], const char *src)
{
    size_t used = strnlen(dst, N);
    if (used >= N - 1)
        return;
    size_t n = strnlen(src, N - 1 - used);
    memcpy(dst + used, src, n);
    dst[used + n] = '\0';
}

// A record counts as a ppp link only by its name; a non point-to-point
// interface has an empty pppoe_name and never counts.
inline bool linkfan_is_link(const pppoe_info &info)
{
    return strstr(info.pppoe_name, "ppp") != nullptr;
}

// A link is a next hop of the IPv4 default routes when it has an IPv4 address
// and a gateway; an IPv6 address is not needed for that.
inline bool linkfan_is_next_hop(const pppoe_info &info)
{
    return linkfan_is_link(info) && strchr(info.pppoe_ip, '.') && strchr(info.gateway, '.');
}

// A link is routed by its IPv4 address when it has one.
inline bool linkfan_has_ipv4(const pppoe_info &info)
{
    return linkfan_is_link(info) && strchr(info.pppoe_ip, '.');
}

// A link is routed by its IPv6 address when it has a routable one (the probe
// takes no link-local, tentative, deprecated or failed one).
inline bool linkfan_has_ipv6(const pppoe_info &info)
{
    return linkfan_is_link(info) && strchr(info.pppoe_ipv6, ':');
}

// The two address families, as arrays of per-family state are indexed.
enum {
    LINKFAN_IPV4,
    LINKFAN_IPV6,
    LINKFAN_FAMILIES,
};

// The probe targets of -t, by family; an address in network order (an IPv4
// one in the first 4 bytes).
struct linkfan_targets {
    int count[LINKFAN_FAMILIES];
    uint8_t addr[LINKFAN_FAMILIES][LINKFAN_MAX_TARGETS][16];
};
