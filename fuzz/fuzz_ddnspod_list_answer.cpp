// The DNSPod Record.List answer reader over arbitrary answer texts. Input: the
// published address on the first line, the answer after it.
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "kivo_ddnspod.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_text address = fuzz_take_line(&data, &size, 31);
    // What the request helper leaves: at most the buffer less its NUL.
    fuzz_text answer = fuzz_text_from(data, size, KIVO_DDNSPOD_ANSWER_SIZE - 1);

    constexpr int64_t untouched = 0x5a5a5a5a5a5a5a5a;
    int64_t record_id = untouched;
    int32_t code = kivo_ddnspod_read_list_answer(answer.get(), address.get(), &record_id);

    FUZZ_REQUIRE(code >= KIVO_DDNSPOD_LIST_NONE && code <= KIVO_DDNSPOD_LIST_DIFF);
    // The id is written only when a record was found.
    if (code == KIVO_DDNSPOD_LIST_NONE || code == KIVO_DDNSPOD_LIST_MISSING)
        FUZZ_REQUIRE(record_id == untouched);
    // An answer cut by the buffer never decides that the record is missing.
    if (answer.length >= KIVO_DDNSPOD_ANSWER_SIZE - 1)
        FUZZ_REQUIRE(code != KIVO_DDNSPOD_LIST_MISSING);
    // "Same" needs the address in the answer.
    if (code == KIVO_DDNSPOD_LIST_SAME)
        FUZZ_REQUIRE(std::strstr(answer.get(), address.get()) != nullptr);
    return 0;
}
