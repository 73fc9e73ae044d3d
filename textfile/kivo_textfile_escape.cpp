// Label values of the Prometheus text format, which must be UTF-8: a reader
// refuses the whole file for one bad byte.
#include "kivo_textfile.h"

#include <cstring>

namespace {

constexpr char kReplacement[] = "\xef\xbf\xbd"; // U+FFFD

// The length of the UTF-8 character at text, 0 when none begins there: an
// overlong form, a surrogate, a code point above U+10FFFF, a cut or stray byte.
size_t utf8_length(const unsigned char *text)
{
    const unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xbf; // bounds of the second byte
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high)
        return 0;
    // A NUL ends the text before a cut character's next byte is read.
    for (size_t i = 2; i < length; i++)
        if (text[i] < 0x80 || text[i] > 0xbf)
            return 0;
    return length;
}

} // namespace

size_t kivo_textfile_escape(char *out, size_t size, const char *value)
{
    if (size == 0)
        return 0;
    size_t o = 0;
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(value); *at != '\0';) {
        const size_t length = utf8_length(at);
        const char *piece = reinterpret_cast<const char *>(at);
        size_t n = length;
        if (length == 0) {
            piece = kReplacement;
            n = sizeof kReplacement - 1;
        } else if (*at == '\\' || *at == '"') {
            piece = *at == '\\' ? "\\\\" : "\\\"";
            n = 2;
        } else if (*at == '\n') {
            piece = "\\n";
            n = 2;
        }
        if (o + n >= size)
            break;
        std::memcpy(out + o, piece, n);
        o += n;
        at += length != 0 ? length : 1;
    }
    out[o] = '\0';
    return o;
}

int kivo_textfile_is_utf8(const char *text)
{
    for (const unsigned char *at = reinterpret_cast<const unsigned char *>(text); *at != '\0';) {
        const size_t length = utf8_length(at);
        if (length == 0)
            return 0;
        at += length;
    }
    return 1;
}
