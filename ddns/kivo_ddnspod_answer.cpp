// Reading of DNSPod's answers: the status of any answer by plain substring
// searches, so it is read whatever DNSPod adds around it; the Record.List answer
// whole, as JSON, since the name's records of every type and line are in it and
// only one of them is the program's.
#include "kivo_ddnspod.h"

#include <arpa/inet.h>
#include <jansson.h>

#include <cerrno>
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

// A member that is a JSON string equal to want, compared whole (a "\u0000"
// inside the string is not its end).
bool string_is(json_t *object, const char *key, const char *want)
{
    json_t *value = json_object_get(object, key);
    return json_is_string(value) && json_string_length(value) == std::strlen(want) &&
           std::memcmp(json_string_value(value), want, json_string_length(value)) == 0;
}

// DNSPod writes codes and ids as quoted digits, sometimes as bare numbers.
// Only digits (and a minus sign for a code) count; *out gets the value.
bool number_of(json_t *value, int64_t *out)
{
    if (json_is_integer(value)) {
        *out = json_integer_value(value);
        return true;
    }
    if (!json_is_string(value))
        return false;
    const char *text = json_string_value(value);
    size_t n = json_string_length(value);
    size_t digits = std::strspn(text[0] == '-' ? text + 1 : text, "0123456789");
    if (digits == 0 || digits + (text[0] == '-') != n)
        return false;
    errno = 0;
    long long parsed = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE)
        return false;
    *out = parsed;
    return true;
}

// The value a record holds is the address: the same text, or, for an IPv6
// address, the same address in another spelling (upper case, zeros written out).
bool holds(json_t *value, const char *address)
{
    if (!json_is_string(value))
        return false;
    if (json_string_length(value) == std::strlen(address) &&
        std::memcmp(json_string_value(value), address, json_string_length(value)) == 0)
        return true;
    in6_addr held, wanted;
    return std::strcmp(kivo_ddnspod_record_info.type, "AAAA") == 0 &&
           inet_pton(AF_INET6, json_string_value(value), &held) == 1 &&
           inet_pton(AF_INET6, address, &wanted) == 1 &&
           std::memcmp(&held, &wanted, sizeof held) == 0;
}

// The first record of the program's type and line decides; every other record
// of the name (an AAAA beside the A, an MX, a record on another line) is not
// the program's and is never taken for it.
int32_t read_records(json_t *root, const char *extern_ip, int64_t *record_id)
{
    int64_t code = 0;
    if (!json_is_object(root) ||
        !number_of(json_object_get(json_object_get(root, "status"), "code"), &code))
        return KIVO_DDNSPOD_LIST_NONE;
    if (code == 10)
        return KIVO_DDNSPOD_LIST_MISSING; // "No records"
    if (code != 1)
        return KIVO_DDNSPOD_LIST_NONE; // a refused token or another error
    json_t *records = json_object_get(root, "records");
    size_t i;
    json_t *record;
    json_array_foreach(records, i, record)
    {
        if (!string_is(record, "type", kivo_ddnspod_record_info.type) ||
            !string_is(record, "line", kivo_ddnspod_record_info.line))
            continue;
        int64_t id = 0;
        json_t *value = json_object_get(record, "value");
        // The program's record, but not one that can be modified safely.
        if (!number_of(json_object_get(record, "id"), &id) || id <= 0 || !json_is_string(value))
            return KIVO_DDNSPOD_LIST_NONE;
        *record_id = id;
        return holds(value, extern_ip) ? KIVO_DDNSPOD_LIST_SAME : KIVO_DDNSPOD_LIST_DIFF;
    }
    return KIVO_DDNSPOD_LIST_MISSING;
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

int32_t kivo_ddnspod_read_list_answer(const char *answer, size_t length, const char *extern_ip,
                                      int64_t *record_id)
{
    if (answer == nullptr || length > KIVO_DDNSPOD_LIST_ANSWER_MAX)
        return KIVO_DDNSPOD_LIST_NONE;
    json_error_t error;
    json_t *root = json_loadb(answer, length, 0, &error);
    int32_t code = read_records(root, extern_ip, record_id);
    json_decref(root);
    return code;
}

// Only an address of the record's type is ever published: for A a dotted quad,
// and not the "0.0.0.0" of a discovery that found nothing; for AAAA a global
// unicast address (2000::/3, which holds no IPv4-mapped one).
int kivo_ddnspod_publishable(const char *address)
{
    if (std::strcmp(kivo_ddnspod_record_info.type, "AAAA") == 0) {
        in6_addr parsed6;
        return inet_pton(AF_INET6, address, &parsed6) == 1 && (parsed6.s6_addr[0] & 0xe0) == 0x20;
    }
    in_addr parsed;
    return inet_pton(AF_INET, address, &parsed) == 1 && parsed.s_addr != 0;
}
