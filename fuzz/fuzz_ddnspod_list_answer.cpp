// The DNSPod Record.List answer reader over arbitrary answer texts. Input: the
// published address on the first line, the answer after it.
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "kivo_ddnspod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_text address = fuzz_take_line(&data, &size, KIVO_DDNSPOD_ADDRESS_SIZE - 1);
    // What the list collector leaves: at most one byte beyond the longest answer.
    fuzz_text answer = fuzz_text_from(data, size, KIVO_DDNSPOD_LIST_ANSWER_MAX + 1);

    constexpr int64_t untouched = 0x5a5a5a5a5a5a5a5a;
    int64_t record_id = untouched;
    int32_t code = kivo_ddnspod_read_list_answer(answer.get(), answer.length, address.get(),
                                                 &record_id);

    FUZZ_REQUIRE(code >= KIVO_DDNSPOD_LIST_NONE && code <= KIVO_DDNSPOD_LIST_DIFF);
    // The id is written only when a record was found.
    if (code == KIVO_DDNSPOD_LIST_NONE || code == KIVO_DDNSPOD_LIST_MISSING)
        FUZZ_REQUIRE(record_id == untouched);
    // An answer longer than the collector keeps decides nothing.
    if (answer.length > KIVO_DDNSPOD_LIST_ANSWER_MAX)
        FUZZ_REQUIRE(code == KIVO_DDNSPOD_LIST_NONE);
    // A record found has an id that can be sent back.
    if (code == KIVO_DDNSPOD_LIST_SAME || code == KIVO_DDNSPOD_LIST_DIFF)
        FUZZ_REQUIRE(record_id > 0);
    return 0;
}
