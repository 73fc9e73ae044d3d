// The probe socket of one tracked link and family: echo requests out through
// the link's device, echo replies in from it.
#pragma once

#include <stdint.h>
#include <time.h>

// Opens the socket for family (LINKFAN_IPV4 or LINKFAN_IPV6) on the interface
// with this index; it sees only echo replies of that family that carry
// ident. The descriptor, or -1.
int linkfan_probe_socket_open(int family, int ifindex, uint16_t ident);

// Sends one echo request from addr to target (network order, 4 or 16 bytes as
// the family has). 0 or -1.
int linkfan_probe_send(int fd, int family, const uint8_t *addr, const uint8_t *target,
                       uint16_t ident, uint16_t sequence);

// Takes the next waiting reply: 1 with its sender (network order, 4 or 16
// bytes), its sequence number and the wall-clock time the kernel received
// it; 0 when nothing is waiting.
int linkfan_probe_receive(int fd, int family, uint8_t *sender, uint16_t *sequence,
                          struct timespec *arrival);
