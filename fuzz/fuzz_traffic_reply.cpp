// libkivotraffic's check of the agent's reply over arbitrary replies: the
// bytes of one read, up to the report buffer's 255, without a terminator.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "kivo_traffic_wire.h"

namespace {

constexpr size_t kReplyMax = 255; // what report_attempt reads at most

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kReplyMax)
        size = kReplyMax;
    // Exactly the bytes read, no NUL after them: a look past the end is an
    // AddressSanitizer report.
    auto reply = std::make_unique<char[]>(size == 0 ? 1 : size);
    if (size > 0)
        std::memcpy(reply.get(), data, size);

    bool accepted = traffic_reply_accepted(reply.get(), size);
    // What the check saw in a part of the reply it also sees in the whole of it.
    for (size_t part = 0; part < size; part += 1 + part / 2) {
        if (traffic_reply_accepted(reply.get(), part))
            FUZZ_REQUIRE(accepted);
    }
    // An accepting reply holds the status text; one that is shorter cannot.
    if (size < sizeof "HTTP/1.1 200 ok" - 1)
        FUZZ_REQUIRE(!accepted);
    return 0;
}
