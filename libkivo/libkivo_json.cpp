// JSON field getters and the address cache file, over jansson.
#include "libkivo_json.h"

#include <jansson.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "libkivo_text.h"

namespace {

constexpr int kDone = -1;
constexpr int kFailed = 0;

// The cache file never needs more: {"t":<20 characters>, "ip":"<31 characters>"} is 66.
constexpr size_t kCacheFileMax = 128;
constexpr int kAddressMax = 32;

struct json_release {
    void operator()(json_t *value) const { json_decref(value); }
};
using json_owner = std::unique_ptr<json_t, json_release>;

struct file_close {
    void operator()(FILE *f) const { std::fclose(f); }
};
using file_owner = std::unique_ptr<FILE, file_close>;

json_owner parse(const char *text)
{
    if (text == nullptr)
        return nullptr;
    json_error_t error;
    return json_owner(json_loads(text, 0, &error));
}

// The member key of the root object, or null when the text does not parse, the
// root is not an object or the member is missing. The member lives as long as root.
json_t *member(const json_owner &root, const char *key)
{
    if (!root || key == nullptr || !json_is_object(root.get()))
        return nullptr;
    return json_object_get(root.get(), key);
}

// The writer puts the address between quotes as it is. A quote, a backslash, a
// control or a non-ASCII byte would make a file that reads back as another text
// or not at all, while the write reported success; an address holds none.
bool plain_address(const char *ip)
{
    for (; *ip != '\0'; ++ip) {
        unsigned char c = static_cast<unsigned char>(*ip);
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\')
            return false;
    }
    return true;
}

int copy_string(const json_t *value, char *out, int size)
{
    if (!json_is_string(value) || out == nullptr || size <= 0)
        return kFailed;
    kivo_text_copy(out, static_cast<size_t>(size), json_string_value(value));
    return kDone;
}

// The one shape of every scalar getter: parse, find, check the type, store.
template <typename T, typename Accepts, typename Value>
int get_member(const char *text, const char *key, T *out, Accepts accepts, Value value)
{
    if (out == nullptr)
        return kFailed;
    json_owner root = parse(text);
    const json_t *m = member(root, key);
    if (m == nullptr || !accepts(m))
        return kFailed;
    *out = value(m);
    return kDone;
}

} // namespace

int kivo_json_get_string(const char *text, const char *key, char *out, int size)
{
    json_owner root = parse(text);
    return copy_string(member(root, key), out, size);
}

int kivo_json_get_double(const char *text, const char *key, double *out)
{
    return get_member(
        text, key, out, [](const json_t *m) { return json_is_real(m); },
        [](const json_t *m) { return json_real_value(m); });
}

int kivo_json_get_long(const char *text, const char *key, int64_t *out)
{
    return get_member(
        text, key, out, [](const json_t *m) { return json_is_integer(m); },
        [](const json_t *m) { return static_cast<int64_t>(json_integer_value(m)); });
}

int kivo_json_get_int(const char *text, const char *key, int32_t *out)
{
    // The low 32 bits, as the narrowing conversion has been defined since C++20.
    return get_member(
        text, key, out, [](const json_t *m) { return json_is_integer(m); },
        [](const json_t *m) { return static_cast<int32_t>(json_integer_value(m)); });
}

int kivo_json_get_bool(const char *text, const char *key, int *out)
{
    return get_member(
        text, key, out, [](const json_t *m) { return json_is_boolean(m); },
        [](const json_t *m) { return json_is_true(m) ? 1 : 0; });
}

int kivo_json_get_string_from_object(const char *text, const char *object_key, const char *key,
                                     char *out, int size)
{
    json_owner root = parse(text);
    json_t *object = member(root, object_key);
    if (!json_is_object(object) || key == nullptr)
        return kFailed;
    return copy_string(json_object_get(object, key), out, size);
}

int kivo_json_get_ip_from_file(const char *path, int64_t *t, char *ip)
{
    char buffer[kCacheFileMax] = {};
    size_t n = 0;
    if (path == nullptr)
        return kFailed;
    {
        file_owner f(std::fopen(path, "r"));
        if (!f)
            return kFailed;
        n = std::fread(buffer, 1, sizeof buffer - 1, f.get());
    }
    if (n == 0)
        return kFailed;
    if (!kivo_json_get_long(buffer, "t", t))
        return kFailed;
    return kivo_json_get_string(buffer, "ip", ip, kAddressMax);
}

int kivo_json_put_ip_to_file(const char *path, int64_t t, const char *ip)
{
    // The reader takes back at most 31 characters: a longer address would return cut.
    if (path == nullptr || ip == nullptr || std::strlen(ip) >= kAddressMax || !plain_address(ip))
        return kFailed;
    char text[kCacheFileMax];
    int length = std::snprintf(text, sizeof text, "{\"t\":%ld, \"ip\":\"%s\"}",
                               static_cast<long>(t), ip);
    // A cut text would be a file that no reader parses; refuse it before the old
    // file is emptied.
    if (length < 0 || static_cast<size_t>(length) >= sizeof text)
        return kFailed;
    file_owner f(std::fopen(path, "w"));
    if (!f)
        return kFailed;
    size_t written = std::fwrite(text, 1, static_cast<size_t>(length), f.get());
    // fclose flushes: a full disk shows only there.
    FILE *raw = f.release();
    if (std::fclose(raw) != 0)
        return kFailed;
    return written == static_cast<size_t>(length) ? kDone : kFailed;
}
