// Blocking one-shot HTTP(S) requests over libcurl's easy interface: every call
// makes its own handle, runs one transfer, copies the body into the caller's
// buffer and releases everything before it returns.
#include "libkivo_curl.h"

#include <curl/curl.h>

#include "libkivo_curl_owner.h"
#include "libkivo_curl_tls.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// libcurl's global state is set up once per process and never torn down.
static int kivo_curl_global_init = 0;

// The body as it arrives, up to limit bytes: what the caller's buffer can hold
// is all a reader will ever look at, so nothing beyond it is kept. full is set
// once limit bytes are held. The block is always size + 1 bytes long.
struct kivo_curl_response {
    char *data;
    size_t size;
    size_t limit;
    bool full;
};

// Which of the request operations runs the common core.
enum kivo_curl_variant { KIVO_CURL_PLAIN, KIVO_CURL_DEBUG, KIVO_CURL_NIC };

static void kivo_curl_init_once(void)
{
    if (kivo_curl_global_init == 0) {
        curl_global_init(CURL_GLOBAL_ALL);
        kivo_curl_global_init = 1;
    }
}

static bool kivo_curl_method_is(const char *method, const char *name)
{
    return method != nullptr && std::strcmp(method, name) == 0;
}

// Grows the block by the part of the chunk that still fits under the limit, so
// memory follows the body only up to what the caller keeps, whatever the peer
// sends. Once the limit is reached the short count ends the transfer (libcurl
// reports a write error, which the request core knows for this deliberate end).
// When the block cannot grow, what was collected is dropped and the transfer
// aborts.
static size_t kivo_curl_writecb(const char *chunk, size_t item_size, size_t item_count,
                                kivo_curl_response *userdata)
{
    size_t n = item_size * item_count;
    size_t room = userdata->limit - userdata->size;
    size_t take = n < room ? n : room;
    if (take > 0) {
        char *grown =
            static_cast<char *>(std::realloc(userdata->data, userdata->size + take + 1));
        if (grown == nullptr) {
            std::free(userdata->data);
            userdata->data = nullptr;
            userdata->size = 0;
            return 0;
        }
        userdata->data = grown;
        std::memcpy(userdata->data + userdata->size, chunk, take);
        userdata->size += take;
    }
    if (userdata->size == userdata->limit)
        userdata->full = true;
    return take;
}

static size_t kivo_curl_writecb_no(const char *, size_t item_size, size_t item_count, void *)
{
    return item_size * item_count;
}

void kivo_dump(const char *title, FILE *stream, const unsigned char *bytes, size_t length)
{
    std::fprintf(stream, "%s, %10.10ld bytes (0x%8.8lx)\n", title, static_cast<long>(length),
                 static_cast<unsigned long>(length));
    for (size_t i = 0; i < length; i += 16) {
        std::fprintf(stream, "%4.4lx: ", static_cast<unsigned long>(i));
        for (size_t c = 0; c < 16; c++) {
            if (i + c < length)
                std::fprintf(stream, "%02x ", bytes[i + c]);
            else
                std::fputs("   ", stream);
        }
        for (size_t c = 0; c < 16 && i + c < length; c++) {
            unsigned char b = bytes[i + c];
            std::fputc(b >= 0x20 && b <= 0x7F ? b : '.', stream);
        }
        std::fputc('\n', stream);
    }
}

// Titles of the dumped trace records, indexed by curl_infotype; the text record
// (index 0) is printed as it is.
static constexpr const char *kivo_curl_trace_titles[] = {
    nullptr,          "<= Recv header",   "=> Send header",    "<= Recv data",
    "=> Send data",   "<= Recv SSL data", "=> Send SSL data",
};

static int kivo_curl_trace(CURL *, curl_infotype type, char *bytes, size_t length, void *)
{
    if (type == CURLINFO_TEXT) {
        // libcurl ends its text with a NUL, but the length is the promise.
        std::fprintf(stderr, "== Info: %.*s", static_cast<int>(length), bytes);
        return 0;
    }
    size_t index = static_cast<size_t>(type);
    if (index < sizeof kivo_curl_trace_titles / sizeof kivo_curl_trace_titles[0])
        kivo_dump(kivo_curl_trace_titles[index], stderr,
                  reinterpret_cast<const unsigned char *>(bytes), length);
    return 0;
}

// Body bytes the last request operation left in its caller's buffer: with a NUL
// among them, strlen of the buffer is less.
static size_t kivo_curl_kept = 0;

size_t kivo_curl_body_length(void)
{
    return kivo_curl_kept;
}

