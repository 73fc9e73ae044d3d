// The kernel side of kivo_trafficd: counts the socket bytes of the processes
// whose environment holds "KIVO_CP", per process and link, from the socket
// layer's own send and receive tracepoints. Programs of any build reach them:
// Go's runtime, static binaries and io_uring alike. Attached through BTF
// (tp_btf), so no tracefs is needed. A stream's bytes count for the
// link that holds the socket's local address; a datagram's for the link of the
// local address that datagram itself used, which the route lookup of its send
// and the queue it was taken from tell (a socket bound to 0.0.0.0 or :: sends
// and receives over every uplink).
#include <linux/types.h>
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>

#include "kivo_trafficd_event.h"

// The few kernel fields read here, located at load time against the running
// kernel's BTF, so one object serves every kernel from 6.3 on.
#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)
struct ns_common {
    unsigned int inum;
};
struct net {
    struct ns_common ns;
};
struct nsproxy {
    struct net *net_ns;
};
struct atomic_t_local {
    int counter;
};
struct signal_struct {
    struct atomic_t_local live;
};
struct mm_struct {
    unsigned long env_start;
    unsigned long env_end;
};
struct task_struct {
    int pid;
    int tgid;
    struct task_struct *group_leader;
    unsigned long long start_time;
    unsigned long long start_boottime;
    struct nsproxy *nsproxy;
    struct signal_struct *signal;
    struct mm_struct *mm;
    void *bpf_storage;
};
struct in6_addr {
    union {
        __u8 u6_addr8[16];
        __u32 u6_addr32[4];
    } in6_u;
};
struct sock_common {
    unsigned short skc_num;
    unsigned short skc_family;
    unsigned char skc_state;
    __u32 skc_rcv_saddr;
    struct in6_addr skc_v6_rcv_saddr;
};
struct sk_buff;
struct sk_buff_head {
    struct sk_buff *next;
    struct sk_buff *prev;
    __u32 qlen;
};
struct sock {
    struct sock_common __sk_common;
    struct sk_buff_head sk_receive_queue;
    unsigned short sk_type;
    unsigned short sk_protocol;
    void *sk_bpf_storage;
};
struct udp_sock {
    struct sk_buff_head reader_queue;
};
struct flowi_common {
    int flowic_iif;
    __u8 flowic_proto;
};
union flowi_uli {
    struct {
        __u16 dport;
        __u16 sport;
    } ports;
};
struct flowi4 {
    struct flowi_common __fl_common;
    __u32 saddr;
    union flowi_uli uli;
};
struct flowi6 {
    struct flowi_common __fl_common;
    struct in6_addr saddr;
    union flowi_uli uli;
};
struct net_device {
    int ifindex;
};
struct fib_nh_common {
    struct net_device *nhc_dev;
};
struct fib6_nh {
    struct fib_nh_common nh_common;
};
struct fib6_result {
    struct fib6_nh *nh;
};
struct sk_buff {
    unsigned char *head;
    __u16 network_header;
    __u16 protocol;
};
struct iphdr {
    __u32 daddr;
};
struct ipv6hdr {
    struct in6_addr daddr;
};
struct linux_binprm;
#pragma clang attribute pop

#define AF_INET 2
#define AF_INET6 10
#define MSG_PEEK 2
#define SOCK_DGRAM 2
#define TCP_CLOSE 7  // the state of a datagram socket not connected
#define ETH_P_IP 0x0800
#define ETH_P_IPV6 0x86DD
#define LOOPBACK_IFINDEX 1
#define IPPROTO_UDP 17
#define IPPROTO_UDPLITE 136
#define TICK_NS 10000000ULL  // USER_HZ is 100 on every architecture Linux runs here

// A kernel pointer taken as the type given, read directly rather than
// through a helper call (Linux 6.2 on).
extern void *bpf_rdonly_cast(const void *obj, __u32 btf_id) __ksym;
#define kernel_cast(type, pointer) \
    ((struct type *)bpf_rdonly_cast(pointer, bpf_core_type_id_kernel(struct type)))

char LICENSE[] SEC("license") = "GPL";

