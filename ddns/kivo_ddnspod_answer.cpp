// Reading of DNSPod's Record.List answer by plain substring searches: no JSON
// parser, so an answer is read the same whatever DNSPod adds around the record.
#include "kivo_ddnspod.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kBlanks[] = " \t\r\n";

// The value of the first member key after from: its text between quotes, or a
// bare run of digits and minus signs (DNSPod writes codes either way). Returns
// where the value starts and its length in *length, or nullptr.
const char *member_value(const char *from, const char *key, size_t *length)
{
    const char *p = std::strstr(from, key);
    if (p == nullptr)
        return nullptr;
    p += std::strlen(key);
    p += std::strspn(p, kBlanks);
    if (*p++ != ':')
        return nullptr;
    p += std::strspn(p, kBlanks);
    if (*p == '"') {
        const char *close = std::strchr(++p, '"');
        if (close == nullptr)
            return nullptr;
        *length = static_cast<size_t>(close - p);
        return p;
    }
    size_t n = std::strspn(p, "-0123456789");
    if (n == 0 || p[n] == '\0')
        return nullptr; // a bare number that runs into the end may go on
    *length = n;
    return p;
}

// Copies a value into a field, cut to fit; bytes that could steer a terminal
// or split a log record become '?'.
void copy_value(char *field, size_t size, const char *value, size_t length)
{
    size_t n = length < size - 1 ? length : size - 1;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(value[i]);
        field[i] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    }
    field[n] = '\0';
}

// DNSPod says "done" with code 1 and "no records" with code 10; anything else,
// a refused login token (-1) for one, means the answer tells nothing about the
// record.
bool status_usable(const char *status)
{
    kivo_ddnspod_status read;
    if (!kivo_ddnspod_read_status(status, &read))
        return false;
    return std::strcmp(read.code, "1") == 0 || std::strcmp(read.code, "10") == 0;
}

} // namespace

int kivo_ddnspod_read_status(const char *answer, kivo_ddnspod_status *status)
{
    status->code[0] = '\0';
    status->message[0] = '\0';
    const char *from = std::strstr(answer, "status");
    if (from == nullptr)
        return 0;
    size_t length = 0;
    const char *code = member_value(from, "\"code\"", &length);
    if (code == nullptr || length == 0 || length >= sizeof status->code ||
        std::strspn(code, "-0123456789") < length)
        return 0;
    copy_value(status->code, sizeof status->code, code, length);
    const char *message = member_value(from, "\"message\"", &length);
    if (message != nullptr)
        copy_value(status->message, sizeof status->message, message, length);
    return 1;
}

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
