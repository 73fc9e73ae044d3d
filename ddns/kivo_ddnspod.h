// DNSPod record client: lists the A record and creates or modifies it.
#pragma once

// Register results, also the update cycle's per-pass state.
enum {
    KIVO_REGISTER_NONE = 0,     // error or nothing done
    KIVO_REGISTER_CREATED = 1,
    KIVO_REGISTER_SAME = 2,
    KIVO_REGISTER_MODIFIED = 3,
};

// Makes the A record sub_domain.main_domain point at extern_ip, using token.
// *result is set to one of the KIVO_REGISTER_ values; it is left untouched when
// extern_ip is the last confirmed address (nothing is sent then).
void kivo_ddnspod_register_domain_name(const char *token, const char *sub_domain,
                                       const char *main_domain, const char *extern_ip,
                                       int *result);
