// Blocking HTTP requests over libcurl, an interface-bound variant, and a
// streaming URL reader with download operations.
#pragma once

#include <cstddef>
#include <cstdio>

#include <sys/time.h>

// Request helpers: method "GET" or "POST"; headers is a NULL-terminated array of
// header lines or NULL; the body is post_size bytes, sent only for POST; the
// answer body is copied into resp, cut to resp_size - 1 bytes and NUL-terminated.
// No more than those bytes are ever held: once they are in, the transfer ends.
// A transfer that did not complete otherwise (a body shorter than announced, a
// cut chunked body, a time-out, a reset) leaves resp empty, whatever status came.
// Result: the HTTP status of the last response, 0 when none arrived, -1 for an
// unsupported method (resp untouched). timeout is in seconds, 0 for none. A
// resp_size below 1 (no room for the NUL) leaves resp untouched. Certificates
// are not verified (a build with KIVO_TLS_VERIFY, or KIVO_TLS_VERIFY=1 in the
// environment, verifies them and the host name against the system's store);
// redirects are not followed.
long kivo_curl_cmd(const char *method, const char *url, const char *nic,
                   const char *const *headers, const char *post_data, long post_size,
                   char *resp, int resp_size, unsigned int timeout);
long kivo_curl_cmd_debug(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout);
// GET only (-1 otherwise): follows redirects and throws the body away, reading
// at most max_speed bytes a second (capped at 200000; 0 or less: no cap).
long kivo_curl_cmd_limit_speed(const char *method, const char *url,
                               const char *const *headers, long max_speed, int timeout);

// The number of body bytes that the last of the three operations above and
// kivo_curl_check_nic left in resp (a NUL among them makes strlen less).
size_t kivo_curl_body_length(void);

// As kivo_curl_cmd, with the connection bound to the interface nic.
long kivo_curl_check_nic(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout);

// Writes length bytes as a titled dump: a line "title, N bytes (0xN)", then 16
// bytes a line in hex with their characters (bytes outside 0x20..0x7F as '.').
// The debug request traces every exchange through it.
void kivo_dump(const char *title, FILE *stream, const unsigned char *bytes, size_t length);

// Streaming reader with a stdio-like interface, under the downloads and open
// to callers that want to stream a resource themselves. url_fopen first tries url as a
// local path (fopen with mode); otherwise it starts a transfer of the resource
// with method "GET" or "POST" (any other method ends the process with status
// 255) on one multi handle that all open readers share. A transfer moves only
// while its owner reads. Without header lines the user agent is "libkivo".
// Result: the reader, or NULL when the transfer ended at once without data.
struct url_file;
url_file *url_fopen(const char *url, const char *mode, const char *method,
                    const char *const *headers, const char *post_data, long post_size,
                    long connect_timeout, long timeout);
// Reads whole items; 0 at the end of the data or after a failure. The bytes of
// a trailing partial item are consumed and not counted.
size_t url_fread(void *ptr, size_t size, size_t nmemb, url_file *file);
// fclose's result for a file, 0 for a transfer, -1 for no reader.
int url_fclose(url_file *file);
// How long the reader waits for its descriptors when libcurl asks to be called
// again within timeout_ms (-1: libcurl named no time): 60 s without a time,
// the time itself below 2 s, 1 s from 2 s up.
void url_wait_limit(long timeout_ms, struct timeval *limit);

// Copies the first buf_size bytes of the resource into buf, zero-filled after a
// shorter body (no terminator after a longer one). buf stays untouched when the
// reader cannot be opened.
void kivo_download_buffer(const char *method, const char *url, const char *const *headers,
                          const char *post_data, long post_size, int connect_timeout,
                          int timeout, char *buf, size_t buf_size);
// Stores the resource in filepath (created or truncated) and prints
// "url(URL), filepath(PATH), filesize(N)". Result: the bytes written, -1 when
// the reader cannot be opened, -2 when the file cannot, -3 when the file could
// not be written in full.
long kivo_download_file(const char *method, const char *url, const char *const *headers,
                        const char *post_data, long post_size, long connect_timeout,
                        long timeout, const char *filepath);
