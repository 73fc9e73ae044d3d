// Blocking HTTP requests over libcurl, an interface-bound variant, and a
// streaming URL reader with download operations.
#pragma once

#include <cstddef>
#include <cstdio>

// Request helpers: method "GET" or "POST"; headers is a NULL-terminated array of
// header lines or NULL; the body is post_size bytes, sent only for POST; the
// answer body is copied into resp, cut to resp_size - 1 bytes and NUL-terminated.
// Result: the HTTP status of the last response, 0 when none arrived, -1 for an
// unsupported method (resp untouched). timeout is in seconds, 0 for none.
long kivo_curl_cmd(const char *method, const char *url, const char *nic,
                   const char *const *headers, const char *post_data, long post_size,
                   char *resp, int resp_size, unsigned int timeout);
long kivo_curl_cmd_debug(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout);
long kivo_curl_cmd_limit_speed(const char *method, const char *url,
                               const char *const *headers, long max_speed, int timeout);

// As kivo_curl_cmd, with the connection bound to the interface nic.
long kivo_curl_check_nic(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout);

// Writes length bytes as a titled dump: a line "title, N bytes (0xN)", then 16
// bytes a line in hex with their characters (bytes outside 0x20..0x7F as '.').
// The debug request traces every exchange through it.
void kivo_dump(const char *title, FILE *stream, const unsigned char *bytes, size_t length);