// Set by the daemon before the load: its own network namespace.
const volatile unsigned int netns_inum = 0;

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, TRAFFICD_MAX_PROCESSES);
    __type(key, __u32);
    __type(value, struct trafficd_watch);
} watched SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_HASH);
    __uint(max_entries, TRAFFICD_MAX_TOTALS);
    __type(key, struct trafficd_key);
    __type(value, struct trafficd_total);
} totals SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, TRAFFICD_MAX_PROCESSES);
    __type(key, struct trafficd_key);
    __type(value, struct trafficd_mark);
} marks SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} layout SEC(".maps");

// Kept by the daemon from the kernel's address table: the link of each local
// address, so that bytes count for the link that holds the address as they
// are counted, whatever holds it later.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, TRAFFICD_MAX_ADDRESSES);
    __type(key, struct trafficd_address);
    __type(value, __u32);
} links SEC(".maps");

// Kept by the daemon: the link of each interface that has one, for a datagram
// whose source the kernel is to choose by the interface it leaves by.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, TRAFFICD_LINKS);
    __type(key, __u32);
    __type(value, __u32);
} devices SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} events SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, TRAFFICD_FAULTS);
    __type(key, __u32);
    __type(value, __u64);
} faults SEC(".maps");

// One environment entry at a time, copied out of the new image's stack.
struct env_scratch {
    char entry[4096];
};
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct env_scratch);
} scratch SEC(".maps");

static __always_inline void fault(__u32 which)
{
    __u64 *count = bpf_map_lookup_elem(&faults, &which);
    if (count)
        __sync_fetch_and_add(count, 1);
}

static __always_inline __u64 start_ticks(struct task_struct *task)
{
    return BPF_CORE_READ(task, group_leader, start_boottime) / TICK_NS;
}

static __always_inline int in_our_netns(struct task_struct *task)
{
    return BPF_CORE_READ(task, nsproxy, net_ns, ns.inum) == netns_inum;
}

// The link of a local IPv4 address (network order). Loopback needs no lookup.
static __always_inline __u32 link_of_v4(__u32 v4)
{
    if (v4 == 0)
        return TRAFFICD_LINK_OTHER;
    if ((v4 & bpf_htonl(0xff000000)) == bpf_htonl(0x7f000000))
        return TRAFFICD_LINK_LO;
    struct trafficd_address local = {.family = AF_INET};
    __builtin_memcpy(local.bytes, &v4, 4);
    __u32 *link = bpf_map_lookup_elem(&links, &local);
    return link ? *link : TRAFFICD_LINK_OTHER;
}

// The same for IPv6; an IPv4 peer of a dual-stack socket has its address
// mapped into IPv6.
static __always_inline __u32 link_of_v6(__u32 w0, __u32 w1, __u32 w2, __u32 w3)
{
    if (w0 == 0 && w1 == 0 && w2 == bpf_htonl(0xffff))
        return link_of_v4(w3);
    if ((w0 | w1 | w2) == 0 && (w3 == 0 || w3 == bpf_htonl(1)))
        return w3 ? TRAFFICD_LINK_LO : TRAFFICD_LINK_OTHER;
    struct trafficd_address local = {.family = AF_INET6};
    __builtin_memcpy(local.bytes, &w0, 4);
    __builtin_memcpy(local.bytes + 4, &w1, 4);
    __builtin_memcpy(local.bytes + 8, &w2, 4);
    __builtin_memcpy(local.bytes + 12, &w3, 4);
    __u32 *link = bpf_map_lookup_elem(&links, &local);
    return link ? *link : TRAFFICD_LINK_OTHER;
}

// The link of the socket's own local address.
static __always_inline __u32 link_of(struct sock *sk, unsigned short family)
{
    // A typed tracepoint argument is read directly, without a helper call.
    if (family == AF_INET6)
        return link_of_v6(sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[0],
                          sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[1],
                          sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[2],
                          sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[3]);
    return link_of_v4(sk->__sk_common.skc_rcv_saddr);
}

// What a thread of a counted process keeps: its process's start, so that its
// bytes need no watched lookup while no process has left watched since it was
// found there (counted: the count of those departures then, + 1; 0: never
// found); and the link of the datagram it is sending, noted as its route is
// looked up, for the socket layer's tracepoint that follows in the same
// thread and call; the sending socket's port tells it from other lookups made
// meanwhile (an error that a packet of the same box's other namespace makes,
// answered in the sending thread). The last few are kept.
#define HINTS 4
struct thread_note {
    __u64 start;
    __u32 counted;
    __u32 next;
    struct {
        __u32 port;  // the sending socket's port, host order; 0: none
        __u32 link;
    } route[HINTS];
};
struct {
    __uint(type, BPF_MAP_TYPE_TASK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct thread_note);
} threads SEC(".maps");

