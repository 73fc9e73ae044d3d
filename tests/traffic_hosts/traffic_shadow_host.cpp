// A host whose executable exports globals named like the library's (it is
// linked with -rdynamic), as any program of its own may: the library must
// count into its own objects and leave the host's alone.
//
//   traffic_shadow_host     prints "shadow host_cp=... host_send=N library_cp=... library_send=N"
#include "traffic_inspect.h"

extern "C" {
char cp[32] = "host-own-cp";
long long total_send_bytes = 0;
}

int main()
{
    if (!traffic_move_over_socket(100))
        return 1;
    // The library's own objects, looked up in the library itself: the global
    // scope would give this executable's.
    void *library = dlopen("libkivotraffic.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!library)
        return 3;
    auto *library_cp = static_cast<const char *>(dlsym(library, "cp"));
    auto *library_send = static_cast<const long long *>(dlsym(library, "total_send_bytes"));
    if (!library_cp || !library_send)
        return 3;
    std::printf("shadow host_cp=%s host_send=%lld library_cp=%s library_send=%lld\n", cp,
                __atomic_load_n(&total_send_bytes, __ATOMIC_RELAXED), library_cp,
                __atomic_load_n(library_send, __ATOMIC_RELAXED));
    std::fflush(stdout);
    return 0;
}
