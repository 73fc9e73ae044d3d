// The probe socket of one tracked link: echo requests out through the link's
// device, echo replies in from it.
#pragma once

#include <stdint.h>
#include <time.h>

// Opens the socket on the interface with this index; it sees only echo
// replies that carry ident. The descriptor, or -1.
int linkfan_probe_socket_open(int ifindex, uint16_t ident);

// Sends one echo request from addr to target (both network order). 0 or -1.
int linkfan_probe_send(int fd, uint32_t addr, uint32_t target, uint16_t ident, uint16_t sequence);

// Takes the next waiting reply: 1 with its sender (network order), its
// sequence number and the wall-clock time the kernel received it; 0 when
// nothing is waiting.
int linkfan_probe_receive(int fd, uint32_t *sender, uint16_t *sequence, struct timespec *arrival);
