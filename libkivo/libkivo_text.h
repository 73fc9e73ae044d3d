// Bounded copies into fixed-width, NUL-terminated text fields.
#pragma once

#include <cstddef>
#include <cstring>

// Copies src into dst (size bytes, NUL included), cutting it when it does not fit.
// Returns the length of src, as snprintf does, so a caller can tell a cut
// (result >= size) from a whole copy. A size of 0 writes nothing.
inline size_t kivo_text_copy(char *dst, size_t size, const char *src)
{
    size_t len = std::strlen(src);
    if (size == 0)
        return len;
    size_t n = len < size ? len : size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return len;
}

// The same for a field declared as an array: kivo_text_copy_field(rec.name, src).
template <size_t N>
inline size_t kivo_text_copy_field(char (&dst)[N], const char *src)
{
    return kivo_text_copy(dst, N, src);
}
