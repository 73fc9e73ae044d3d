// The JSON member getters over arbitrary texts. Input: the first byte sizes the
// string output, then a key line, an object-key line, and the JSON text.
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "libkivo_json.h"

namespace {

// A string output of exactly size bytes: a write past it is an ASan report,
// and a successful get leaves a terminator inside it.
void check_string_get(const fuzz_text &text, const fuzz_text &object_key, const fuzz_text &key,
                      int size)
{
    auto out = std::make_unique<char[]>(static_cast<size_t>(size));
    std::memset(out.get(), 'x', static_cast<size_t>(size));
    int done = kivo_json_get_string(text.get(), key.get(), out.get(), size);
    FUZZ_REQUIRE(done == -1 || done == 0);
    if (done == -1)
        FUZZ_REQUIRE(std::memchr(out.get(), '\0', static_cast<size_t>(size)) != nullptr);
    else
        FUZZ_REQUIRE(out[0] == 'x');

    std::memset(out.get(), 'x', static_cast<size_t>(size));
    done = kivo_json_get_string_from_object(text.get(), object_key.get(), key.get(), out.get(),
                                            size);
    FUZZ_REQUIRE(done == -1 || done == 0);
    if (done == -1)
        FUZZ_REQUIRE(std::memchr(out.get(), '\0', static_cast<size_t>(size)) != nullptr);
    else
        FUZZ_REQUIRE(out[0] == 'x');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int out_size = 1 + data[0] % 48;
    ++data;
    --size;
    fuzz_text key = fuzz_take_line(&data, &size, 64);
    fuzz_text object_key = fuzz_take_line(&data, &size, 64);
    fuzz_text text = fuzz_text_from(data, size, 4096);

    check_string_get(text, object_key, key, out_size);

    // A failed get leaves its output as it was.
    double d = 0.5;
    int rd = kivo_json_get_double(text.get(), key.get(), &d);
    FUZZ_REQUIRE(rd == -1 || (rd == 0 && d == 0.5));
    int64_t l = 77;
    int rl = kivo_json_get_long(text.get(), key.get(), &l);
    FUZZ_REQUIRE(rl == -1 || (rl == 0 && l == 77));
    int32_t i = 77;
    int ri = kivo_json_get_int(text.get(), key.get(), &i);
    FUZZ_REQUIRE(ri == -1 || (ri == 0 && i == 77));
    // The low 32 bits of the same member.
    if (ri == -1 && rl == -1)
        FUZZ_REQUIRE(static_cast<uint32_t>(i) == static_cast<uint32_t>(static_cast<uint64_t>(l)));
    int b = 7;
    int rb = kivo_json_get_bool(text.get(), key.get(), &b);
    FUZZ_REQUIRE((rb == -1 && (b == 0 || b == 1)) || (rb == 0 && b == 7));
    // A member is of one type only.
    FUZZ_REQUIRE(!(rb == -1 && (rl == -1 || rd == -1)));
    FUZZ_REQUIRE(!(rl == -1 && rd == -1));
    return 0;
}
