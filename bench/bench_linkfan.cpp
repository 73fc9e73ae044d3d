// kivo_linkfan with 128 links (ppp0 to ppp127) in a namespace of its own: the
// work of the first cycle (discovery included) and of a steady cycle, without
// the fixed pauses, and the processes each starts. Run as root.
#include "getinfo.h"
#include "linkfan_cycle.h"
#include "linkfan_log.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

extern unsigned long bench_commands;
extern unsigned long bench_paused_usec;

namespace {

// Multipath mode, the costlier of the two.
linkfan_state tool;

// Every command is one shell (system or popen) that starts one tool.
constexpr double processes_per_command = 2;

void report(benchmark::State &state, unsigned long commands, unsigned long paused)
{
    double n = static_cast<double>(state.iterations());
    state.counters["commands"] = commands / n;
    state.counters["processes"] = processes_per_command * commands / n;
    state.counters["pauses_s"] = paused / n / 1e6;
}

void BM_FirstCycle128(benchmark::State &state)
{
    unsigned long commands = 0, paused = 0;
    for (auto _ : state) {
        linkfan_cycle_init(&tool, 1);
        bench_commands = bench_paused_usec = 0;
        linkfan_discover(&tool);
        linkfan_cycle(&tool);
        commands += bench_commands;
        paused += bench_paused_usec;
    }
    report(state, commands, paused);
}

void BM_SteadyCycle128(benchmark::State &state)
{
    // The first cycle configures every link; the second does it again since
    // the discovery records predate the queue length of 1000.
    linkfan_cycle_init(&tool, 1);
    linkfan_discover(&tool);
    linkfan_cycle(&tool);
    linkfan_cycle(&tool);
    unsigned long commands = 0, paused = 0;
    for (auto _ : state) {
        bench_commands = bench_paused_usec = 0;
        linkfan_cycle(&tool);
        commands += bench_commands;
        paused += bench_paused_usec;
    }
    report(state, commands, paused);
}

void BM_ProbeAll128(benchmark::State &state)
{
    pppoe_info info;
    char name[16];
    for (auto _ : state) {
        for (unsigned i = 0; i < LINKFAN_MAX_LINKS; i++) {
            snprintf(name, sizeof name, "ppp%u", i);
            benchmark::DoNotOptimize(if_fetch(name, &info));
        }
    }
}

BENCHMARK(BM_FirstCycle128)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_SteadyCycle128)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_ProbeAll128)->Unit(benchmark::kMillisecond);

// 128 point-to-point links with IPv4, peer and IPv6 addresses, made in one
// batch so the set-up takes a moment rather than minutes.
int make_links()
{
    std::string dir = sandbox_tempdir("linkfan-bench");
    std::string batch = dir + "/links";
    FILE *out = fopen(batch.c_str(), "w");
    if (!out)
        return -1;
    for (unsigned n = 0; n < LINKFAN_MAX_LINKS; n++) {
        fprintf(out, "tuntap add dev ppp%u mode tun\n", n);
        fprintf(out, "addr add 10.%u.%u.2 peer 10.%u.%u.1 dev ppp%u\n", n / 100, n % 100, n / 100,
                n % 100, n);
        fprintf(out, "addr add 2001:db8:%x::2/64 dev ppp%u nodad\n", n, n);
        fprintf(out, "link set ppp%u up\n", n);
    }
    fclose(out);
    return sandbox_sh("ip -batch " + batch);
}

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (sandbox_enter(true) != 0)
        return 1;
    std::string etc = sandbox_tempdir("linkfan-bench-etc");
    std::string work = sandbox_tempdir("linkfan-bench-work");
    if (etc.empty() || work.empty() || sandbox_bind(etc.c_str(), "/etc/iproute2") != 0 ||
        chdir(work.c_str()) != 0)
        return 1;
    if (make_links() != 0) {
        fprintf(stderr, "bench_linkfan: cannot make the links\n");
        return 1;
    }
    linkfan_probe_open();
    log_file = fopen("linkfan.log", "w+");
    // The run log's console copy and the tools' own complaints are no figures.
    int null_fd = open("/dev/null", O_WRONLY);
    if (inet_sock < 0 || !log_file || null_fd < 0)
        return 1;
    dup2(null_fd, 2);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
