// Percent-encoding of the form values that the operator supplies (login token,
// zone, record name) for DNSPod's form-encoded requests.
#include "kivo_ddnspod.h"

#include <cstdio>
#include <cstring>

#include "libkivo_text.h"

namespace {

// A form decoder reads '&' and '=' as separators, '+' as a blank and '%' as the
// start of an escape; blanks, control bytes and bytes beyond ASCII have no raw
// form at all. Everything else, the '@' and '*' of apex and wildcard records
// among it, goes as it is, so the bodies of ordinary values do not change.
bool needs_escape(unsigned char c)
{
    return c <= 0x20 || c > 0x7e || c == '&' || c == '=' || c == '+' || c == '%';
}

} // namespace

size_t kivo_ddnspod_form_value(char *dst, size_t size, const char *src)
{
    size_t length = 0, kept = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p; ++p) {
        char piece[4] = {static_cast<char>(*p), '\0'};
        if (needs_escape(*p))
            std::snprintf(piece, sizeof piece, "%%%02X", *p);
        size_t n = needs_escape(*p) ? 3 : 1;
        // Whole pieces only: a cut escape would decode to another byte.
        if (kept == length && size > 0 && length + n < size) {
            for (size_t i = 0; i < n; ++i)
                dst[kept++] = piece[i];
        }
        length += n;
    }
    if (size > 0)
        dst[kept] = '\0';
    return length;
}

int kivo_ddnspod_form_encode(kivo_ddnspod_form_values *values, const char *token,
                             const char *sub_domain, const char *main_domain)
{
    const char *line = kivo_ddnspod_record_info.line;
    if (std::strcmp(line, KIVO_DDNSPOD_DEFAULT_LINE) == 0)
        kivo_text_copy_field(values->line, line);
    else if (kivo_ddnspod_form_value(values->line, sizeof values->line, line) >=
             sizeof values->line)
        return 0;
    return kivo_ddnspod_form_value(values->token, sizeof values->token, token) <
               sizeof values->token &&
           kivo_ddnspod_form_value(values->sub_domain, sizeof values->sub_domain, sub_domain) <
               sizeof values->sub_domain &&
           kivo_ddnspod_form_value(values->main_domain, sizeof values->main_domain,
                                   main_domain) < sizeof values->main_domain;
}
