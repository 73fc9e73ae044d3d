// JSON field getters over jansson, and the address cache file: one JSON object
// {"t":<time stamp>, "ip":"<address>"} kept in a small file.
//
// Every function returns -1 on success and 0 on failure; on failure the outputs
// are left as they were (the cache reader may have stored the time stamp).
// Only members of the root object are looked at.
#pragma once

#include <cstdint>

// Copies the string member key of the JSON text into out (size bytes), cut to
// size - 1 characters and NUL-terminated.
int kivo_json_get_string(const char *text, const char *key, char *out, int size);

// A real member (written with a fraction or an exponent); an integer is refused.
int kivo_json_get_double(const char *text, const char *key, double *out);

// An integer member.
int kivo_json_get_long(const char *text, const char *key, int64_t *out);

// An integer member, of which the low 32 bits are stored.
int kivo_json_get_int(const char *text, const char *key, int32_t *out);

// A true or false member, stored as 1 or 0; null and every other type are refused,
// and so is a null out.
int kivo_json_get_bool(const char *text, const char *key, int *out);

// The string member key of the object member object_key of the root, copied into
// out (size bytes) and cut as kivo_json_get_string does.
int kivo_json_get_string_from_object(const char *text, const char *object_key, const char *key,
                                     char *out, int size);

// Reads the cache file at path: the time stamp into *t and the address into ip
// (at least 32 bytes). Only the first 127 bytes of the file are read.
int kivo_json_get_ip_from_file(const char *path, int64_t *t, char *ip);

// Writes the cache file at path, replacing it, with the time stamp t and the
// address ip (at most 31 printable ASCII characters, none of them a quote or a
// backslash: such a text is refused before the file is touched).
int kivo_json_put_ip_to_file(const char *path, int64_t t, const char *ip);