// The thread's note, if it has one. A thread with no task storage at all (one
// of a process nobody counts) is told so without a helper call.
static __always_inline struct thread_note *note_of(struct task_struct *task)
{
    if (!task->bpf_storage)
        return 0;
    return bpf_task_storage_get(&threads, task, 0, 0);
}

// The thread that last counted bytes on this processor, and its note's start
// and count of departures: a thread that sends and receives over and over
// finds them here without the task storage's helper call. A thread is known
// by its id and the moment it was made, which no later thread shares. Only
// the socket layer's tracepoints (process context, not preempted) read and
// write it: no other program comes between a read and a write.
struct last_counted {
    __u64 made;  // the thread's start_time, ns
    __u64 start;
    __u32 thread;
    __u32 counted;
};
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct last_counted);
} last_counted SEC(".maps");

// Processes that left watched while alive: in the kernel, by an exec without
// "KIVO_CP"; by the daemon, when it gives a process up. A thread's note of
// being counted holds while this has not moved.
volatile __u32 unwatched = 0;

// The links of the datagrams waiting in a socket bound to no address that a
// counted process receives from, in the order of its queue: each as it is
// queued, taken as a receive takes the datagram. The entries carry the
// datagram's number + 1, so one that was written over (more datagrams waiting
// than there is room for) or never written is known as such; the receive then
// falls back to the socket's own address.
#define QUEUE_ROOM 256
struct queued_links {
    __u32 queued;  // datagrams noted so far, and those that came before the notes
    __u32 taken;   // datagrams received so far
    __u32 entry[QUEUE_ROOM];  // the number of the datagram + 1 (low 24 bits) << 8 | its link
};
struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct queued_links);
} queues SEC(".maps");

#define LINK_UNKNOWN 0xffu

// The queue hook (trafficd_queued) runs for every segment of every stream on
// the box too, so the daemon attaches it only once a counted process receives
// (or tries to) through a socket bound to no address.
volatile __u32 queue_hook = TRAFFICD_QUEUE_HOOK_OFF;

static __always_inline int unbound(struct sock *sk)
{
    if (sk->__sk_common.skc_family == AF_INET6)
        return (sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[0] |
                sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[1] |
                sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[2] |
                sk->__sk_common.skc_v6_rcv_saddr.in6_u.u6_addr32[3]) == 0;
    return sk->__sk_common.skc_rcv_saddr == 0;
}

static __noinline int ask_queue_hook(__u32 tgid, __u64 start);

// The socket's notes, if it has room for them. A socket with no storage at all
// (one no counted process received from) is told so without a helper call.
static __always_inline struct queued_links *queue_of(struct sock *sk)
{
    if (!sk->sk_bpf_storage)
        return 0;
    return bpf_sk_storage_get(&queues, sk, 0, 0);
}

