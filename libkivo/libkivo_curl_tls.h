// How the request helpers treat a TLS peer. By default its certificate is not
// checked, so a box with a wrong clock or an old store still reaches DNSPod. A
// build with KIVO_TLS_VERIFY checks the chain and the host name against the
// system's certificate store (libcurl's built-in bundle and folder), for
// operators who want the login token never sent over an unverified connection.
#pragma once

#ifdef KIVO_TLS_VERIFY
inline constexpr long kivo_curl_verify_peer = 1L;
inline constexpr long kivo_curl_verify_host = 2L; // the name must match the certificate
#else
inline constexpr long kivo_curl_verify_peer = 0L;
inline constexpr long kivo_curl_verify_host = 0L;
#endif
