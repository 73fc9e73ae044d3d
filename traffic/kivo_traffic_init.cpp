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

// Copies src into dst (size bytes, NUL included), cutting it when it does not fit.
// Returns the length of src, as snprintf does, so a caller can tell a cut
// (result >= size) from a whole copy. A size of 0 writes nothing.
static size_t traffic_text_copy(char *dst, size_t size, const char *src)
{
    size_t len = std::strlen(src);
    if (size == 0)
        return len;
    size_t n = len < size ? len : size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
    return len;
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