// The link of the datagram a receive took (took: 0 for a peek or a failed
// receive) from a socket bound to no address: the one noted as it was queued.
static __always_inline __u32 link_of_received(struct sock *sk, int took)
{
    struct udp_sock *udp = kernel_cast(udp_sock, sk);
    __u32 waiting = sk->sk_receive_queue.qlen + udp->reader_queue.qlen;
    struct queued_links *queue = queue_of(sk);
    if (!queue) {
        // The socket's first receive (often a read that finds nothing, as an
        // event loop's first is): its datagrams are noted from now on, those
        // waiting already never were.
        queue = bpf_sk_storage_get(&queues, sk, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
        if (queue) {
            queue->taken = took;
            queue->queued = took + waiting;
        }
        return LINK_UNKNOWN;
    }
    if (!took)
        return LINK_UNKNOWN;
    // Any datagram taken, an empty one too, is its queue's head.
    __u32 number = __sync_fetch_and_add(&queue->taken, 1);
    __u32 entry = queue->entry[number & (QUEUE_ROOM - 1)];
    __u32 link = entry >> 8 == ((number + 1) & 0xffffff) ? entry & 0xff : LINK_UNKNOWN;
    if (waiting == 0) {
        // An empty queue has nothing noted: whatever was noted out of step (a
        // datagram a receive took before it was noted) is dropped.
        queue->taken = queue->queued;
    } else if (queue_hook != TRAFFICD_QUEUE_HOOK_ON) {
        // Nothing is noted yet: none of those waiting was.
        queue->queued = number + 1 + waiting;
    }
    return link;
}

// The bytes of a datagram socket not connected: sent, the source its route
// chose; received by one bound to no address, the destination of the datagram
// at the head of its queue. The socket's own address when neither is known.
static __always_inline __u32 link_of_datagram(struct sock *sk, unsigned short family, int ret,
                                              int flags, int sent, __u32 tgid, __u64 start,
                                              struct thread_note *hint)
{
    __u32 link = LINK_UNKNOWN;
    if (sent) {
        __u32 port = sk->__sk_common.skc_num;
        for (int i = 1; hint && port && i <= HINTS; i++) {
            __u32 at = (hint->next - i) & (HINTS - 1);
            if (hint->route[at].port == port) {
                link = hint->route[at].link;
                hint->route[at].port = 0;
                break;
            }
        }
    } else if ((sk->sk_protocol == IPPROTO_UDP || sk->sk_protocol == IPPROTO_UDPLITE) &&
               unbound(sk)) {
        if (queue_hook == TRAFFICD_QUEUE_HOOK_OFF)
            ask_queue_hook(tgid, start);
        link = link_of_received(sk, ret >= 0 && !(flags & MSG_PEEK));
    }
    return link != LINK_UNKNOWN ? link : link_of(sk, family);
}

_Static_assert(TRAFFICD_LINKS <= 32, "a process's refused links are the bits of one word");

static __always_inline void count(struct sock *sk, int ret, int flags, int sent)
{
    // Each datagram of a socket not connected has its own link (a stream
    // that moves bytes is always connected, and told apart by its state
    // alone); its hint is taken whatever the call's result, so that a failed
    // send leaves none behind for the next.
    int per_datagram = sk->__sk_common.skc_state == TCP_CLOSE && sk->sk_type == SOCK_DGRAM;
    if (ret <= 0 && !per_datagram)
        return;
    unsigned short family = sk->__sk_common.skc_family;
    if (family != AF_INET && family != AF_INET6)
        return;
    struct task_struct *task = bpf_get_current_task_btf();
    __u32 tgid = task->tgid;
    // Read before the lookup: a departure after it makes the note stale.
    __u32 departures = unwatched;
    __u32 zero = 0;
    struct last_counted *last = bpf_map_lookup_elem(&last_counted, &zero);
    struct thread_note *note = 0;
    struct trafficd_watch *watch = 0;
    __u64 start;
    // A datagram's send takes its hints from the note itself.
    if (last && !(per_datagram && sent) && last->thread == (__u32)task->pid &&
        last->made == task->start_time && last->counted == departures + 1) {
        start = last->start;
    } else {
        note = note_of(task);
        if (note && note->counted == departures + 1) {
            start = note->start;
        } else {
            watch = bpf_map_lookup_elem(&watched, &tgid);
            if (!watch)
                return;
            start = watch->start;
            if (!note)
                note = bpf_task_storage_get(&threads, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
            if (note) {
                note->start = start;
                note->counted = departures + 1;
            }
        }
        if (last) {
            last->thread = task->pid;
            last->made = task->start_time;
            last->start = start;
            last->counted = departures + 1;
        }
    }
    __u32 link = per_datagram ? link_of_datagram(sk, family, ret, flags, sent, tgid, start, note)
                              : link_of(sk, family);
    // A peek leaves the bytes queued; the read that takes them counts them.
    if (ret <= 0 || (flags & MSG_PEEK))
        return;
    // The entries are the process's own: the daemon removes them after the
    // process, so an id that a new process takes over finds none.
    struct trafficd_key key = {.tgid = tgid, .link = link, .start = start};
    struct trafficd_total *total = bpf_map_lookup_elem(&totals, &key);
    if (!total) {
        struct trafficd_total zero = {};
        if (bpf_map_update_elem(&totals, &key, &zero, BPF_NOEXIST) == 0 ||
            bpf_map_lookup_elem(&totals, &key)) {
            total = bpf_map_lookup_elem(&totals, &key);
        } else {
            // A full map: the bytes count as other for a process that has
            // that entry; the entries already there keep counting. Each
            // process's link is counted as refused once.
            __u32 bit = 1u << (link & 31);
            if (!watch)
                watch = bpf_map_lookup_elem(&watched, &tgid);
            if (watch && !(__sync_fetch_and_or(&watch->refused, bit) & bit))
                fault(TRAFFICD_FAULT_TOTALS_FULL);
            key.link = TRAFFICD_LINK_OTHER;
            total = bpf_map_lookup_elem(&totals, &key);
        }
        if (!total)
            return;
    }
    // Per CPU: no other CPU writes this copy, and the program is not re-entered on it.
    if (sent)
        total->sent += (unsigned int)ret;
    else
        total->received += (unsigned int)ret;
}

SEC("tp_btf/sock_send_length")
int BPF_PROG(trafficd_send, struct sock *sk, int ret, int flags)
{
    count(sk, ret, 0, 1);
    return 0;
}

SEC("tp_btf/sock_recv_length")
int BPF_PROG(trafficd_recv, struct sock *sk, int ret, int flags)
{
    count(sk, ret, flags, 0);
    return 0;
}

// The thread's hint for a datagram of a counted process that a route is
// looked up for: only lookups for output (their flow comes from loopback's
// index, an arriving packet's from its interface's), for UDP. A thread with a
// note is counted (or was, until its process was given up: its hints are then
// never taken); one without is looked up.
static __always_inline struct thread_note *route_hint(struct flowi_common *flow)
{
    if (flow->flowic_iif != LOOPBACK_IFINDEX ||
        (flow->flowic_proto != IPPROTO_UDP && flow->flowic_proto != IPPROTO_UDPLITE))
        return 0;
    struct task_struct *task = bpf_get_current_task_btf();
    struct thread_note *hint = note_of(task);
    if (hint)
        return hint;
    __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    if (!bpf_map_lookup_elem(&watched, &tgid))
        return 0;
    return bpf_task_storage_get(&threads, task, 0, BPF_LOCAL_STORAGE_GET_F_CREATE);
}

// A source the sender named (IP_PKTINFO, IPV6_PKTINFO, a bound socket) gives
// its link; one the kernel is to choose is an address of the interface the
// route leaves by, whose link it is (loopback's: lo).
static __always_inline __u32 link_of_device(struct fib_nh_common *nhc)
{
    __u32 ifindex = nhc->nhc_dev ? nhc->nhc_dev->ifindex : 0;
    if (ifindex == LOOPBACK_IFINDEX)
        return TRAFFICD_LINK_LO;
    __u32 *link = bpf_map_lookup_elem(&devices, &ifindex);
    return link ? *link : TRAFFICD_LINK_OTHER;
}

SEC("tp_btf/fib_table_lookup")
int BPF_PROG(trafficd_route4, __u32 table, struct flowi4 *flow, struct fib_nh_common *nhc, int err)
{
    if (err || !nhc)
        return 0;
    struct thread_note *hint = route_hint(&flow->__fl_common);
    if (!hint)
        return 0;
    __u32 at = hint->next++ & (HINTS - 1);
    hint->route[at].link = flow->saddr ? link_of_v4(flow->saddr) : link_of_device(nhc);
    hint->route[at].port = bpf_ntohs(flow->uli.ports.sport);
    return 0;
}

// IPv6 looks the route up again once it has chosen the source: the last one
// names it.
SEC("tp_btf/fib6_table_lookup")
int BPF_PROG(trafficd_route6, void *net, struct fib6_result *res, void *table, struct flowi6 *flow)
{
    if (!res->nh)
        return 0;
    struct thread_note *hint = route_hint(&flow->__fl_common);
    if (!hint)
        return 0;
    __u32 w0 = flow->saddr.in6_u.u6_addr32[0], w1 = flow->saddr.in6_u.u6_addr32[1];
    __u32 w2 = flow->saddr.in6_u.u6_addr32[2], w3 = flow->saddr.in6_u.u6_addr32[3];
    __u32 at = hint->next++ & (HINTS - 1);
    hint->route[at].link = (w0 | w1 | w2 | w3) ? link_of_v6(w0, w1, w2, w3)
                                               : link_of_device(&res->nh->nh_common);
    hint->route[at].port = bpf_ntohs(flow->uli.ports.sport);
    return 0;
}

// A datagram just queued to a socket bound to no address that a counted
// process receives from (only those have room for notes; a socket of a
// process nobody counts costs neither memory nor more than this test): its
// destination, the last in the queue, is noted for the receive that will take it.
SEC("tp_btf/sk_data_ready")
int BPF_PROG(trafficd_queued, struct sock *sk)
{
    if (sk->sk_type != SOCK_DGRAM || !unbound(sk))
        return 0;
    struct queued_links *queue = queue_of(sk);
    if (!queue)
        return 0;
    __u32 link = LINK_UNKNOWN;
    struct sk_buff *last = sk->sk_receive_queue.prev;
    // A receive on another processor may have taken it already.
    if (sk->sk_receive_queue.qlen != 0 && last) {
        const unsigned char *header = last->head + last->network_header;
        if (last->protocol == bpf_htons(ETH_P_IP)) {
            link = link_of_v4(kernel_cast(iphdr, header)->daddr);
        } else if (last->protocol == bpf_htons(ETH_P_IPV6)) {
            struct in6_addr *daddr = &kernel_cast(ipv6hdr, header)->daddr;
            link = link_of_v6(daddr->in6_u.u6_addr32[0], daddr->in6_u.u6_addr32[1],
                              daddr->in6_u.u6_addr32[2], daddr->in6_u.u6_addr32[3]);
        }
    }
    __u32 number = __sync_fetch_and_add(&queue->queued, 1);
    queue->entry[number & (QUEUE_ROOM - 1)] = ((number + 1) << 8) | (link & 0xff);
    return 0;
}

struct event_slot {
    struct trafficd_event event;
};
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct event_slot);
} event_scratch SEC(".maps");

