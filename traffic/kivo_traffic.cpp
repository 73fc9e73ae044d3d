// The interposed input and output calls and the two byte counters.
#include "kivo_traffic_internal.h"

#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

extern "C" {
char cp[32] = "unknown";
long long total_send_bytes = 0;
long long total_receive_bytes = 0;
pid_t global_pid = 0;
pthread_mutex_t global_mutex = PTHREAD_MUTEX_INITIALIZER;

kivo_read_fn real_read = nullptr;
kivo_write_fn real_write = nullptr;
kivo_recv_fn real_recv = nullptr;
kivo_recvfrom_fn real_recvfrom = nullptr;
kivo_send_fn real_send = nullptr;
kivo_sendto_fn real_sendto = nullptr;
kivo_sendfile_fn read_sendfile = nullptr;
kivo_fork_fn real_fork = nullptr;
}

pid_t traffic_self_pid = 0;

// Descriptor kinds are not cached: libc closes and reuses descriptors without
// passing through any interposed name, so a cached kind could go stale.
static bool traffic_is_socket(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && (st.st_mode & S_IFMT) == S_IFSOCK;
}

// sendfile passes this instead of a descriptor to test: its output always counts.
constexpr int traffic_any_output = -1;

// read, write and sendfile: the process id is taken before anything else, the
// report-thread check runs whatever the result, and the bytes count when they
// moved and (but for sendfile) the descriptor is a socket. The only system call
// added is the one fstat of a read or write that moved bytes.
template <typename Fn, typename... Args>
static ssize_t traffic_checked_call(Fn *slot, const char *name, long long *counter,
                                    int socket_fd, Args... args)
{
    pid_t pid = traffic_self_pid_load();
    Fn next = traffic_next(slot, name);
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    ssize_t result = next(args...);
    // The host reads errno after a failed call; nothing below may change it.
    int saved = errno;
    traffic_check_report_thread(pid);
    if (result > 0 && (socket_fd == traffic_any_output || traffic_is_socket(socket_fd)))
        traffic_counter_add(counter, result);
    errno = saved;
    return result;
}

// recv, recvfrom, send and sendto work on sockets only and never start a thread.
template <typename Fn, typename... Args>
static ssize_t traffic_socket_call(Fn *slot, const char *name, long long *counter, Args... args)
{
    Fn next = traffic_next(slot, name);
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    ssize_t result = next(args...);
    if (result > 0)
        traffic_counter_add(counter, result);
    return result;
}

ssize_t traffic_read(int fd, void *buf, size_t count)
{
    return traffic_checked_call(&real_read, "read", &total_receive_bytes, fd, fd, buf, count);
}

ssize_t traffic_write(int fd, const void *buf, size_t count)
{
    return traffic_checked_call(&real_write, "write", &total_send_bytes, fd, fd, buf, count);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    return traffic_read(fd, buf, count);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    return traffic_write(fd, buf, count);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t recv(int fd, void *buf, size_t len, int flags)
{
    return traffic_socket_call(&real_recv, "recv", &total_receive_bytes, fd, buf, len, flags);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t recvfrom(int fd, void *buf, size_t len, int flags,
                                                struct sockaddr *src, socklen_t *src_len)
{
    return traffic_socket_call(&real_recvfrom, "recvfrom", &total_receive_bytes, fd, buf, len,
                               flags, src, src_len);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t send(int fd, const void *buf, size_t len, int flags)
{
    return traffic_socket_call(&real_send, "send", &total_send_bytes, fd, buf, len, flags);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendto(int fd, const void *buf, size_t len, int flags,
                                              const struct sockaddr *dst, socklen_t dst_len)
{
    return traffic_socket_call(&real_sendto, "sendto", &total_send_bytes, fd, buf, len, flags,
                               dst, dst_len);
}

// sendfile is counted whatever its output is: hosts use it to serve content.
extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendfile(int out_fd, int in_fd, off_t *offset,
                                                size_t count) noexcept
{
    return traffic_checked_call(&read_sendfile, "sendfile", &total_send_bytes,
                                traffic_any_output, out_fd, in_fd, offset, count);
}
