// What the files of libkivotraffic share among themselves; none of it is exported.
#pragma once

#include "kivo_traffic.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#define KIVO_TRAFFIC_HIDDEN __attribute__((visibility("hidden")))

typedef ssize_t (*kivo_readv_fn)(int fd, const struct iovec *iov, int iovcnt);
typedef ssize_t (*kivo_writev_fn)(int fd, const struct iovec *iov, int iovcnt);
typedef ssize_t (*kivo_recvmsg_fn)(int fd, struct msghdr *msg, int flags);
typedef ssize_t (*kivo_sendmsg_fn)(int fd, const struct msghdr *msg, int flags);
typedef int (*kivo_recvmmsg_fn)(int fd, struct mmsghdr *vec, unsigned int vlen, int flags,
                                struct timespec *timeout);
typedef int (*kivo_sendmmsg_fn)(int fd, struct mmsghdr *vec, unsigned int vlen, int flags);
typedef ssize_t (*kivo_sendfile64_fn)(int out_fd, int in_fd, off64_t *offset, size_t count);
typedef ssize_t (*kivo_splice_fn)(int in_fd, off64_t *in_offset, int out_fd, off64_t *out_offset,
                                  size_t len, unsigned int flags);
typedef ssize_t (*kivo_read_chk_fn)(int fd, void *buf, size_t count, size_t buf_size);
typedef ssize_t (*kivo_recv_chk_fn)(int fd, void *buf, size_t len, size_t buf_size, int flags);
typedef ssize_t (*kivo_recvfrom_chk_fn)(int fd, void *buf, size_t len, size_t buf_size, int flags,
                                        struct sockaddr *src, socklen_t *src_len);

// The library's own names for the objects it exports (kivo_traffic_globals.cpp
// defines each exported name as an alias of one of these). Hidden names are
// bound when the library is linked, so a host or another library that exports
// a global called cp or total_send_bytes can never receive the library's
// counts: the dynamic linker may bind the exported name elsewhere, these never.
extern "C" {
KIVO_TRAFFIC_HIDDEN extern char traffic_cp[32];
KIVO_TRAFFIC_HIDDEN extern long long traffic_send_total;
KIVO_TRAFFIC_HIDDEN extern long long traffic_receive_total;
KIVO_TRAFFIC_HIDDEN extern pid_t traffic_global_pid;
KIVO_TRAFFIC_HIDDEN extern pthread_mutex_t traffic_global_mutex;

KIVO_TRAFFIC_HIDDEN extern kivo_read_fn traffic_real_read;
KIVO_TRAFFIC_HIDDEN extern kivo_write_fn traffic_real_write;
KIVO_TRAFFIC_HIDDEN extern kivo_recv_fn traffic_real_recv;
KIVO_TRAFFIC_HIDDEN extern kivo_recvfrom_fn traffic_real_recvfrom;
KIVO_TRAFFIC_HIDDEN extern kivo_send_fn traffic_real_send;
KIVO_TRAFFIC_HIDDEN extern kivo_sendto_fn traffic_real_sendto;
KIVO_TRAFFIC_HIDDEN extern kivo_sendfile_fn traffic_real_sendfile;
KIVO_TRAFFIC_HIDDEN extern kivo_fork_fn traffic_real_fork;
}

// The next definitions of the names the exported table does not list.
extern kivo_readv_fn traffic_real_readv;
extern kivo_writev_fn traffic_real_writev;
extern kivo_recvmsg_fn traffic_real_recvmsg;
extern kivo_sendmsg_fn traffic_real_sendmsg;
extern kivo_recvmmsg_fn traffic_real_recvmmsg;
extern kivo_sendmmsg_fn traffic_real_sendmmsg;
extern kivo_sendfile64_fn traffic_real_sendfile64;
extern kivo_splice_fn traffic_real_splice;
extern kivo_read_chk_fn traffic_real_read_chk;
extern kivo_recv_chk_fn traffic_real_recv_chk;
extern kivo_recvfrom_chk_fn traffic_real_recvfrom_chk;

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
// Whether a "KIVO_CP" value is one whose fork children report at once.
bool traffic_cp_keeps_preload(const char *value);
// pthread_atfork child handler.
void traffic_fork_child(void);
// Makes the report lock usable in a fork child (see kivo_traffic_report.cpp).
void traffic_report_lock_reset(void);
// The last report of a process that exits normally; false when there was
// nothing to send or the agent did not take it within deadline_ms.
bool traffic_report_last(int deadline_ms);

// Whether fd is a socket, by its file status; one fstat.
bool traffic_is_socket(int fd);

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
    return std::atomic_ref<pid_t>(traffic_global_pid).load(std::memory_order_relaxed);
}

inline void traffic_pid_store(pid_t pid)
{
    std::atomic_ref<pid_t>(traffic_global_pid).store(pid, std::memory_order_relaxed);
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

// Calls the next definition of name with args; -1 with ENOSYS when there is none.
template <typename Fn, typename... Args>
inline auto traffic_call_next(Fn *slot, const char *name, Args... args)
{
    Fn next = traffic_next(slot, name);
    if (!next) {
        errno = ENOSYS;
        return static_cast<decltype(next(args...))>(-1);
    }
    return next(args...);
}

// Adds what a call moved, when it moved anything.
inline void traffic_count(long long *counter, long long result)
{
    if (result > 0)
        traffic_counter_add(counter, result);
}

// read, write, readv, writev and __read_chk move their bytes through here. On a
// socket, the socket call with no flags is the very system call that the plain
// one makes, so it is tried first and its ENOTSOCK is the descriptor test: a
// socket costs no added system call, any other descriptor one failed call. A
// socket call that a seccomp filter refuses (ENOSYS, EPERM) is made again as
// the plain call, with one fstat to tell whether its bytes count. The host's
// errno is left as the call that answered it would leave it.
template <typename SocketCall, typename PlainCall>
inline ssize_t traffic_socket_first(long long *counter, int fd, SocketCall socket_call,
                                    PlainCall plain_call)
{
    int saved = errno;
    ssize_t result = socket_call();
    if (result >= 0) {
        traffic_count(counter, result);
        return result;
    }
    int refused = errno;
    if (refused != ENOTSOCK && refused != ENOSYS && refused != EPERM)
        return result;
    errno = saved;
    result = plain_call();
    if (refused != ENOTSOCK && result > 0) {
        int kept = errno;
        if (traffic_is_socket(fd))
            traffic_count(counter, result);
        errno = kept;
    }
    return result;
}

// The report-thread check after a call that may start the thread, with the
// call's errno kept for the host.
inline void traffic_check_after(pid_t pid)
{
    int saved = errno;
    traffic_check_report_thread(pid);
    errno = saved;
}

// The body of read and of __read_chk: plain is the call that the descriptor
// gets when it is no socket. A read of nothing leaves a queued empty datagram
// where it is, where recv would take it; nothing moves either way, so the plain
// call is made.
template <typename PlainCall>
inline ssize_t traffic_read_like(int fd, void *buf, size_t count, PlainCall plain)
{
    pid_t pid = traffic_self_pid_load();
    ssize_t result;
    if (count == 0)
        result = plain();
    else
        result = traffic_socket_first(
            &traffic_receive_total, fd,
            [&] { return traffic_call_next(&traffic_real_recv, "recv", fd, buf, count, 0); },
            plain);
    traffic_check_after(pid);
    return result;
}
