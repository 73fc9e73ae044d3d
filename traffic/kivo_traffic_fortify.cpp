// The fortified names that hosts built with _FORTIFY_SOURCE call instead of
// read, recv and recvfrom. Each checks the length against the buffer as the C
// library's own does (a length above the buffer ends the process through
// __chk_fail, as without the library), then counts as its plain name.
#include "kivo_traffic_internal.h"

// These are the C library's own reserved names: the library must define them
// to see the calls, and end as they do.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

extern "C" [[noreturn]] void __chk_fail(void);

extern "C" KIVO_TRAFFIC_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count,
                                                  size_t buf_size)
{
    if (count > buf_size)
        __chk_fail();
    return traffic_read_like(fd, buf, count, [&] {
        return traffic_call_next(&traffic_real_read_chk, "__read_chk", fd, buf, count, buf_size);
    });
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t __recv_chk(int fd, void *buf, size_t len, size_t buf_size,
                                                  int flags)
{
    if (len > buf_size)
        __chk_fail();
    ssize_t result =
        traffic_call_next(&traffic_real_recv_chk, "__recv_chk", fd, buf, len, buf_size, flags);
    traffic_count(&traffic_receive_total, result);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t __recvfrom_chk(int fd, void *buf, size_t len,
                                                      size_t buf_size, int flags,
                                                      struct sockaddr *src, socklen_t *src_len)
{
    if (len > buf_size)
        __chk_fail();
    ssize_t result = traffic_call_next(&traffic_real_recvfrom_chk, "__recvfrom_chk", fd, buf, len,
                                       buf_size, flags, src, src_len);
    traffic_count(&traffic_receive_total, result);
    return result;
}

// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
