// How soon kivo_ddns follows its uplink: the time from a change of ppp0's
// address to DNSPod's Record.Modify for the new one, for an IPv4 address
// changed in place, a redial (the link deleted and made again with a new
// address) and an IPv6 address changed in place (--type=AAAA), each over N
// trials with the median and the maximum; then the DNSPod requests that a
// storm of 20 changes in 10 s brings.
//
//   bench_ddns_redial [--trials=N] [--ddns=PATH]
//
// As root. The box is a network namespace of its own whose ppp0 is a veth
// pair to a second one that holds the stand-ins of tools/kivo_standin.py,
// the echo services answering the address a request came from; kivo_ddns
// runs as an operator starts it (default interval, --nic=ppp0). --ddns
// measures another build, such as the one before a change.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ddns_standin.h"

namespace {

constexpr char kToken[] = "--ddns_token=50001,00112233445566778899aabbccddeeff";

struct bench_run {
    ddns_world world;
    child_process ddns;
    std::string program;
};

size_t api_count(const bench_run &run, const char *path)
{
    size_t n = 0;
    for (const ddns_request &r : ddns_world_requests(run.world, "dnsapi.cn"))
        if (path == nullptr || r.path == path)
            n++;
    return n;
}

bool modified_to(const bench_run &run, const std::string &address)
{
    for (const ddns_request &r : ddns_world_requests(run.world, "dnsapi.cn"))
        if (r.path == "/Record.Modify" && r.body.find("&value=" + address + "&") != std::string::npos)
            return true;
    return false;
}

bool start_ddns(bench_run *run, bool ipv6)
{
    std::vector<std::string> argv = {run->program, "--sub_domain=home", "--main_domain=example.com",
                                     "--nic=ppp0", kToken};
    if (ipv6)
        argv.push_back("--type=AAAA");
    const size_t before = api_count(*run, nullptr);
    if (!ddns_world_start(run->world, &run->ddns, argv, "ddns.out", "ddns.err"))
        return false;
    // The first pass lists the record and, for AAAA, creates it.
    return ddns_world_wait([&] { return api_count(*run, nullptr) >= before + (ipv6 ? 2 : 1); },
                           30);
}

// Milliseconds from each change to the Modify, or -1 for one never seen in 30 s.
std::vector<long long> trials(bench_run *run, int n, bool ipv6, bool redial, int *serial)
{
    std::vector<long long> times;
    for (int i = 0; i < n; i++) {
        ++*serial;
        std::string v4 = "198.51.100." + std::to_string(ipv6 ? 2 : 10 + *serial % 200);
        std::string v6 = "2001:db8:" + std::to_string(*serial) + "::2";
        const std::string &wanted = ipv6 ? v6 : v4;
        long long began = child_monotonic_ms();
        if (ddns_world_uplink_address(run->world, v4, ipv6 ? v6 : "", redial) != 0)
            return {};
        bool seen = ddns_world_wait([&] { return modified_to(*run, wanted); }, 30);
        times.push_back(seen ? child_monotonic_ms() - began : -1);
        // The pass that modified ends before the next change, which comes
        // once the 10 s between early passes are over: each trial is a
        // change after a quiet spell, as redials are.
        long long rest = began + 10500 - child_monotonic_ms();
        usleep(static_cast<useconds_t>(rest > 1500 ? rest : 1500) * 1000);
    }
    return times;
}

void print_row(const char *what, std::vector<long long> times)
{
    if (times.empty() || std::count(times.begin(), times.end(), -1) > 0) {
        std::printf("| %s | %zu | failed | failed |\n", what, times.size());
        return;
    }
    std::sort(times.begin(), times.end());
    size_t n = times.size();
    double median = n % 2 ? static_cast<double>(times[n / 2])
                          : (static_cast<double>(times[n / 2 - 1]) + static_cast<double>(times[n / 2])) / 2;
    std::printf("| %s | %zu | %.2f s | %.2f s |\n", what, n, median / 1000,
                static_cast<double>(times.back()) / 1000);
}

} // namespace

int main(int argc, char **argv)
{
    int n = 10;
    bench_run run;
    run.program = KIVO_DDNS_BINARY;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--trials=", 9) == 0)
            n = std::atoi(argv[i] + 9);
        else if (std::strncmp(argv[i], "--ddns=", 7) == 0)
            run.program = argv[i] + 7;
        else {
            std::fprintf(stderr, "usage: bench_ddns_redial [--trials=N] [--ddns=PATH]\n");
            return 2;
        }
    }
    if (n < 1 || n > 100 || geteuid() != 0) {
        std::fprintf(stderr, "bench_ddns_redial: 1 to 100 trials, as root\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string records = "[{\"id\":1234567,\"domain\":\"example.com\",\"name\":\"home\","
                                "\"type\":\"A\",\"line\":\"默认\",\"value\":\"198.51.100.2\"}]";
    if (ddns_world_enter_uplink(run.world, records, "{\"address\":\"source\"}", "198.51.100.2",
                                "2001:db8::2") != 0)
        return 1;

    std::printf("| change on ppp0 | trials | median to Modify | maximum |\n|---|---|---|---|\n");
    int serial = 0;
    if (!start_ddns(&run, false))
        return 1;
    print_row("IPv4 address changed in place", trials(&run, n, false, false, &serial));
    print_row("redial: link deleted, made again, new address", trials(&run, n, false, true, &serial));
    ddns_world_stop(&run.ddns);
    if (ddns_world_uplink_address(run.world, "198.51.100.2", "2001:db8::2", false) != 0 ||
        !start_ddns(&run, true))
        return 1;
    print_row("IPv6 address changed in place (AAAA)", trials(&run, n, true, false, &serial));
    ddns_world_stop(&run.ddns);

    // The storm: a change every half second for 10 s, then quiet.
    if (!start_ddns(&run, false))
        return 1;
    usleep(2000000);
    size_t lists = api_count(run, "/Record.List"), modifies = api_count(run, "/Record.Modify");
    for (int i = 0; i < 20; i++) {
        ddns_world_uplink_address(run.world, "198.51.100." + std::to_string(100 + i), "", false);
        usleep(500000);
    }
    usleep(5000000);
    std::printf("\n20 changes in 10 s: %zu Record.List and %zu Record.Modify requests "
                "(from the first change to 5 s after the last)\n",
                api_count(run, "/Record.List") - lists, api_count(run, "/Record.Modify") - modifies);
    ddns_world_stop(&run.ddns);
    return 0;
}
