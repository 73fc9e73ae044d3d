// Cuts a fuzzer's input into the NUL-terminated texts a reader is handed.
// Every text lives in a heap block of exactly its length plus the NUL, so a
// read one byte past the terminator is an AddressSanitizer report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

struct fuzz_text {
    std::unique_ptr<char[]> bytes;
    size_t length = 0;
    char *get() const { return bytes.get(); }
};

// A copy of data[0 .. n-1], cut at the first NUL as the request helper's
// buffer would be, and at most max_length bytes long.
inline fuzz_text fuzz_text_from(const uint8_t *data, size_t n, size_t max_length)
{
    const void *nul = std::memchr(data, '\0', n);
    if (nul != nullptr)
        n = static_cast<size_t>(static_cast<const uint8_t *>(nul) - data);
    if (n > max_length)
        n = max_length;
    fuzz_text t;
    t.bytes = std::make_unique<char[]>(n + 1);
    if (n > 0)
        std::memcpy(t.bytes.get(), data, n);
    t.bytes[n] = '\0';
    t.length = n;
    return t;
}

// Takes the bytes up to the next line feed (or to the end) off the front of
// the input and returns them as a text; the line feed is dropped.
inline fuzz_text fuzz_take_line(const uint8_t **data, size_t *n, size_t max_length)
{
    const void *lf = std::memchr(*data, '\n', *n);
    size_t line = *n;
    if (lf != nullptr)
        line = static_cast<size_t>(static_cast<const uint8_t *>(lf) - *data);
    fuzz_text t = fuzz_text_from(*data, line, max_length);
    size_t used = lf != nullptr ? line + 1 : line;
    *data += used;
    *n -= used;
    return t;
}

// Stops the run with a message when a reader broke one of its promises; the
// fuzzer records the input as a crash.
#define FUZZ_REQUIRE(cond)                                                                    \
    do {                                                                                      \
        if (!(cond)) {                                                                        \
            std::fprintf(stderr, "%s:%d: broken promise: %s\n", __FILE__, __LINE__, #cond);   \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)
