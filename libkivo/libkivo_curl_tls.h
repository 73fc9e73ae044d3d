// How the request helpers treat a TLS peer. By default its certificate is not
// checked, so a box with a wrong clock or an old store still reaches DNSPod.
// A build with KIVO_TLS_VERIFY, or any build run with KIVO_TLS_VERIFY=1 in its
// environment (the service unit sets it), checks the chain and the host name
// against the system's certificate store (libcurl's built-in bundle and
// folder), for operators who want the login token never sent over an
// unverified connection.
#pragma once

#include <cstdlib>
#include <cstring>

// Read at every request, so the environment decides as the process has it.
inline bool kivo_curl_tls_verify(void)
{
#ifdef KIVO_TLS_VERIFY
    return true;
#else
    const char *value = std::getenv("KIVO_TLS_VERIFY");
    return value != nullptr && std::strcmp(value, "1") == 0;
#endif
}

inline long kivo_curl_verify_peer(void)
{
    return kivo_curl_tls_verify() ? 1L : 0L;
}

// 2: the name must match the certificate.
inline long kivo_curl_verify_host(void)
{
    return kivo_curl_tls_verify() ? 2L : 0L;
}
