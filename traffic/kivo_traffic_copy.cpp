// The calls that move bytes between two descriptors inside the kernel: sendfile
// (and its 64-bit-offset name, which hosts built with _FILE_OFFSET_BITS=64 call)
// and splice.
#include "kivo_traffic_internal.h"

#include <fcntl.h>
#include <sys/sendfile.h>

// sendfile is counted whatever its output is: hosts use it to serve content.
// No descriptor test, so no system call is added.
template <typename Fn, typename... Args>
static ssize_t traffic_sendfile_call(Fn *slot, const char *name, Args... args)
{
    pid_t pid = traffic_self_pid_load();
    ssize_t result = traffic_call_next(slot, name, args...);
    traffic_count(&traffic_send_total, result);
    traffic_check_after(pid);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendfile(int out_fd, int in_fd, off_t *offset,
                                                size_t count) noexcept
{
    return traffic_sendfile_call(&traffic_real_sendfile, "sendfile", out_fd, in_fd, offset,
                                 count);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendfile64(int out_fd, int in_fd, off64_t *offset,
                                                  size_t count) noexcept
{
    return traffic_sendfile_call(&traffic_real_sendfile64, "sendfile64", out_fd, in_fd, offset,
                                 count);
}

// splice always has a pipe on one side; what it moves counts as sent when the
// other side is a socket it writes to, as received when it reads from one.
// The descriptor tests cost one fstat each, and only when bytes moved.
extern "C" KIVO_TRAFFIC_EXPORT ssize_t splice(int in_fd, off64_t *in_offset, int out_fd,
                                              off64_t *out_offset, size_t len,
                                              unsigned int flags)
{
    pid_t pid = traffic_self_pid_load();
    ssize_t result = traffic_call_next(&traffic_real_splice, "splice", in_fd, in_offset, out_fd,
                                       out_offset, len, flags);
    int saved = errno;
    if (result > 0) {
        if (traffic_is_socket(out_fd))
            traffic_count(&traffic_send_total, result);
        if (traffic_is_socket(in_fd))
            traffic_count(&traffic_receive_total, result);
    }
    traffic_check_report_thread(pid);
    errno = saved;
    return result;
}