// What a reader of resp_size bytes looks at: resp_size - 1 bytes and the NUL.
static size_t kivo_curl_limit(const char *resp, int resp_size)
{
    return resp == nullptr || resp_size < 1 ? 0 : static_cast<size_t>(resp_size) - 1;
}

// The caller's buffer gets at most resp_size - 1 body bytes and a NUL. A buffer
// size below 1 cannot hold even the NUL, so nothing is written then.
static void kivo_curl_copy_body(const kivo_curl_response *body, char *resp, int resp_size)
{
    kivo_curl_kept = 0;
    if (resp == nullptr || resp_size < 1)
        return;
    size_t room = static_cast<size_t>(resp_size) - 1;
    size_t n = body->size < room ? body->size : room;
    if (n > 0)
        std::memcpy(resp, body->data, n);
    resp[n] = '\0';
    kivo_curl_kept = n;
}

// A body counts only when the transfer completed, or when it was ended on
// purpose with all that the reader looks at in hand. A body cut short (fewer
// bytes than announced, a broken chunked body, a time-out, a reset) would be
// read as a whole answer: a cut address is another address.
static bool kivo_curl_body_usable(CURLcode done, const kivo_curl_response *body)
{
    return done == CURLE_OK || body->full;
}

static long kivo_curl_request(kivo_curl_variant variant, const char *method, const char *url,
                              const char *nic, const char *const *headers,
                              const char *post_data, long post_size, char *resp, int resp_size,
                              unsigned int timeout)
{
    kivo_curl_init_once();
    kivo_curl_kept = 0;
    kivo_curl_easy_owner owner(curl_easy_init());
    CURL *curl = owner.get();
    if (curl == nullptr)
        return 0;
    if (variant == KIVO_CURL_DEBUG) {
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, kivo_curl_trace);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    }
    kivo_curl_slist_owner list = kivo_curl_header_list(headers);
    if (headers != nullptr)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());

    if (kivo_curl_method_is(method, "POST")) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, post_size);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_data);
    } else if (!kivo_curl_method_is(method, "GET")) {
        return -1;
    }
    kivo_curl_response body = {static_cast<char *>(std::malloc(1)), 0,
                               kivo_curl_limit(resp, resp_size), false};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, kivo_curl_writecb);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (variant == KIVO_CURL_NIC)
        curl_easy_setopt(curl, CURLOPT_INTERFACE, nic);

    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "libcurl");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, kivo_curl_verify_peer());
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, kivo_curl_verify_host());

    // A failed transfer still reports the status that arrived (or 0), but its
    // body is no answer: the caller gets an empty text.
    CURLcode done = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);

    if (!kivo_curl_body_usable(done, &body))
        body.size = 0;
    kivo_curl_copy_body(&body, resp, resp_size);
    std::free(body.data);
    return status;
}

long kivo_curl_cmd(const char *method, const char *url, const char *nic,
                   const char *const *headers, const char *post_data, long post_size,
                   char *resp, int resp_size, unsigned int timeout)
{
    return kivo_curl_request(KIVO_CURL_PLAIN, method, url, nic, headers, post_data, post_size,
                             resp, resp_size, timeout);
}

long kivo_curl_cmd_debug(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout)
{
    return kivo_curl_request(KIVO_CURL_DEBUG, method, url, nic, headers, post_data, post_size,
                             resp, resp_size, timeout);
}

long kivo_curl_check_nic(const char *method, const char *url, const char *nic,
                         const char *const *headers, const char *post_data, long post_size,
                         char *resp, int resp_size, unsigned int timeout)
{
    return kivo_curl_request(KIVO_CURL_NIC, method, url, nic, headers, post_data, post_size,
                             resp, resp_size, timeout);
}

// The fastest rate the speed-limited fetch allows, in bytes per second.
static constexpr long kivo_curl_speed_cap = 200000;

long kivo_curl_cmd_limit_speed(const char *method, const char *url,
                               const char *const *headers, long max_speed, int timeout)
{
    kivo_curl_init_once();
    kivo_curl_easy_owner owner(curl_easy_init());
    CURL *curl = owner.get();
    if (curl == nullptr)
        return 0;
    kivo_curl_slist_owner list = kivo_curl_header_list(headers);
    if (headers != nullptr)
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, kivo_curl_writecb_no);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    if (!kivo_curl_method_is(method, "GET"))
        return -1;
    // A negative rate means nothing sensible; read it as "no cap".
    if (max_speed < 0)
        max_speed = 0;
    if (max_speed > kivo_curl_speed_cap)
        max_speed = kivo_curl_speed_cap;
    curl_easy_setopt(curl, CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(max_speed));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    if (max_speed != 0)
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, max_speed >> 1);
    curl_easy_setopt(curl, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(timeout));
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, kivo_curl_verify_peer());

    curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    return status;
}
