// kivo_init: the content-provider name and the report thread at load.
#include "kivo_traffic_internal.h"
#include "kivo_traffic_wire.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

static const traffic_cp_entry *traffic_cp_find(const char *value)
{
    if (!value)
        return nullptr;
    for (const traffic_cp_entry &entry : traffic_cp_table)
        if (std::strcmp(entry.value, value) == 0)
            return &entry;
    return nullptr;
}

bool traffic_cp_keeps_preload(const char *value)
{
    const traffic_cp_entry *entry = traffic_cp_find(value);
    return entry && entry->keeps_preload;
}

// Copies src into a fixed field, cut to fit and always NUL-terminated.
static void traffic_text_copy(char *dst, size_t size, const char *src)
{
    size_t len = std::strlen(src);
    if (len >= size)
        len = size - 1;
    std::memcpy(dst, src, len);
    dst[len] = '\0';
}

extern "C" KIVO_TRAFFIC_EXPORT __attribute__((constructor)) int kivo_init(void)
{
    traffic_self_pid_refresh();
    pthread_atfork(nullptr, nullptr, traffic_fork_child);

    const traffic_cp_entry *entry = traffic_cp_find(std::getenv("KIVO_CP"));
    if (!entry) {
        // Counted and reported as "unknown"; the thread starts at the first
        // read, write or sendfile. Programs started later do not carry the library.
        unsetenv("LD_PRELOAD");
        return 0;
    }
    traffic_text_copy(traffic_cp, sizeof traffic_cp, entry->name);
    // No other thread of the host exists yet, so no lock is taken.
    traffic_pid_store(traffic_self_pid_load());
    traffic_start_report_thread();
    if (!entry->keeps_preload)
        unsetenv("LD_PRELOAD");
    return 0;
}
