// The request of a routing netlink dump, on a socket of its own.
#pragma once

#include <stddef.h>

extern "C" {

// Opens a routing netlink socket and sends it the dump request of type (such
// as RTM_GETADDR) with query (its ifaddrmsg, rtmsg, ...) of query_size bytes,
// at most 64. Returns the socket, whose receives give up after a second
// (the kernel answers a dump at once), for the caller to read and close; -1
// with errno set when the socket or the request failed.
int kivo_nldump_request(int type, const void *query, size_t query_size);
}
