// kivo_trafficd: counts the socket bytes of every content-provider process in
// the kernel, whatever the program is built with, and reports them to the local
// traffic agent every 20 seconds, as libkivotraffic does from inside a process.
#include "kivo_trafficd.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <errno.h>
#include <getopt.h>
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
    "  -h  print this help and exit\n"
    "  --metrics=FILE  write the metrics for node_exporter to FILE every cycle\n";

static const struct option long_options[] = {
    {"metrics", required_argument, nullptr, 'm'},
    {nullptr, 0, nullptr, 0},
};

// The last cycle after SIGTERM ends within this, so the stop takes under 2 s.
constexpr int last_cycle_ms = 1500;

static int trafficd_on_event(void *, void *data, size_t size)
{
    const auto *event = static_cast<const trafficd_event *>(data);
    if (size < sizeof(trafficd_event))
        return 0;
    if (event->type == TRAFFICD_EVENT_QUEUES)
        trafficd_kernel_queues();
    else
        trafficd_table_event(event);
    return 0;
}

// Logs the kernel side's failure counters when they grew.
static void trafficd_check_faults(void)
{
    static unsigned long long seen[TRAFFICD_FAULTS];
    static const char *const what[TRAFFICD_FAULTS] = {
        "the kernel's totals map is full: %llu links of processes count as other or not at all",
        "the kernel's watched map is full: %llu processes not counted",
        "the kernel's event ring was full: %llu events lost",
    };
    unsigned long long counts[TRAFFICD_FAULTS];
    trafficd_kernel_faults(counts);
    for (unsigned int i = 0; i < TRAFFICD_FAULTS; i++) {
        if (counts[i] != seen[i]) {
            trafficd_log(what[i], counts[i]);
            seen[i] = counts[i];
        }
    }
}

// A report cycle: the processes the table missed or lost, their totals, the
// reports, then the metrics file with what the cycle found.
static void trafficd_cycle(long long deadline_ms)
{
    trafficd_table_sync();
    trafficd_table_review();
    trafficd_table_fold();
    trafficd_report_cycle(deadline_ms);
    trafficd_metrics_write();
}

static int trafficd_loop(int signal_fd, ring_buffer *ring)
{
    long long next_cycle = trafficd_now_ms() + report_interval_seconds * 1000LL;
    for (;;) {
        long long wait = next_cycle - trafficd_now_ms();
        struct pollfd fds[3] = {{ring_buffer__epoll_fd(ring), POLLIN, 0},
                                {signal_fd, POLLIN, 0},
                                {trafficd_links.news_fd, POLLIN, 0}};
        int ready = poll(fds, 3, wait > 0 ? static_cast<int>(wait) : 0);
        if (ready < 0 && errno != EINTR) {
            trafficd_log("poll failed: %s", strerror(errno));
            return trafficd_exit_failure;
        }
        // Address news first: bytes count for a new address's link from now on.
        // (An overflow of the news shows as an error, and is read as news too.)
        if (fds[2].revents != 0)
            trafficd_links_read();
        ring_buffer__consume(ring);
        if (fds[1].revents & POLLIN) {
            struct signalfd_siginfo info;
            if (read(signal_fd, &info, sizeof info) == sizeof info) {
                // One last cycle, bounded, so that what was counted goes out
                // and into the file; then the file goes, so that it does not
                // outlive the daemon.
                trafficd_cycle(trafficd_now_ms() + last_cycle_ms);
                trafficd_metrics_remove();
                trafficd_log("stopped by signal %u", info.ssi_signo);
                return trafficd_exit_ok;
            }
        }
        if (trafficd_now_ms() >= next_cycle) {
            trafficd_cycle(0);
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
    while ((opt = getopt_long(argc, argv, "dh", long_options, nullptr)) != -1) {
        switch (opt) {
        case 'd':
            trafficd_run.debug = true;
            break;
        case 'm':
            if (!trafficd_metrics_set_file(optarg)) {
                trafficd_log("--metrics needs a file name, of at most %zu bytes",
                             KIVO_TEXTFILE_PATH_SIZE - sizeof ".tmp");
                return trafficd_exit_failure;
            }
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

    // SIGTERM and SIGINT arrive through a descriptor the loop waits on, from
    // now on: one during the load still gets its last cycle.
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
    // The metrics file is there from now on, with nothing counted yet; only a
    // stop removes it. An exit before the loop, a crash or SIGKILL leaves it,
    // and its age tells that the daemon is not running. A kernel that cannot
    // count leaves no folder in bpffs; a second daemon of the namespace goes
    // before it touches the file, which is the running one's.
    char message[512];
    if (trafficd_kernel_check(trafficd_tracepoints, trafficd_tracepoint_count, message,
                              sizeof message) != 0) {
        trafficd_metrics_write();
        trafficd_log("%s", message);
        return trafficd_exit_kernel;
    }
    unsigned int netns = trafficd_proc_netns(0);
    if (trafficd_namespace_hold(netns, message, sizeof message) < 0) {
        trafficd_log("%s", message);
        return trafficd_exit_failure;
    }
    trafficd_metrics_write();

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
    // What a daemon before counted, then what the kernel watches, then the
    // processes already running: none falls between.
    int taken = trafficd_run.took_over ? trafficd_table_take_over() : 0;
    if (trafficd_run.took_over)
        trafficd_table_sync();
    trafficd_table_scan_proc();
    if (trafficd_run.took_over) {
        trafficd_table_baseline();
        trafficd_log("took over what the daemon before counted in %s: %d processes",
                     trafficd_run.pin_folder, taken);
    }
    trafficd_log("started: counting processes with KIVO_CP in network namespace %u", netns);
    return trafficd_loop(signal_fd, ring);
}
