// The request of a routing netlink dump, on a socket of its own.
#include "kivo_nldump.h"

#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int kivo_nldump_request(int type, const void *query, size_t query_size)
{
    struct {
        nlmsghdr header;
        char query[64];
    } request = {};
    if (query_size > sizeof request.query) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return -1;
    // The answer holds only what the query asks for, not the whole table.
    int one = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_GET_STRICT_CHK, &one, sizeof one);
    timeval limit = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    memcpy(request.query, query, query_size);
    request.header.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(query_size));
    request.header.nlmsg_type = static_cast<unsigned short>(type);
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = 1;
    if (send(fd, &request, request.header.nlmsg_len, 0) !=
        static_cast<ssize_t>(request.header.nlmsg_len)) {
        int saved = errno ? errno : EIO;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
