// kivo_trafficd: counts the socket bytes of every content-provider process in
// the kernel, whatever the program is built with, and reports them to the local
// traffic agent every 20 seconds, as libkivotraffic does from inside a process.
#include "kivo_trafficd.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "kivo_traffic_wire.h"
#include "kivo_trafficd.skel.h"

static const char usage_text[] =
    "usage: kivo_trafficd [-d] [-h]\n"
    "  -d  log every process and report on standard error\n"
    "  -h  print this help and exit\n";

// The last cycle after SIGTERM ends within this, so the stop takes under 2 s.
constexpr int last_cycle_ms = 1500;

static int trafficd_on_event(void *, void *data, size_t size)
{
    if (size >= sizeof(trafficd_event))
        trafficd_table_event(static_cast<const trafficd_event *>(data));
    return 0;
}

// Logs the kernel side's failure counters when they grew.
static void trafficd_check_faults(void)
{
    static unsigned long long seen[TRAFFICD_FAULTS];
    static const char *const what[TRAFFICD_FAULTS] = {
        "the kernel's totals map is full: %llu new processes not counted",
        "the kernel's watched map is full: %llu fork children not counted",
        "the kernel's event ring was full: %llu events lost",
    };
    int fd = bpf_map__fd(trafficd_run.skel->maps.faults);
    for (unsigned int i = 0; i < TRAFFICD_FAULTS; i++) {
        unsigned long long count = 0;
        if (bpf_map_lookup_elem(fd, &i, &count) == 0 && count != seen[i]) {
            trafficd_log(what[i], count);
            seen[i] = count;
        }
    }
}

static int trafficd_loop(int signal_fd, ring_buffer *ring)
{
    long long next_cycle = trafficd_now_ms() + report_interval_seconds * 1000LL;
    for (;;) {
        long long wait = next_cycle - trafficd_now_ms();
        struct pollfd fds[2] = {{ring_buffer__epoll_fd(ring), POLLIN, 0}, {signal_fd, POLLIN, 0}};
        int ready = poll(fds, 2, wait > 0 ? static_cast<int>(wait) : 0);
        if (ready < 0 && errno != EINTR) {
            trafficd_log("poll failed: %s", strerror(errno));
            return trafficd_exit_failure;
        }
        ring_buffer__consume(ring);
        if (fds[1].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(signal_fd, &info, sizeof info) == sizeof info) {
                // One last cycle, bounded, so that what was counted goes out.
                trafficd_table_sync();
                trafficd_table_review();
                trafficd_report_cycle(trafficd_now_ms() + last_cycle_ms);
                trafficd_log("stopped by signal %u", info.ssi_signo);
                return trafficd_exit_ok;
            }
        }
        if (trafficd_now_ms() >= next_cycle) {
            trafficd_table_sync();
            trafficd_table_review();
            trafficd_report_cycle(0);
            trafficd_check_faults();
            next_cycle += report_interval_seconds * 1000LL;
            if (next_cycle < trafficd_now_ms())
                next_cycle = trafficd_now_ms() + report_interval_seconds * 1000LL;
        }
    }
}

int main(int argc, char **argv)
{
    int opt;
    while ((opt = getopt(argc, argv, "dh")) != -1) {
        switch (opt) {
        case 'd':
            trafficd_run.debug = true;
            break;
        case 'h':
            fputs(usage_text, stdout);
            return trafficd_exit_ok;
        default:
            fputs(usage_text, stderr);
            return trafficd_exit_failure;
        }
    }
    if (optind < argc) {
        fputs(usage_text, stderr);
        return trafficd_exit_failure;
    }
    if (geteuid() != 0) {
        trafficd_log("must run as root (it loads BPF programs)");
        return trafficd_exit_failure;
    }

    char message[512];
    if (trafficd_kernel_check(trafficd_tracepoints, trafficd_tracepoint_count, message,
                              sizeof message) != 0) {
        trafficd_log("%s", message);
        return trafficd_exit_kernel;
    }

    // SIGTERM and SIGINT arrive through a descriptor the loop waits on.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int signal_fd = signalfd(-1, &stop, SFD_CLOEXEC);
    trafficd_run.signal_fd = signal_fd;
    if (signal_fd < 0) {
        trafficd_log("signalfd failed: %s", strerror(errno));
        return trafficd_exit_failure;
    }

    unsigned int netns = trafficd_proc_netns(0);
    if (trafficd_attach(netns, message, sizeof message) != 0) {
        trafficd_log("%s", message);
        return trafficd_exit_failure;
    }
    ring_buffer *ring =
        ring_buffer__new(bpf_map__fd(trafficd_run.skel->maps.events), trafficd_on_event,
                         nullptr, nullptr);
    if (!ring) {
        trafficd_log("cannot read the kernel's event ring: %s", strerror(errno));
        return trafficd_exit_failure;
    }
    // Attached first, then the processes already running: none falls between.
    trafficd_table_scan_proc();
    trafficd_log("started: counting processes with KIVO_CP in network namespace %u", netns);
    return trafficd_loop(signal_fd, ring);
}
