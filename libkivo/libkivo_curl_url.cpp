// A pull-style URL reader: a local file through stdio, or an HTTP(S) resource
// whose transfer libcurl's multi interface drives only while the owner reads,
// and the two downloads built on it.
#include "libkivo_curl.h"

#include <curl/curl.h>

#include "libkivo_curl_owner.h"
#include "libkivo_curl_tls.h"
#include <sys/select.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

enum { URL_KIND_NONE = 0, URL_KIND_FILE = 1, URL_KIND_CURL = 2 };

// Made by the first network reader and shared by all of them; released at exit.
static kivo_curl_multi_owner multi_handle;

struct url_file {
    int kind = URL_KIND_NONE;
    FILE *file = nullptr;
    // The list outlives the transfer that reads it: members go in reverse order.
    kivo_curl_slist_owner headers;
    kivo_curl_easy_owner curl;
    char *buffer = nullptr;  // received bytes not read yet, always at the start
    size_t buffer_len = 0;   // allocated size of buffer
    size_t buffer_pos = 0;   // number of unread bytes
    int still_running = 0;   // transfers running on the whole multi handle

    url_file() = default;
    url_file(const url_file &) = delete;
    url_file &operator=(const url_file &) = delete;
    // A transfer leaves the multi handle before its easy handle is cleaned up.
    ~url_file()
    {
        if (curl && multi_handle)
            curl_multi_remove_handle(multi_handle.get(), curl.get());
        std::free(buffer);
    }
};

// Takes the whole chunk, growing the buffer to exactly what is unread plus the
// chunk. When it cannot grow, the part that fits is kept and libcurl aborts.
static size_t write_callback(const char *chunk, size_t item_size, size_t item_count, void *userp)
{
    url_file *file = static_cast<url_file *>(userp);
    size_t n = item_size * item_count;
    size_t room = file->buffer_len - file->buffer_pos;
    if (n > room) {
        size_t grown_len = file->buffer_len + (n - room);
        char *grown = static_cast<char *>(std::realloc(file->buffer, grown_len));
        if (grown == nullptr) {
            std::fputs("callback buffer grow failed\n", stderr);
            n = room;
        } else {
            file->buffer = grown;
            file->buffer_len = grown_len;
        }
    }
    if (n > 0)
        std::memcpy(file->buffer + file->buffer_pos, chunk, n);
    file->buffer_pos += n;
    return n;
}

void url_wait_limit(long timeout_ms, struct timeval *limit)
{
    limit->tv_sec = 60;
    limit->tv_usec = 0;
    if (timeout_ms >= 0) {
        limit->tv_sec = timeout_ms / 1000;
        if (limit->tv_sec > 1)
            limit->tv_sec = 1;
        else
            limit->tv_usec = (timeout_ms % 1000) * 1000;
    }
}

// Drives every transfer on the multi handle until this reader holds want bytes
// or nothing runs any more. Returns 0 when nothing had to be done.
static int fill_buffer(url_file *file, size_t want)
{
    if (!file->still_running || file->buffer_pos > want)
        return 0;
    do {
        fd_set fdread, fdwrite, fdexcep;
        int maxfd = -1;
        long curl_timeo = -1;
        FD_ZERO(&fdread);
        FD_ZERO(&fdwrite);
        FD_ZERO(&fdexcep);
        struct timeval timeout;
        curl_multi_timeout(multi_handle.get(), &curl_timeo);
        url_wait_limit(curl_timeo, &timeout);

        CURLMcode mc = curl_multi_fdset(multi_handle.get(), &fdread, &fdwrite, &fdexcep, &maxfd);
        if (mc != CURLM_OK) {
            std::fprintf(stderr, "curl_multi_fdset() failed, code %d.\n", static_cast<int>(mc));
            break;
        }
        int rc;
        if (maxfd == -1) {
            struct timeval nap = {0, 100 * 1000L};
            rc = select(0, nullptr, nullptr, nullptr, &nap);
        } else {
            rc = select(maxfd + 1, &fdread, &fdwrite, &fdexcep, &timeout);
        }
        // An interrupted wait is simply repeated.
        if (rc != -1)
            curl_multi_perform(multi_handle.get(), &file->still_running);
    } while (file->still_running && file->buffer_pos < want);
    return 1;
}

// Drops the first want unread bytes; an emptied buffer is released.
static int use_buffer(url_file *file, size_t want)
{
    if (file->buffer_pos == want) {
        std::free(file->buffer);
        file->buffer = nullptr;
        file->buffer_pos = 0;
        file->buffer_len = 0;
    } else {
        std::memmove(file->buffer, file->buffer + want, file->buffer_pos - want);
        file->buffer_pos -= want;
    }
    return 0;
}