// The CPU's event under construction, cleared, with its type and process.
static __always_inline struct trafficd_event *event_begin(__u32 type, __u32 tgid, __u64 start)
{
    __u32 zero = 0;
    struct event_slot *slot = bpf_map_lookup_elem(&event_scratch, &zero);
    if (!slot)
        return 0;
    struct trafficd_event *event = &slot->event;
    __builtin_memset(event, 0, sizeof *event);
    event->type = type;
    event->tgid = tgid;
    event->start = start;
    return event;
}

// 0 once sent; -1 when the ring was full (and counted as lost).
static __always_inline int send_event(struct trafficd_event *template_event)
{
    struct trafficd_event *event = bpf_ringbuf_reserve(&events, sizeof *event, 0);
    if (!event) {
        fault(TRAFFICD_FAULT_EVENTS_LOST);
        return -1;
    }
    __builtin_memcpy(event, template_event, sizeof *event);
    bpf_ringbuf_submit(event, 0);
    return 0;
}

// Out of the counting programs' way: runs once per daemon.
static __noinline int ask_queue_hook(__u32 tgid, __u64 start)
{
    if (__sync_val_compare_and_swap(&queue_hook, TRAFFICD_QUEUE_HOOK_OFF,
                                    TRAFFICD_QUEUE_HOOK_ASKED) != TRAFFICD_QUEUE_HOOK_OFF)
        return 0;
    struct trafficd_event *event = event_begin(TRAFFICD_EVENT_QUEUES, tgid, start);
    if (!event || send_event(event) != 0)
        queue_hook = TRAFFICD_QUEUE_HOOK_OFF;  // asked again by the next datagram
    return 0;
}

