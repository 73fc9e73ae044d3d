// fork: children of the names that keep the preload report at once.
#include "kivo_traffic_internal.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

// Another thread may hold global_mutex while this one forks; the child gets a
// locked copy that nobody will ever unlock. A fresh mutex lets the child start
// its report thread. There is no prepare handler taking the lock: a fork from a
// signal handler that interrupted the check would wait on itself.
void traffic_fork_child(void)
{
    traffic_self_pid_refresh();
    pthread_mutex_init(&traffic_global_mutex, nullptr);
    traffic_report_lock_reset();
}

extern "C" KIVO_TRAFFIC_EXPORT pid_t fork(void) noexcept
{
    kivo_fork_fn next = traffic_next(&traffic_real_fork, "fork");
    if (!next) {
        errno = ENOSYS;
        return -1;
    }
    pid_t child = next();
    if (child != 0)
        return child;
    // The fork handler has already refreshed the id; a next definition that
    // skips the handlers must not leave the child with its parent's.
    int saved = errno;
    traffic_self_pid_refresh();
    errno = saved;
    // The child has only this thread, so no lock is needed. The counters are
    // inherited and its first cycle sends the parent's unreported bytes.
    if (traffic_cp_keeps_preload(std::getenv("KIVO_CP"))) {
        traffic_pid_store(traffic_self_pid_load());
        traffic_start_report_thread();
        errno = saved;
    }
    return 0;
}
