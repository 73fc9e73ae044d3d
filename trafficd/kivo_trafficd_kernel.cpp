// What the kernel must offer, and loading the counting programs into it.
#include "kivo_trafficd.h"

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <string.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "kivo_trafficd.skel.h"

const char *const trafficd_tracepoints[] = {
    "sock:sock_send_length",
    "sock:sock_recv_length",
    "sched:sched_process_exec",
    "sched:sched_process_fork",
    "sched:sched_process_exit",
};
const int trafficd_tracepoint_count =
    static_cast<int>(sizeof trafficd_tracepoints / sizeof trafficd_tracepoints[0]);

// What only a datagram's own link needs: without it the daemon runs, and
// datagrams count for the link of their socket's address, as streams do.
constexpr struct {
    const char *tracepoint;
    const char *program;
} datagram_tracepoints[] = {
    {"fib:fib_table_lookup", "trafficd_route4"},
    {"fib6:fib6_table_lookup", "trafficd_route6"},
    {"sock:sk_data_ready", "trafficd_queued"},
};

static void trafficd_datagram_programs(kivo_trafficd_bpf *skel)
{
    for (const auto &t : datagram_tracepoints) {
        char message[512];
        if (trafficd_kernel_check(&t.tracepoint, 1, message, sizeof message) == 0)
            continue;
        bpf_program__set_autoload(bpf_object__find_program_by_name(skel->obj, t.program), false);
        trafficd_log("this kernel lacks the tracepoint %s: datagrams count for the link of "
                     "their socket's address",
                     t.tracepoint);
    }
    // The queue hook's tracepoint fires for every segment of every stream on
    // the box: it is attached once a counted process needs it.
    bpf_program__set_autoattach(skel->progs.trafficd_queued, false);
}

void trafficd_kernel_queues(void)
{
    kivo_trafficd_bpf *skel = trafficd_run.skel;
    if (!skel || skel->links.trafficd_queued || !bpf_program__autoload(skel->progs.trafficd_queued))
        return;
    skel->links.trafficd_queued = bpf_program__attach(skel->progs.trafficd_queued);
    if (!skel->links.trafficd_queued) {
        trafficd_log("cannot attach to sock:sk_data_ready: %s; received datagrams count for the "
                     "link of their socket's address",
                     strerror(errno));
        return;
    }
    skel->bss->queue_hook = TRAFFICD_QUEUE_HOOK_ON;
    trafficd_note("datagrams come to a socket bound to no address: each one's destination is "
                  "noted as it is queued");
}

void trafficd_kernel_unwatched(void)
{
    if (trafficd_run.skel)
        __atomic_fetch_add(&trafficd_run.skel->bss->unwatched, 1, __ATOMIC_SEQ_CST);
}

// libbpf's own warnings go to the log with -d only; a failure is logged by the caller.
static int trafficd_libbpf_print(enum libbpf_print_level level, const char *format, va_list args)
{
    if (!trafficd_run.debug || level == LIBBPF_DEBUG)
        return 0;
    return vfprintf(stderr, format, args);
}

int trafficd_kernel_check(const char *const *names, int count, char *message, size_t size)
{
    libbpf_set_print(trafficd_libbpf_print);
    struct btf *btf = btf__load_vmlinux_btf();
    if (!btf) {
        snprintf(message, size,
                 "this kernel has no BTF type information (/sys/kernel/btf/vmlinux); "
                 "use libkivotraffic instead");
        return trafficd_exit_kernel;
    }
    // A tracepoint that BPF can attach to has a btf_trace_ type of its event name.
    char missing[256] = "";
    size_t used = 0;
    for (int i = 0; i < count; i++) {
        const char *event = strchr(names[i], ':');
        event = event ? event + 1 : names[i];
        char type[128];
        snprintf(type, sizeof type, "btf_trace_%s", event);
        if (btf__find_by_name_kind(btf, type, BTF_KIND_TYPEDEF) >= 0)
            continue;
        int n = snprintf(missing + used, sizeof missing - used, "%s%s", used ? ", " : "",
                         names[i]);
        if (n > 0)
            used = used + static_cast<size_t>(n) < sizeof missing ? used + static_cast<size_t>(n)
                                                                 : sizeof missing - 1;
    }
    btf__free(btf);
    if (used) {
        snprintf(message, size,
                 "this kernel lacks the tracepoint %s (Linux 6.3 or later has them); "
                 "use libkivotraffic instead",
                 missing);
        return trafficd_exit_kernel;
    }
    if (libbpf_probe_bpf_prog_type(BPF_PROG_TYPE_RAW_TRACEPOINT, nullptr) != 1) {
        snprintf(message, size,
                 "this kernel does not run BPF tracing programs (bpf(2) refused); "
                 "use libkivotraffic instead");
        return trafficd_exit_kernel;
    }
    return 0;
}

