// The agent's end of a report: reaching it, and whether it took the report.
#include "kivo_traffic_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <cstring>

namespace {

constexpr char reply_accepted_text[] = "HTTP/1.1 200 ok";

} // namespace

bool traffic_reply_accepted(const char *reply, size_t length)
{
    // memmem, not strstr: the reply is the bytes that one read returned, not a
    // NUL-terminated text, and it may carry NUL bytes before the status text.
    return memmem(reply, length, reply_accepted_text, sizeof reply_accepted_text - 1) != nullptr;
}

int traffic_agent_connect(int fd, int port, int limit_ms)
{
    if (limit_ms >= 0) {
        // Bounds a connect that the agent's full backlog would hold up.
        struct timeval limit = {limit_ms / 1000, (limit_ms % 1000) * 1000 + 1};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    }
    struct sockaddr_in agent = {};
    agent.sin_family = AF_INET;
    agent.sin_port = htons(static_cast<uint16_t>(port));
    agent.sin_addr.s_addr = inet_addr("127.0.0.1");
    return connect(fd, reinterpret_cast<struct sockaddr *>(&agent), sizeof agent);
}
