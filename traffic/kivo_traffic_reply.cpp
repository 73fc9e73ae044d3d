// The agent's answer to a report: whether it took the report.
#include "kivo_traffic_wire.h"

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
