// The vectored and message calls: readv and writev count as read and write do,
// recvmsg, sendmsg, recvmmsg and sendmmsg as recv and send do.
#include "kivo_traffic_internal.h"

#include <sys/socket.h>

#include <climits>

// Whether readv or writev can take the socket route: the kernel refuses more
// than IOV_MAX entries with EINVAL there but with EMSGSIZE on the message
// route, and a vector of nothing must not take a queued empty datagram.
static bool traffic_vector_moves(const struct iovec *iov, int iovcnt)
{
    if (iovcnt < 1 || iovcnt > IOV_MAX)
        return false;
    for (int i = 0; i < iovcnt; i++)
        if (iov[i].iov_len > 0)
            return true;
    return false;
}

static struct msghdr traffic_vector_message(const struct iovec *iov, int iovcnt)
{
    struct msghdr msg = {};
    msg.msg_iov = const_cast<struct iovec *>(iov);
    msg.msg_iovlen = static_cast<size_t>(iovcnt);
    return msg;
}

// readv and writev: the report-thread check as for read and write, and the
// socket route through the message call with the same vector.
template <typename VectorFn, typename MessageFn>
static ssize_t traffic_vector_call(long long *counter, VectorFn *vector_slot,
                                   const char *vector_name, MessageFn *message_slot,
                                   const char *message_name, int fd, const struct iovec *iov,
                                   int iovcnt)
{
    pid_t pid = traffic_self_pid_load();
    ssize_t result;
    if (!traffic_vector_moves(iov, iovcnt)) {
        result = traffic_call_next(vector_slot, vector_name, fd, iov, iovcnt);
    } else {
        struct msghdr msg = traffic_vector_message(iov, iovcnt);
        result = traffic_socket_first(
            counter, fd, [&] { return traffic_call_next(message_slot, message_name, fd, &msg, 0); },
            [&] { return traffic_call_next(vector_slot, vector_name, fd, iov, iovcnt); });
    }
    traffic_check_after(pid);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t readv(int fd, const struct iovec *iov, int iovcnt)
{
    return traffic_vector_call(&traffic_receive_total, &traffic_real_readv, "readv",
                               &traffic_real_recvmsg, "recvmsg", fd, iov, iovcnt);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t writev(int fd, const struct iovec *iov, int iovcnt)
{
    return traffic_vector_call(&traffic_send_total, &traffic_real_writev, "writev",
                               &traffic_real_sendmsg, "sendmsg", fd, iov, iovcnt);
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t recvmsg(int fd, struct msghdr *msg, int flags)
{
    ssize_t result = traffic_call_next(&traffic_real_recvmsg, "recvmsg", fd, msg, flags);
    traffic_count(&traffic_receive_total, result);
    return result;
}

extern "C" KIVO_TRAFFIC_EXPORT ssize_t sendmsg(int fd, const struct msghdr *msg, int flags)
{
    ssize_t result = traffic_call_next(&traffic_real_sendmsg, "sendmsg", fd, msg, flags);
    traffic_count(&traffic_send_total, result);
    return result;
}

// The bytes of the first done messages of vec: the kernel wrote their msg_len.
static long long traffic_messages_bytes(const struct mmsghdr *vec, int done)
{
    long long bytes = 0;
    for (int i = 0; i < done; i++)
        bytes += vec[i].msg_len;
    return bytes;
}

extern "C" KIVO_TRAFFIC_EXPORT int recvmmsg(int fd, struct mmsghdr *vec, unsigned int vlen,
                                            int flags, struct timespec *timeout)
{
    int done = traffic_call_next(&traffic_real_recvmmsg, "recvmmsg", fd, vec, vlen, flags,
                                 timeout);
    traffic_count(&traffic_receive_total, traffic_messages_bytes(vec, done));
    return done;
}

extern "C" KIVO_TRAFFIC_EXPORT int sendmmsg(int fd, struct mmsghdr *vec, unsigned int vlen,
                                            int flags)
{
    int done = traffic_call_next(&traffic_real_sendmmsg, "sendmmsg", fd, vec, vlen, flags);
    traffic_count(&traffic_send_total, traffic_messages_bytes(vec, done));
    return done;
}