// The maps that outlive the daemon, pinned in bpffs: what the kernel counted,
// what the agent accepted, the processes counted and the events not yet read.
// The layout mark goes last, so a folder without it was never whole.
constexpr const char *pinned_maps[] = {"watched", "totals", "marks", "events", "layout"};
constexpr int pinned_count = static_cast<int>(sizeof pinned_maps / sizeof pinned_maps[0]);

static bpf_map *pins_map(kivo_trafficd_bpf *skel, int i)
{
    return bpf_object__find_map_by_name(skel->obj, pinned_maps[i]);
}

// A pinned map that a daemon of this build made: the same kind and sizes,
// and for the layout mark, this build's.
static bool pins_fit(int fd, const bpf_map *map)
{
    bpf_map_info info{};
    __u32 length = sizeof info;
    if (bpf_obj_get_info_by_fd(fd, &info, &length) != 0 ||
        info.type != static_cast<__u32>(bpf_map__type(map)) ||
        info.key_size != bpf_map__key_size(map) || info.value_size != bpf_map__value_size(map) ||
        info.max_entries != bpf_map__max_entries(map) || info.map_flags != bpf_map__map_flags(map))
        return false;
    if (strcmp(bpf_map__name(map), "layout") != 0)
        return true;
    __u32 key = 0;
    __u64 mark = 0;
    return bpf_map_lookup_elem(fd, &key, &mark) == 0 && mark == TRAFFICD_LAYOUT;
}

static void pins_path(char *path, size_t size, const char *name)
{
    snprintf(path, size, "%s/%s", trafficd_run.pin_folder, name);
}

// Finds the maps a daemon before left in the folder, and has the skeleton
// take them; removes them when they are of another build. True when taken.
static bool pins_take(kivo_trafficd_bpf *skel)
{
    int fds[pinned_count];
    int found = 0;
    bool fit = true;
    for (int i = 0; i < pinned_count; i++) {
        char path[sizeof trafficd_run.pin_folder + 16];
        pins_path(path, sizeof path, pinned_maps[i]);
        fds[i] = bpf_obj_get(path);
        if (fds[i] >= 0) {
            found++;
            fit = fit && pins_fit(fds[i], pins_map(skel, i));
        }
    }
    bool take = found == pinned_count && fit;
    for (int i = 0; i < pinned_count; i++) {
        if (take)
            bpf_map__reuse_fd(pins_map(skel, i), fds[i]);
        if (fds[i] >= 0)
            close(fds[i]);
    }
    if (found > 0 && !take) {
        for (int i = 0; i < pinned_count; i++) {
            char path[sizeof trafficd_run.pin_folder + 16];
            pins_path(path, sizeof path, pinned_maps[i]);
            unlink(path);
        }
        trafficd_log("the maps pinned in %s are of another build; starting afresh",
                     trafficd_run.pin_folder);
    }
    return take;
}

// Pins the maps a fresh start made, the layout mark last.
static void pins_leave(kivo_trafficd_bpf *skel)
{
    __u32 key = 0;
    __u64 mark = TRAFFICD_LAYOUT;
    bpf_map_update_elem(bpf_map__fd(skel->maps.layout), &key, &mark, BPF_ANY);
    for (int i = 0; i < pinned_count; i++) {
        char path[sizeof trafficd_run.pin_folder + 16];
        pins_path(path, sizeof path, pinned_maps[i]);
        if (bpf_map__pin(pins_map(skel, i), path) != 0) {
            trafficd_log("cannot pin the maps in %s: %s; what is counted goes with the daemon",
                         trafficd_run.pin_folder, strerror(errno));
            for (int k = 0; k < i; k++) {
                pins_path(path, sizeof path, pinned_maps[k]);
                unlink(path);
            }
            return;
        }
    }
}