struct env_walk {
    unsigned long at;
    unsigned long end;
    struct env_scratch *buf;
    struct trafficd_event *event;
    int found;
    int unfinished;
};

static __always_inline int starts_with(const char *text, const char *prefix, int len)
{
    for (int i = 0; i < len; i++)
        if (text[i] != prefix[i])
            return 0;
    return 1;
}

// One environment entry: "KIVO_CP=" and "LD_PRELOAD=" are kept.
static long env_entry(__u32 index, void *data)
{
    struct env_walk *walk = data;
    if (walk->at >= walk->end)
        return 1;
    long len = bpf_probe_read_user_str(walk->buf->entry, sizeof walk->buf->entry,
                                       (const void *)walk->at);
    if (len <= 0)
        return 1;
    if (len >= (long)sizeof walk->buf->entry) {
        // Longer than the copy: where the next entry starts is not known here.
        walk->unfinished = 1;
        return 1;
    }
    walk->at += len;
    const char *entry = walk->buf->entry;
    if (starts_with(entry, "KIVO_CP=", 8)) {
        bpf_probe_read_kernel_str(walk->event->cp, sizeof walk->event->cp, entry + 8);
        walk->found = 1;
    } else if (starts_with(entry, "LD_PRELOAD=", 11)) {
        bpf_probe_read_kernel_str(walk->event->preload, sizeof walk->event->preload, entry + 11);
        walk->event->flags |= TRAFFICD_FLAG_PRELOAD;
    }
    return 0;
}

