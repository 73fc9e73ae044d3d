// The interposed read, write, recv, recvfrom, send and sendto.
#include "kivo_traffic_internal.h"

#include <sys/stat.h>

// Descriptor kinds are not cached: libc closes and reuses descriptors without
// passing through any interposed name, so a cached kind could go stale.
bool traffic_is_socket(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == S_IFSOCK;
}

ssize_t traffic_read(int fd, void *buf, size_t count)
{
    return traffic_read_like(fd, buf, count, [&] {
        return traffic_call_next(&traffic_real_read, "read", fd, buf, count);
    });
}

ssize_t traffic_write(int fd, const void *buf, size_t count)
{
    pid_t pid = traffic_self_pid_load();
    ssize_t result;
    // A write of nothing sends an empty datagram either way; the plain call it is.
    if (count == 0)
        result = traffic_call_next(&traffic_real_write, "write", fd, buf, count);
    else
        result = traffic_socket_first(
            &traffic_send_total, fd,
            [&] { return traffic_call_next(&traffic_real_send, "send", fd, buf, count, 0); },
            [&] { return traffic_call_next(&traffic_real_write, "write", fd, buf, count); });
    traffic_check_after(pid);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    return traffic_read(fd, buf, count);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    return traffic_write(fd, buf, count);
}

// recv, recvfrom, send and sendto work on sockets only and never start a thread.
extern "C" KIVO_TRAFFIC_EXPORT ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    ssize_t result = traffic_call_next(&traffic_real_recv, "recv", fd, buf, len, flags);
    traffic_count(&traffic_receive_total, result);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t recvfrom(int fd, void *buf, size_t len, int flags,
                                                struct sockaddr *src, socklen_t *src_len)
{
    ssize_t result = traffic_call_next(&traffic_real_recvfrom, "recvfrom", fd, buf, len, flags,
                                       src, src_len);
    traffic_count(&traffic_receive_total, result);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    ssize_t result = traffic_call_next(&traffic_real_send, "send", fd, buf, len, flags);
    traffic_count(&traffic_send_total, result);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendto(int fd, const void *buf, size_t len, int flags,
                                              const struct sockaddr *dst, socklen_t dst_len)
{
    ssize_t result = traffic_call_next(&traffic_real_sendto, "sendto", fd, buf, len, flags, dst,
                                       dst_len);
    traffic_count(&traffic_send_total, result);
    return result;
}
