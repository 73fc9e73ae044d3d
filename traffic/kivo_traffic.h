// libkivotraffic: the names the library exports. A preloaded host never includes
// this; the library's own files and the programs that inspect a preloaded process do.
#pragma once

#include <pthread.h>
#include <sys/socket.h>
#include <sys/types.h>

#define KIVO_TRAFFIC_EXPORT __attribute__((visibility("default")))

extern "C" {

typedef ssize_t (*kivo_read_fn)(int fd, void *buf, size_t count);
typedef ssize_t (*kivo_write_fn)(int fd, const void *buf, size_t count);
typedef ssize_t (*kivo_recv_fn)(int fd, void *buf, size_t len, int flags);
typedef ssize_t (*kivo_recvfrom_fn)(int fd, void *buf, size_t len, int flags,
                                    struct sockaddr *src, socklen_t *src_len);
typedef ssize_t (*kivo_send_fn)(int fd, const void *buf, size_t len, int flags);
typedef ssize_t (*kivo_sendto_fn)(int fd, const void *buf, size_t len, int flags,
                                  const struct sockaddr *dst, socklen_t dst_len);
typedef ssize_t (*kivo_sendfile_fn)(int out_fd, int in_fd, off_t *offset, size_t count);
typedef pid_t (*kivo_fork_fn)(void);

// Content-provider name sent in every report; set only by kivo_init.
KIVO_TRAFFIC_EXPORT extern char cp[32];
// Socket bytes counted since the last report the agent accepted.
KIVO_TRAFFIC_EXPORT extern long long total_send_bytes;
KIVO_TRAFFIC_EXPORT extern long long total_receive_bytes;
// The process id for which a report thread was last started.
KIVO_TRAFFIC_EXPORT extern pid_t global_pid;
// Serialises the start of a report thread.
KIVO_TRAFFIC_EXPORT extern pthread_mutex_t global_mutex;

// The next definitions of the interposed names, filled on first use.
KIVO_TRAFFIC_EXPORT extern kivo_read_fn real_read;
KIVO_TRAFFIC_EXPORT extern kivo_write_fn real_write;
KIVO_TRAFFIC_EXPORT extern kivo_recv_fn real_recv;
KIVO_TRAFFIC_EXPORT extern kivo_recvfrom_fn real_recvfrom;
KIVO_TRAFFIC_EXPORT extern kivo_send_fn real_send;
KIVO_TRAFFIC_EXPORT extern kivo_sendto_fn real_sendto;
KIVO_TRAFFIC_EXPORT extern kivo_sendfile_fn read_sendfile;
KIVO_TRAFFIC_EXPORT extern kivo_fork_fn real_fork;

KIVO_TRAFFIC_EXPORT int kivo_init(void);
KIVO_TRAFFIC_EXPORT void *calc_traffic_thread(void *unused);
KIVO_TRAFFIC_EXPORT void sleep_full_seconds(int seconds);

} // extern "C"
