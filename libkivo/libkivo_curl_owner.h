// Owner types for libcurl's handles, as libkivo_json.cpp has for jansson's: a
// handle a function makes is released when the owner's scope ends, so an early
// return cannot leak it and no path repeats the cleanup calls.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <memory>

struct kivo_curl_easy_release {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using kivo_curl_easy_owner = std::unique_ptr<CURL, kivo_curl_easy_release>;

struct kivo_curl_multi_release {
    void operator()(CURLM *handle) const { curl_multi_cleanup(handle); }
};
using kivo_curl_multi_owner = std::unique_ptr<CURLM, kivo_curl_multi_release>;

struct kivo_curl_slist_release {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using kivo_curl_slist_owner = std::unique_ptr<curl_slist, kivo_curl_slist_release>;

// The caller's header lines as libcurl's list. An array whose first entry is
// NULL gives no list at all, which libcurl reads as "no extra header lines".
inline kivo_curl_slist_owner kivo_curl_header_list(const char *const *headers)
{
    curl_slist *list = nullptr;
    for (size_t i = 0; headers != nullptr && headers[i] != nullptr; i++)
        list = curl_slist_append(list, headers[i]);
    return kivo_curl_slist_owner(list);
}
