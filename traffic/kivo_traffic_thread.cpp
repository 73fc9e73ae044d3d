// Starting the one report thread of a process.
#include "kivo_traffic_internal.h"

#include <unistd.h>

void traffic_async_signals(sigset_t *set)
{
    // Faults must still reach the thread that caused them; every other signal
    // belongs to the host's own threads and handlers.
    static constexpr int fault_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGSYS};
    sigfillset(set);
    for (int sig : fault_signals)
        sigdelset(set, sig);
}

void traffic_start_report_thread(void)
{
    // The new thread inherits the mask in force at pthread_create, so it never
    // runs with the host's signals open, not even for its first instruction.
    sigset_t blocked, saved;
    traffic_async_signals(&blocked);
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    pthread_t thread;
    // A thread that cannot be started is not retried: global_pid already holds
    // this process id, and counting goes on without reports.
    pthread_create(&thread, nullptr, calc_traffic_thread, nullptr);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

void traffic_check_report_thread(pid_t pid)
{
    if (traffic_pid_load() == pid)
        return;
    // Only a process's first call gets this far, so one getpid is affordable
    // here. A vfork child shares its parent's memory, the kept id included; a
    // thread it started would be its own and end with its exec or exit, and
    // its parent would be left marked as having one.
    if (getpid() != pid)
        return;
    // Several threads of a new process may get here at once; the re-check under
    // the lock lets exactly one of them start the thread.
    pthread_mutex_lock(&traffic_global_mutex);
    if (traffic_pid_load() != pid) {
        traffic_pid_store(pid);
        traffic_start_report_thread();
    }
    pthread_mutex_unlock(&traffic_global_mutex);
}