// The daemon's hold on its network namespace: an abstract socket name, which
// belongs to the namespace whatever bpffs each daemon sees (one without any
// still counts the same processes, and the agent would take their bytes
// twice). 0, or -1 with a message when another daemon holds it.
static int hold_namespace(unsigned int netns_inum, char *message, size_t size)
{
    static const char name[] = "kivo_trafficd";
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name, sizeof name - 1);
    const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + sizeof name);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr *>(&addr), len) == 0)
        return 0;  // held until the daemon ends
    if (errno != EADDRINUSE)
        snprintf(message, size, "cannot hold the name of network namespace %u: %s", netns_inum,
                 strerror(errno));
    else if (trafficd_run.pin_folder[0] != '\0')
        snprintf(message, size, "another kivo_trafficd counts network namespace %u (it holds %s)",
                 netns_inum, trafficd_run.pin_folder);
    else
        snprintf(message, size, "another kivo_trafficd counts network namespace %u", netns_inum);
    if (fd >= 0)
        close(fd);
    return -1;
}

int trafficd_namespace_hold(unsigned int netns_inum, char *message, size_t size)
{
    struct statfs fs;
    const bool bpffs = statfs(trafficd_pin_root, &fs) == 0 && fs.f_type == BPF_FS_MAGIC;
    trafficd_run.pin_folder[0] = '\0';
    if (bpffs)
        snprintf(trafficd_run.pin_folder, sizeof trafficd_run.pin_folder, "%s/kivo_trafficd/net%u",
                 trafficd_pin_root, netns_inum);
    if (hold_namespace(netns_inum, message, size) != 0)
        return -1;
    if (!bpffs) {
        trafficd_log("no bpffs at %s: what is counted goes with the daemon", trafficd_pin_root);
        return 1;
    }
    char parent[sizeof trafficd_run.pin_folder];
    snprintf(parent, sizeof parent, "%s/kivo_trafficd", trafficd_pin_root);
    mkdir(parent, 0700);
    if (mkdir(trafficd_run.pin_folder, 0700) != 0 && errno != EEXIST) {
        trafficd_log("cannot make %s: %s; what is counted goes with the daemon",
                     trafficd_run.pin_folder, strerror(errno));
        trafficd_run.pin_folder[0] = '\0';
        return 1;
    }
    return 0;
}

int trafficd_attach(unsigned int netns_inum, char *message, size_t size)
{
    kivo_trafficd_bpf *skel = kivo_trafficd_bpf__open();
    if (!skel) {
        snprintf(message, size, "cannot open the BPF object: %s", strerror(errno));
        return -1;
    }
    skel->rodata->netns_inum = netns_inum;
    trafficd_datagram_programs(skel);
    int pins = trafficd_run.pin_folder[0] != '\0' ? 0 : 1;
    trafficd_run.took_over = pins == 0 && pins_take(skel);
    int err = kivo_trafficd_bpf__load(skel);
    if (err) {
        snprintf(message, size, "cannot load the BPF programs: %s", strerror(-err));
        kivo_trafficd_bpf__destroy(skel);
        return -1;
    }
    if (pins == 0 && !trafficd_run.took_over)
        pins_leave(skel);
    // The links of the local addresses are in place before the first byte counts.
    char links_message[256];
    if (trafficd_links_open(bpf_map__fd(skel->maps.links), bpf_map__fd(skel->maps.devices),
                            links_message, sizeof links_message) != 0)
        trafficd_log("%s; bytes count as lo or other", links_message);
    err = kivo_trafficd_bpf__attach(skel);
    if (err) {
        snprintf(message, size, "cannot attach the BPF programs: %s", strerror(-err));
        kivo_trafficd_bpf__destroy(skel);
        return -1;
    }
    trafficd_run.skel = skel;
    trafficd_run.watched_fd = bpf_map__fd(skel->maps.watched);
    trafficd_run.totals_fd = bpf_map__fd(skel->maps.totals);
    trafficd_run.marks_fd = bpf_map__fd(skel->maps.marks);
    trafficd_run.faults_fd = bpf_map__fd(skel->maps.faults);
    trafficd_run.cpus = libbpf_num_possible_cpus();
    return 0;
}

void trafficd_kernel_faults(unsigned long long counts[TRAFFICD_FAULTS])
{
    for (unsigned int i = 0; i < TRAFFICD_FAULTS; i++) {
        counts[i] = 0;
        if (trafficd_run.faults_fd >= 0)
            bpf_map_lookup_elem(trafficd_run.faults_fd, &i, &counts[i]);
    }
}
