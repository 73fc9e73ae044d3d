// kivo_linkfan with 32 and with 128 links in network namespaces of its own:
// the work of the first cycle (discovery included) and of a steady cycle,
// without the fixed pauses; the processes each starts, and the share of the
// time spent waiting for each tool. Run as root.
#include "getinfo.h"
#include "linkfan_cycle.h"
#include "linkfan_log.h"
#include "linkfan_shell.h"
#include "linkfan_track.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

extern unsigned long bench_commands;
extern unsigned long bench_paused_usec;

namespace {

// Multipath mode, the costlier of the two.
linkfan_state tool;

// Enters a fresh network namespace with ppp0 to ppp(count-1), each with IPv4
// and peer addresses and, when ipv6, a global IPv6 address, made in one batch
// so the set-up takes a moment.
int enter_links(unsigned count, bool ipv6 = true)
{
    // The namespace left behind stays until the end: torn down now, its 128
    // links would be taken apart by the kernel while later figures are taken,
    // holding the lock that every probe and ip command needs.
    if (open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC) < 0)
        return -1;
    if (sandbox_enter(false) != 0)
        return -1;
    temp_dir dir("linkfan-bench");
    std::string batch = dir / "links";
    FILE *out = fopen(batch.c_str(), "w");
    if (!out)
        return -1;
    for (unsigned n = 0; n < count; n++) {
        fprintf(out, "tuntap add dev ppp%u mode tun\n", n);
        fprintf(out, "addr add 10.%u.%u.2 peer 10.%u.%u.1 dev ppp%u\n", n / 100, n % 100, n / 100,
                n % 100, n);
        if (ipv6) {
            fprintf(out, "addr add 2001:db8:%x::2/64 dev ppp%u nodad\n", n, n);
            fprintf(out, "addr add fe80::2 peer fe80::1 dev ppp%u nodad\n", n);
        }
        else
            fprintf(out, "link set ppp%u addrgenmode none\n", n);
        fprintf(out, "link set ppp%u up\n", n);
    }
    fclose(out);
    if (sandbox_sh("ip -batch " + batch) != 0)
        return -1;
    close(inet_sock);
    return linkfan_probe_open();
}

struct totals {
    unsigned long commands = 0, paused = 0;
    linkfan_shell_stats cost = {};
    double wall = 0;
};

void begin()
{
    bench_commands = bench_paused_usec = 0;
    linkfan_shell_cost = {};
}

void end(totals *t, double wall)
{
    t->commands += bench_commands;
    t->paused += bench_paused_usec;
    t->cost.processes += linkfan_shell_cost.processes;
    t->cost.batches += linkfan_shell_cost.batches;
    for (int k = 0; k < LINKFAN_TOOL_COUNT; k++)
        t->cost.seconds[k] += linkfan_shell_cost.seconds[k];
    t->wall += wall;
}

void report(benchmark::State &state, const totals &t)
{
    double n = static_cast<double>(state.iterations());
    state.counters["commands"] = t.commands / n;
    state.counters["processes"] = t.cost.processes / n;
    state.counters["ip_batches"] = t.cost.batches / n;
    state.counters["pauses_s"] = t.paused / n / 1e6;
    // The rest of the wall time is the tool's own: probes, logging, files.
    state.counters["share_ip"] = t.cost.seconds[LINKFAN_TOOL_IP] / t.wall;
    state.counters["share_iptables"] = t.cost.seconds[LINKFAN_TOOL_IPTABLES] / t.wall;
    state.counters["share_other"] = t.cost.seconds[LINKFAN_TOOL_OTHER] / t.wall;
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Discovery and the first cycle, timed into t.
void run_first_cycle(totals *t)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    linkfan_cycle_init(&tool, 1);
    begin();
    linkfan_discover(&tool);
    linkfan_cycle(&tool);
    end(t, seconds_since(start));
}

// Whether the benchmark's links have IPv6: its second argument, 1 (dual
// stack) when there is none.
bool dual_stack(const benchmark::State &state)
{
    return state.range(1) != 0;
}

// A box that boots: fresh links, nothing configured yet. The second argument
// 0 gives the links IPv4 only.
void BM_FirstCycle(benchmark::State &state)
{
    totals t;
    for (auto _ : state) {
        state.PauseTiming();
        if (enter_links(static_cast<unsigned>(state.range(0)), dual_stack(state)) != 0) {
            state.SkipWithError("cannot make the links");
            return;
        }
        state.ResumeTiming();
        run_first_cycle(&t);
    }
    report(state, t);
}

