// What the kernel must offer, and loading the counting programs into it.
#include "kivo_trafficd.h"

#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "kivo_trafficd.skel.h"

const char *const trafficd_tracepoints[] = {
    "sock:sock_send_length",
    "sock:sock_recv_length",
    "net:net_dev_queue",
    "skb:consume_skb",
    "sched:sched_process_exec",
    "sched:sched_process_fork",
    "sched:sched_process_exit",
};
const int trafficd_tracepoint_count =
    static_cast<int>(sizeof trafficd_tracepoints / sizeof trafficd_tracepoints[0]);

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

int trafficd_attach(unsigned int netns_inum, char *message, size_t size)
{
    kivo_trafficd_bpf *skel = kivo_trafficd_bpf__open();
    if (!skel) {
        snprintf(message, size, "cannot open the BPF object: %s", strerror(errno));
        return -1;
    }
    skel->rodata->netns_inum = netns_inum;
    int err = kivo_trafficd_bpf__load(skel);
    if (err) {
        snprintf(message, size, "cannot load the BPF programs: %s", strerror(-err));
        kivo_trafficd_bpf__destroy(skel);
        return -1;
    }
    // The links of the local addresses are in place before the first byte counts.
    char links_message[256];
    if (trafficd_links_open(bpf_map__fd(skel->maps.links), links_message,
                            sizeof links_message) != 0)
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
