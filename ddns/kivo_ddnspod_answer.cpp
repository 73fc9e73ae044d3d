// Reading of DNSPod's Record.List answer by plain substring searches: no JSON
// parser, so an answer is read the same whatever DNSPod adds around the record.
#include "kivo_ddnspod.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kBlanks[] = " \t\r\n";

// DNSPod says "done" with code 1 and "no records" with code 10, quoted ("1") or
// bare; anything else, a refused login token (-1) for one, means the answer
// tells nothing about the record. The code is that of the first "code" member
// after status.
bool status_usable(const char *status)
{
    const char *p = std::strstr(status, "\"code\"");
    if (p == nullptr)
        return false;
    p += std::strlen("\"code\"");
    p += std::strspn(p, kBlanks);
    if (*p++ != ':')
        return false;
    p += std::strspn(p, kBlanks);
    bool quoted = *p == '"';
    if (quoted)
        ++p;
    size_t n = std::strspn(p, "-0123456789");
    if (quoted ? p[n] != '"' : (p[n] == '\0' || n == 0))
        return false;
    return (n == 1 && p[0] == '1') || (n == 2 && p[0] == '1' && p[1] == '0');
}

} // namespace

int32_t kivo_ddnspod_read_list_answer(const char *answer, const char *extern_ip,
                                      int64_t *record_id)
{
    // An answer that filled the buffer was cut: what is missing from it may
    // only lie beyond the cut, so it decides neither a create nor a modify.
    const bool cut = std::strlen(answer) >= KIVO_DDNSPOD_ANSWER_SIZE - 1;
    const int32_t missing = cut ? KIVO_DDNSPOD_LIST_NONE : KIVO_DDNSPOD_LIST_MISSING;

    const char *status = std::strstr(answer, "status");
    if (status == nullptr || !status_usable(status))
        return KIVO_DDNSPOD_LIST_NONE;
    const char *records = std::strstr(status, "\"records\"");
    if (records == nullptr)
        return missing;
    const char *id = std::strstr(records, "\"id\"");
    if (id == nullptr)
        return missing;
    while (*id != '\0' && !std::isdigit(static_cast<unsigned char>(*id)))
        ++id;
    char *id_end = nullptr;
    int64_t id_value = std::strtol(id, &id_end, 10);
    if (cut && *id_end == '\0')
        return KIVO_DDNSPOD_LIST_NONE; // the digits may go on beyond the cut

    const char *value = std::strstr(records, "\"value\"");
    if (value == nullptr) {
        if (cut)
            return KIVO_DDNSPOD_LIST_NONE;
        *record_id = id_value;
        return KIVO_DDNSPOD_LIST_DIFF;
    }
    const char *colon = std::strchr(value, ':');
    const char *open = colon != nullptr ? std::strchr(colon, '"') : nullptr;
    const char *close = open != nullptr ? std::strchr(open + 1, '"') : nullptr;
    if (close == nullptr)
        return KIVO_DDNSPOD_LIST_NONE;
    *record_id = id_value;
    size_t length = static_cast<size_t>(close - (open + 1));
    bool same = length == std::strlen(extern_ip) && std::memcmp(open + 1, extern_ip, length) == 0;
    return same ? KIVO_DDNSPOD_LIST_SAME : KIVO_DDNSPOD_LIST_DIFF;
}