// Links as the argument says, discovered and run through the given number
// of cycles; false (the benchmark skipped) when they cannot be made.
// With -t: the IPv4 targets of the manual's example, and one IPv6 one.
void track_targets()
{
    linkfan_targets targets{};
    inet_pton(AF_INET, "223.5.5.5", targets.addr[LINKFAN_IPV4][0]);
    inet_pton(AF_INET, "119.29.29.29", targets.addr[LINKFAN_IPV4][1]);
    inet_pton(AF_INET6, "2400:3200::1", targets.addr[LINKFAN_IPV6][0]);
    targets.count[LINKFAN_IPV4] = 2;
    targets.count[LINKFAN_IPV6] = 1;
    linkfan_track_init(&tool, targets);
}

bool configured_links(benchmark::State &state, int cycles, bool track = false, bool ipv6 = true)
{
    if (enter_links(static_cast<unsigned>(state.range(0)), ipv6) != 0) {
        state.SkipWithError("cannot make the links");
        return false;
    }
    linkfan_cycle_init(&tool, 1);
    if (track)
        track_targets();
    linkfan_discover(&tool);
    for (int k = 0; k < cycles; k++)
        linkfan_cycle(&tool);
    return true;
}

// The program started again over links it configured before: every rule it
// deletes first is there, and iptables must find it. The second argument as
// for BM_FirstCycle.
void BM_FirstCycleAgain(benchmark::State &state)
{
    if (!configured_links(state, 1, false, dual_stack(state)))
        return;
    totals t;
    for (auto _ : state) {
        run_first_cycle(&t);
    }
    report(state, t);
}

// The second argument 1 runs with -t: the probe sockets of every link in
// the end pause's poll, the status file at the cycle's end, and in every
// cycle one round due at its start; 2 the same without the round. (A real
// cycle of 12.6 s holds six rounds, sent in its pauses; BM_ProbeRound gives
// the price of one.) The tun links have no far end, so no reply comes and no
// link changes state while the figures are taken.
void BM_SteadyCycle(benchmark::State &state)
{
    // The first cycle configures every link; the second does it again since
    // the discovery records predate the queue length of 1000.
    if (!configured_links(state, 2, state.range(1) != 0))
        return;
    totals t;
    for (auto _ : state) {
        if (state.range(1) == 1) {
            tool.track.round_open = 0;
            tool.track.next_round_usec = 0;
        }
        struct timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        begin();
        linkfan_cycle(&tool);
        end(&t, seconds_since(start));
    }
    report(state, t);
}

// One round of -t over every link: three echo requests each.
void BM_ProbeRound(benchmark::State &state)
{
    if (!configured_links(state, 1, true))
        return;
    for (auto _ : state) {
        tool.track.round_open = 0;
        tool.track.next_round_usec = 0;
        linkfan_track_service(&tool, linkfan_monotonic_usec());
    }
    state.counters["requests"] = 3.0 * static_cast<double>(state.range(0));
    state.counters["requests_per_s"] = 3.0 * static_cast<double>(state.range(0)) /
                                       (linkfan_round_usec / 1e6);
}

void BM_ProbeAll128(benchmark::State &state)
{
    if (enter_links(LINKFAN_MAX_LINKS) != 0) {
        state.SkipWithError("cannot make the links");
        return;
    }
    pppoe_info info;
    char name[16];
    for (auto _ : state) {
        for (unsigned i = 0; i < LINKFAN_MAX_LINKS; i++) {
            snprintf(name, sizeof name, "ppp%u", i);
            benchmark::DoNotOptimize(if_fetch(name, &info));
        }
    }
}

BENCHMARK(BM_FirstCycle)
    ->Args({32, 1})
    ->Args({128, 1})
    ->Args({128, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_FirstCycleAgain)
    ->Args({32, 1})
    ->Args({128, 1})
    ->Args({128, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);
BENCHMARK(BM_SteadyCycle)
    ->Args({32, 0})
    ->Args({128, 0})
    ->Args({128, 1})
    ->Args({128, 2})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);
BENCHMARK(BM_ProbeRound)->Arg(128)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProbeAll128)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (sandbox_enter(true) != 0)
        return 1;
    temp_dir etc("linkfan-bench-etc"), work("linkfan-bench-work");
    if (etc.path.empty() || work.path.empty() ||
        sandbox_bind(etc.path.c_str(), "/etc/iproute2") != 0 || chdir(work.path.c_str()) != 0)
        return 1;
    log_file = fopen("linkfan.log", "w+");
    // The run log's console copy and the tools' own complaints are no figures.
    int null_fd = open("/dev/null", O_WRONLY);
    if (!log_file || null_fd < 0)
        return 1;
    dup2(null_fd, 2);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