url_file *url_fopen(const char *url, const char *mode, const char *method,
                    const char *const *headers, const char *post_data, long post_size,
                    long connect_timeout, long timeout)
{
    if (url == nullptr || mode == nullptr)
        return nullptr;
    std::unique_ptr<url_file> file(new (std::nothrow) url_file);
    if (!file)
        return nullptr;
    // A readable local path is read from the file system, whatever the rest says.
    FILE *local = std::fopen(url, mode);
    if (local != nullptr) {
        file->kind = URL_KIND_FILE;
        file->file = local;
        return file.release();
    }
    file->kind = URL_KIND_CURL;
    file->curl.reset(curl_easy_init());
    CURL *curl = file->curl.get();
    if (curl == nullptr)
        return nullptr;
    if (headers != nullptr) {
        file->headers = kivo_curl_header_list(headers);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, file->headers.get());
    } else {
        curl_easy_setopt(curl, CURLOPT_USERAGENT, "libkivo");
    }
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file.get());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_callback);
    curl_easy_setopt(curl, CURLOPT_VERBOSE, 0L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, kivo_curl_verify_peer());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, connect_timeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);

    if (method != nullptr && std::strcmp(method, "POST") == 0) {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, post_size);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post_data);
    } else if (method == nullptr || std::strcmp(method, "GET") != 0) {
        std::exit(-1);
    }

    if (!multi_handle)
        multi_handle.reset(curl_multi_init());
    if (!multi_handle || curl_multi_add_handle(multi_handle.get(), curl) != CURLM_OK) {
        // Never added, so there is nothing to remove.
        file->curl.reset();
        return nullptr;
    }
    curl_multi_perform(multi_handle.get(), &file->still_running);
    // Over before any data came (a URL libcurl rejects at once, for example).
    if (file->buffer_pos == 0 && !file->still_running)
        return nullptr;
    return file.release();
}

size_t url_fread(void *ptr, size_t size, size_t nmemb, url_file *file)
{
    // Zero-sized items would divide by zero below; stdio reads nothing for them.
    if (file == nullptr || size == 0 || nmemb == 0)
        return 0;
    switch (file->kind) {
    case URL_KIND_FILE:
        return std::fread(ptr, size, nmemb, file->file);
    case URL_KIND_CURL: {
        size_t want = nmemb > SIZE_MAX / size ? SIZE_MAX / size * size : size * nmemb;
        fill_buffer(file, want);
        if (file->buffer_pos == 0)
            return 0;
        if (want > file->buffer_pos)
            want = file->buffer_pos;
        std::memcpy(ptr, file->buffer, want);
        use_buffer(file, want);
        return want / size;
    }
    default:
        return 0;
    }
}

int url_fclose(url_file *file)
{
    if (file == nullptr)
        return -1;
    int ret = 0;
    switch (file->kind) {
    case URL_KIND_FILE:
        ret = std::fclose(file->file);
        break;
    case URL_KIND_CURL:
        break;  // the record's owners end the transfer
    default:
        ret = -1;
        break;
    }
    delete file;
    return ret;
}

void kivo_download_buffer(const char *method, const char *url, const char *const *headers,
                          const char *post_data, long post_size, int connect_timeout,
                          int timeout, char *buf, size_t buf_size)
{
    if (buf == nullptr && buf_size != 0)
        return;
    url_file *file = url_fopen(url, "r", method, headers, post_data, post_size, connect_timeout,
                               timeout);
    if (file == nullptr)
        return;
    if (buf_size != 0)
        std::memset(buf, 0, buf_size);
    size_t total = 0;
    size_t n;
    do {
        n = url_fread(buf + total, 1, buf_size - total, file);
        total += n;
    } while (n != 0);
    url_fclose(file);
}

long kivo_download_file(const char *method, const char *url, const char *const *headers,
                        const char *post_data, long post_size, long connect_timeout,
                        long timeout, const char *filepath)
{
    url_file *file = url_fopen(url, "r", method, headers, post_data, post_size, connect_timeout,
                               timeout);
    if (file == nullptr)
        return -1;
    FILE *out = filepath != nullptr ? std::fopen(filepath, "wb+") : nullptr;
    if (out == nullptr) {
        url_fclose(file);
        return -2;
    }
    // A file that could not be written in full is no download: the size of
    // what arrived would report a failure as success.
    bool written = true;
    long total = 0;
    char chunk[4096];
    size_t n;
    while ((n = url_fread(chunk, 1, sizeof chunk, file)) != 0) {
        total += static_cast<long>(n);
        if (std::fwrite(chunk, 1, n, out) != n) {
            written = false;
            break;
        }
    }
    url_fclose(file);
    if (std::fclose(out) != 0)
        written = false;
    if (!written)
        return -3;
    std::printf("url(%s), filepath(%s), filesize(%ld)\n", url, filepath, total);
    return total;
}
