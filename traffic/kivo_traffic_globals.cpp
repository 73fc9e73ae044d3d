// The objects the library exports. Each exported name is an alias of a hidden
// one that the library's own code uses, so the library always reads and writes
// its own objects, whatever the dynamic linker binds the exported names to (a
// host may export a cp or a total_send_bytes of its own).
#include "kivo_traffic_internal.h"

extern "C" {
char traffic_cp[32] = "unknown";
long long traffic_send_total = 0;
long long traffic_receive_total = 0;
pid_t traffic_global_pid = 0;
pthread_mutex_t traffic_global_mutex = PTHREAD_MUTEX_INITIALIZER;

kivo_read_fn traffic_real_read = nullptr;
kivo_write_fn traffic_real_write = nullptr;
kivo_recv_fn traffic_real_recv = nullptr;
kivo_recvfrom_fn traffic_real_recvfrom = nullptr;
kivo_send_fn traffic_real_send = nullptr;
kivo_sendto_fn traffic_real_sendto = nullptr;
kivo_sendfile_fn traffic_real_sendfile = nullptr;
kivo_fork_fn traffic_real_fork = nullptr;

extern char cp[32] __attribute__((alias("traffic_cp")));
extern long long total_send_bytes __attribute__((alias("traffic_send_total")));
extern long long total_receive_bytes __attribute__((alias("traffic_receive_total")));
extern pid_t global_pid __attribute__((alias("traffic_global_pid")));
extern pthread_mutex_t global_mutex __attribute__((alias("traffic_global_mutex")));

extern kivo_read_fn real_read __attribute__((alias("traffic_real_read")));
extern kivo_write_fn real_write __attribute__((alias("traffic_real_write")));
extern kivo_recv_fn real_recv __attribute__((alias("traffic_real_recv")));
extern kivo_recvfrom_fn real_recvfrom __attribute__((alias("traffic_real_recvfrom")));
extern kivo_send_fn real_send __attribute__((alias("traffic_real_send")));
extern kivo_sendto_fn real_sendto __attribute__((alias("traffic_real_sendto")));
extern kivo_sendfile_fn read_sendfile __attribute__((alias("traffic_real_sendfile")));
extern kivo_fork_fn real_fork __attribute__((alias("traffic_real_fork")));
}

kivo_readv_fn traffic_real_readv = nullptr;
kivo_writev_fn traffic_real_writev = nullptr;
kivo_recvmsg_fn traffic_real_recvmsg = nullptr;
kivo_sendmsg_fn traffic_real_sendmsg = nullptr;
kivo_recvmmsg_fn traffic_real_recvmmsg = nullptr;
kivo_sendmmsg_fn traffic_real_sendmmsg = nullptr;
kivo_sendfile64_fn traffic_real_sendfile64 = nullptr;
kivo_splice_fn traffic_real_splice = nullptr;
kivo_read_chk_fn traffic_real_read_chk = nullptr;
kivo_recv_chk_fn traffic_real_recv_chk = nullptr;
kivo_recvfrom_chk_fn traffic_real_recvfrom_chk = nullptr;

pid_t traffic_self_pid = 0;