SEC("tp_btf/sched_process_exec")
int BPF_PROG(trafficd_exec, struct task_struct *task, int old_pid, struct linux_binprm *bprm)
{
    if (!in_our_netns(task))
        return 0;
    __u32 zero = 0;
    struct env_scratch *buf = bpf_map_lookup_elem(&scratch, &zero);
    struct trafficd_event *event =
        event_begin(TRAFFICD_EVENT_EXEC, BPF_CORE_READ(task, tgid), start_ticks(task));
    if (!buf || !event)
        return 0;

    // The environment as the new image received it: a program that rewrites
    // its own later (nginx's process titles) is caught here, before it runs.
    struct env_walk walk = {
        .at = BPF_CORE_READ(task, mm, env_start),
        .end = BPF_CORE_READ(task, mm, env_end),
        .buf = buf,
        .event = event,
    };
    bpf_loop(TRAFFICD_ENV_ENTRIES, env_entry, &walk, 0);
    if (!walk.found && (walk.unfinished || walk.at < walk.end)) {
        event->type = TRAFFICD_EVENT_LOOK;
        send_event(event);
        return 0;
    }

    __u32 tgid = event->tgid;
    if (!walk.found) {
        if (bpf_map_lookup_elem(&watched, &tgid)) {
            bpf_map_delete_elem(&watched, &tgid);
            __sync_fetch_and_add(&unwatched, 1);
            bpf_task_storage_delete(&threads, task);  // the one thread left
            event->type = TRAFFICD_EVENT_UNWATCH;
            send_event(event);
        }
        return 0;
    }
    struct trafficd_watch watch = {.start = event->start};
    __builtin_memcpy(watch.cp, event->cp, sizeof watch.cp);
    // A full map is the daemon's to log: the event tells it of the process.
    if (bpf_map_update_elem(&watched, &tgid, &watch, BPF_ANY) != 0)
        fault(TRAFFICD_FAULT_WATCHED_FULL);
    event->type = TRAFFICD_EVENT_EXEC;
    send_event(event);
    return 0;
}

SEC("tp_btf/sched_process_fork")
int BPF_PROG(trafficd_fork, struct task_struct *parent, struct task_struct *child)
{
    __u32 child_tgid = BPF_CORE_READ(child, tgid);
    // A new thread is part of its process, counted already.
    if (BPF_CORE_READ(child, pid) != (int)child_tgid)
        return 0;
    __u32 parent_tgid = BPF_CORE_READ(parent, tgid);
    struct trafficd_watch *from = bpf_map_lookup_elem(&watched, &parent_tgid);
    if (!from || !in_our_netns(child))
        return 0;
    // The child's start time is its own from the moment it exists.
    struct trafficd_watch watch = {.start = BPF_CORE_READ(child, start_boottime) / TICK_NS};
    __builtin_memcpy(watch.cp, from->cp, sizeof watch.cp);
    if (bpf_map_update_elem(&watched, &child_tgid, &watch, BPF_ANY) != 0)
        fault(TRAFFICD_FAULT_WATCHED_FULL);

    struct trafficd_event *event = event_begin(TRAFFICD_EVENT_FORK, child_tgid, watch.start);
    if (!event)
        return 0;
    event->parent_tgid = parent_tgid;
    event->parent_start = from->start;
    __builtin_memcpy(event->cp, from->cp, sizeof event->cp);
    send_event(event);
    return 0;
}

SEC("tp_btf/sched_process_exit")
int BPF_PROG(trafficd_exit, struct task_struct *task)
{
    // The thread group is over when its count of live threads reached zero.
    if (BPF_CORE_READ(task, signal, live.counter) != 0)
        return 0;
    __u32 tgid = BPF_CORE_READ(task, tgid);
    struct trafficd_watch *watch = bpf_map_lookup_elem(&watched, &tgid);
    if (!watch)
        return 0;
    __u64 start = watch->start;
    if (start != start_ticks(task))
        return 0;
    bpf_map_delete_elem(&watched, &tgid);
    struct trafficd_event *event = event_begin(TRAFFICD_EVENT_EXIT, tgid, start);
    if (event)
        send_event(event);
    return 0;
}
