// What the files of libkivotraffic share among themselves; none of it is exported.
#pragma once

#include "kivo_traffic.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

// The counted bodies of read and write. The report thread calls them by these
// names, so its own bytes pass through exactly the definitions that count them
// even when another interposer sits in front of the library.
ssize_t traffic_read(int fd, void *buf, size_t count);
ssize_t traffic_write(int fd, const void *buf, size_t count);

// Starts the report thread unless one was already started for this process id.
void traffic_check_report_thread(pid_t pid);
// Starts a report thread with the asynchronous signals blocked.
void traffic_start_report_thread(void);
// The signals a report thread never takes: all but those a fault raises.
void traffic_async_signals(sigset_t *set);
// Whether the first length bytes of the agent's reply accept the report.
bool traffic_reply_accepted(const char *reply, size_t length);
// Whether a "KIVO_CP" value is one whose fork children report at once.
bool traffic_cp_keeps_preload(const char *value);
// pthread_atfork child handler.
void traffic_fork_child(void);

// The counters and global_pid are plain exported objects, so C readers see a
// long long and a pid_t; every access from the library goes through atomic_ref.
inline long long traffic_counter_load(long long *counter)
{
    return std::atomic_ref<long long>(*counter).load(std::memory_order_relaxed);
}

inline void traffic_counter_add(long long *counter, long long amount)
{
    std::atomic_ref<long long>(*counter).fetch_add(amount, std::memory_order_relaxed);
}

inline void traffic_counter_sub(long long *counter, long long amount)
{
    std::atomic_ref<long long>(*counter).fetch_sub(amount, std::memory_order_relaxed);
}

// The process id, kept in memory instead of asked for on every call: set at
// load and in every fork child (the pthread_atfork handler and the interposed
// fork's child branch). A child made by a raw clone or by _Fork passes neither
// and keeps its parent's id, so it reports through no thread of its own; a
// vfork child shares its parent's memory and so its id too.
extern pid_t traffic_self_pid;

inline pid_t traffic_self_pid_load(void)
{
    return std::atomic_ref<pid_t>(traffic_self_pid).load(std::memory_order_relaxed);
}

inline void traffic_self_pid_refresh(void)
{
    std::atomic_ref<pid_t>(traffic_self_pid).store(getpid(), std::memory_order_relaxed);
}

inline pid_t traffic_pid_load(void)
{
    return std::atomic_ref<pid_t>(global_pid).load(std::memory_order_relaxed);
}

inline void traffic_pid_store(pid_t pid)
{
    std::atomic_ref<pid_t>(global_pid).store(pid, std::memory_order_relaxed);
}

// Returns the next definition of name, looked up once. Two threads that race on
// the first call both store the same pointer, so no lock is needed.
template <typename Fn>
inline Fn traffic_next(Fn *slot, const char *name)
{
    Fn fn = std::atomic_ref<Fn>(*slot).load(std::memory_order_relaxed);
    if (!fn) {
        fn = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
        std::atomic_ref<Fn>(*slot).store(fn, std::memory_order_relaxed);
    }
    return fn;
}
