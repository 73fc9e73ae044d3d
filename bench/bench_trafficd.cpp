// What kivo_trafficd costs: TCP over 127.0.0.1, one 4 KiB write plus one read,
// and 4 KiB datagrams from a socket without an address to one bound to
// 0.0.0.0 (each counted for the link of its own addresses), then the TCP case
// again once a datagram received has had the daemon attach the hook that
// notes each datagram's destination (it runs for stream segments too), in
// this process while the daemon counts it ("daemon") and while no daemon runs
// ("bare"), in alternating runs with the median ratios printed at the end;
// then the daemon's own processor time and memory with many counted processes.
//
//   bench_trafficd [--pairs=N] [--processes=P] [--seconds=S] [--address=A.B.C.D]
//                  [benchmark options]
//
// By default 9 pairs of runs, then 1000 counted processes (each sends one UDP
// datagram a second) for 45 s, two report cycles, to an agent in this process
// that accepts every report. --processes=0 leaves the second part out.
// --address runs every pair over that address, given to lo: the kernel side
// then looks its link up, as for an uplink's address, where 127.0.0.1 needs
// no lookup.
//
// Root only: it loads BPF programs, and it moves into a network and mount
// namespace of its own first, so its daemon counts only the processes it
// starts itself and pins its maps in a bpffs of its own.
// It restarts itself with KIVO_CP set, so the daemon counts it from its exec.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

int pairs = 9;
int processes = 1000;
int seconds = 45;
const char *tcp_address = "127.0.0.1";
constexpr int agent_port = 49193;
constexpr int tcp_port = 8090;

pid_t daemon_pid = -1;
int daemon_log = -1;

// What the daemon logged that no wait has gone past yet. Each daemon starts
// with none: a line of the one before must not stand for one of its own.
std::string pending;

// Reads the daemon's log until a line holds text; false after timeout_ms.
bool daemon_wait_for(const char *text, int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms;) {
        size_t at = pending.find(text);
        if (at != std::string::npos) {
            pending.erase(0, pending.find('\n', at) + 1);
            return true;
        }
        struct pollfd p = {daemon_log, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) {
            waited += 100;
            continue;
        }
        char buf[4096];
        ssize_t n = read(daemon_log, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending.append(buf, static_cast<size_t>(n));
    }
    return false;
}

void daemon_stop(void)
{
    if (daemon_pid <= 0)
        return;
    kill(daemon_pid, SIGTERM);
    waitpid(daemon_pid, nullptr, 0);
    close(daemon_log);
    pending.clear();
    daemon_pid = -1;
}

// Starts kivo_trafficd -d and waits until it counts this process.
bool daemon_start(bool debug)
{
    int log[2];
    if (pipe2(log, O_CLOEXEC) != 0)
        return false;
    daemon_pid = fork();
    if (daemon_pid == 0) {
        dup2(log[1], 2);
        unsetenv("KIVO_CP");  // the daemon is not a provider, as under systemd
        execl(KIVO_TRAFFICD, KIVO_TRAFFICD, debug ? "-d" : nullptr, nullptr);
        _exit(127);
    }
    close(log[1]);
    daemon_log = log[0];
    // The processes already running are found before the start is logged.
    std::string mine = "pid " + std::to_string(getpid()) + ": KIVO_CP=";
    if (debug && !daemon_wait_for(mine.c_str(), 10000))
        return false;
    return daemon_wait_for("kivo_trafficd: started", 10000);
}

struct sockaddr_in loopback(int port)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A listening TCP socket at addr; -1 when it cannot listen.
int listen_on(const struct sockaddr_in &addr, int backlog)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listener, backlog) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

int tcp_out = -1;
int tcp_in = -1;

bool tcp_connect(void)
{
    struct sockaddr_in addr = loopback(tcp_port);
    if (inet_pton(AF_INET, tcp_address, &addr.sin_addr) != 1)
        return false;
    int listener = listen_on(addr, 1);
    if (listener < 0)
        return false;
    tcp_out = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(tcp_out, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return false;
    tcp_in = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    return tcp_in >= 0;
}

int udp_out = -1;
int udp_in = -1;
struct sockaddr_in udp_to;

// The receiver bound to 0.0.0.0, the sender to no address: both datagrams'
// local addresses are found per datagram, not from the socket.
bool udp_pair(void)
{
    udp_in = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    udp_out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in any = loopback(tcp_port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    udp_to = loopback(tcp_port);
    return udp_in >= 0 && udp_out >= 0 &&
           bind(udp_in, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0 &&
           inet_pton(AF_INET, tcp_address, &udp_to.sin_addr) == 1;
}

// The third is the stream again, on a box where a counted process receives
// datagrams through a socket bound to no address: the daemon's queue hook
// then runs for every stream segment too.
enum pair_kind { pair_tcp = 0, pair_udp = 1, pair_tcp_hooked = 2 };
constexpr pair_kind pair_kinds[] = {pair_tcp, pair_udp, pair_tcp_hooked};
constexpr const char *pair_names[] = {"tcp_4k", "udp_4k", "tcp_4k_hooked"};

void bench_pair(benchmark::State &state, bool with_daemon, pair_kind kind)
{
    if (with_daemon && !daemon_start(true)) {
        daemon_stop();
        state.SkipWithError("kivo_trafficd did not start, or did not count this process");
        return;
    }
    static char buf[4096];
    // The first datagram received has the daemon attach its queue hook: the
    // runs time what every datagram after it costs.
    if (with_daemon && kind != pair_tcp &&
        (sendto(udp_out, buf, 1, 0, reinterpret_cast<sockaddr *>(&udp_to), sizeof udp_to) != 1 ||
         read(udp_in, buf, sizeof buf) != 1 || !daemon_wait_for("noted as it is queued", 10000))) {
        daemon_stop();
        state.SkipWithError("kivo_trafficd did not attach its queue hook");
        return;
    }
    for (auto _ : state) {
        ssize_t sent = kind != pair_udp
                           ? write(tcp_out, buf, sizeof buf)
                           : sendto(udp_out, buf, sizeof buf, 0,
                                    reinterpret_cast<sockaddr *>(&udp_to), sizeof udp_to);
        if (sent != static_cast<ssize_t>(sizeof buf)) {
            state.SkipWithError("write");
            break;
        }
        size_t got = 0;
        while (got < sizeof buf) {
            ssize_t n = read(kind != pair_udp ? tcp_in : udp_in, buf + got, sizeof buf - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 4096);
    if (with_daemon)
        daemon_stop();
}

class time_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    std::map<std::string, double> cpu_times;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (!run.error_occurred) {
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
                cpu_times[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

// A stand-in agent: accepts every report; counts them.
std::atomic<int> reports_accepted{0};

void agent_loop(int listener)
{
    for (;;) {
        int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        char buf[512];
        size_t got = 0;
        while (got < sizeof buf - 1) {
            ssize_t n = read(c, buf + got, sizeof buf - 1 - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
            if (memchr(buf, '}', got))
                break;
        }
        static const char ok[] = "HTTP/1.1 200 ok\r\nContent-Length: 0\r\n\r\n";
        if (write(c, ok, sizeof ok - 1) > 0)
            reports_accepted++;
        close(c);
    }
}

long long proc_cpu_ticks(pid_t pid)
{
    char path[64], stat[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE *f = fopen(path, "re");
    if (!f)
        return -1;
    size_t n = fread(stat, 1, sizeof stat - 1, f);
    fclose(f);
    stat[n] = '\0';
    const char *p = strrchr(stat, ')');
    unsigned long long utime = 0, stime = 0;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                     &stime) != 2)
        return -1;
    return static_cast<long long>(utime + stime);
}

long long proc_status_kib(pid_t pid, const char *key)
{
    char path[64], line[256];
    snprintf(path, sizeof path, "/proc/%d/status", pid);
    FILE *f = fopen(path, "re");
    if (!f)
        return -1;
    long long value = -1;
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, strlen(key)) == 0)
            value = atoll(line + strlen(key));
    fclose(f);
    return value;
}

int footprint(void)
{
    struct sockaddr_in addr = loopback(agent_port);
    int listener = listen_on(addr, 1024);
    if (listener < 0) {
        std::perror("agent");
        return 1;
    }
    std::thread(agent_loop, listener).detach();
    if (!daemon_start(false)) {
        std::fprintf(stderr, "kivo_trafficd did not start\n");
        return 1;
    }
    // Children of this counted process are counted from their fork.
    std::vector<pid_t> children;
    for (int i = 0; i < processes; i++) {
        pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            int s = socket(AF_INET, SOCK_DGRAM, 0);
            struct sockaddr_in to = addr;
            to.sin_port = htons(9);
            char datagram[64] = {};
            for (;;) {
                sendto(s, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&to),
                       sizeof to);
                sleep(1);
            }
        }
        children.push_back(pid);
    }
    sleep(2);
    long long cpu_before = proc_cpu_ticks(daemon_pid);
    int reports_before = reports_accepted;
    sleep(static_cast<unsigned int>(seconds));
    long long cpu_after = proc_cpu_ticks(daemon_pid);
    int reports = reports_accepted - reports_before;
    long long rss = proc_status_kib(daemon_pid, "VmRSS:");
    long long hwm = proc_status_kib(daemon_pid, "VmHWM:");
    for (pid_t pid : children)
        kill(pid, SIGKILL);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    daemon_stop();

    double cpu_percent = 100.0 * static_cast<double>(cpu_after - cpu_before) /
                         static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    // The peak is reached once, at the load, while libbpf holds the kernel's
    // whole type table to place the programs' field reads; it is given back.
    std::printf("\n%d counted processes, %d s: daemon %.2f %% of one CPU, RSS %lld KiB "
                "(peak %lld KiB, at the load), %d reports accepted\n",
                processes, seconds, cpu_percent, rss, hwm, reports);
    bool ok = cpu_percent <= 1.0 && rss <= 8 * 1024 && reports >= processes;
    std::printf("limits (1 %% CPU, 8 MiB resident while counting, every process reported): %s\n",
                ok ? "met" : "NOT met");
    return ok ? 0 : 1;
}

bool parse_int(const char *arg, const char *name, int *value, int least, int most)
{
    size_t len = strlen(name);
    if (strncmp(arg, name, len) != 0)
        return false;
    *value = std::clamp(atoi(arg + len), least, most);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (geteuid() != 0) {
        std::fprintf(stderr, "bench_trafficd: needs root (it loads BPF programs)\n");
        return 77;
    }
    if (!getenv("KIVO_CP")) {
        setenv("KIVO_CP", "iqiyi", 1);
        execv("/proc/self/exe", argv);
        std::perror("bench_trafficd: exec");
        return 1;
    }
    std::vector<char *> rest = {argv[0]};
    for (int i = 1; i < argc; i++)
        if (!parse_int(argv[i], "--pairs=", &pairs, 1, 50) &&
            !parse_int(argv[i], "--processes=", &processes, 0, 10000) &&
            !parse_int(argv[i], "--seconds=", &seconds, 5, 600)) {
            if (strncmp(argv[i], "--address=", 10) == 0)
                tcp_address = argv[i] + 10;
            else
                rest.push_back(argv[i]);
        }
    // A bpffs of its own, so the daemons pin their maps there, not in the machine's.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 ||
        mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("bpf", "/sys/fs/bpf", "bpf", 0, nullptr) != 0 || system("ip link set lo up") != 0) {
        std::perror("bench_trafficd: network and mount namespace");
        return 1;
    }
    struct in_addr given;
    if (inet_pton(AF_INET, tcp_address, &given) != 1) {
        std::fprintf(stderr, "bench_trafficd: --address wants A.B.C.D\n");
        return 2;
    }
    if ((ntohl(given.s_addr) >> 24) != 127 &&
        system(("ip addr add " + std::string(tcp_address) + "/32 dev lo").c_str()) != 0) {
        std::perror("bench_trafficd: address");
        return 1;
    }
    if (!tcp_connect() || !udp_pair()) {
        std::perror("bench_trafficd: loopback connection");
        return 1;
    }
    for (pair_kind kind : pair_kinds) {
        for (int i = 0; i < pairs; i++) {
            // The one that goes first changes from pair to pair.
            bool daemon_first = i % 2 == 1;
            for (int k = 0; k < 2; k++) {
                bool with_daemon = (k == 0) == daemon_first;
                std::string name = std::string(pair_names[kind]) + "/" +
                                   (with_daemon ? "daemon" : "bare") + "/pair:" +
                                   std::to_string(i);
                benchmark::RegisterBenchmark(name.c_str(), bench_pair, with_daemon, kind);
            }
        }
    }
    int rest_argc = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data()))
        return 2;
    time_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The processor time of this thread is what the daemon's programs add to;
    // other work on a shared machine disturbs it far less than the real time.
    static const char *const pair_texts[] = {
        "TCP 4 KiB write + read", "UDP 4 KiB datagram to 0.0.0.0 + read",
        "TCP 4 KiB write + read, the queue hook attached"};
    for (pair_kind kind : pair_kinds) {
        for (const auto *times : {&reporter.times, &reporter.cpu_times}) {
            std::vector<double> ratios;
            for (int i = 0; i < pairs; i++) {
                std::string pair = "/pair:" + std::to_string(i);
                auto bare = times->find(std::string(pair_names[kind]) + "/bare" + pair);
                auto with = times->find(std::string(pair_names[kind]) + "/daemon" + pair);
                if (bare != times->end() && with != times->end() && bare->second > 0)
                    ratios.push_back(with->second / bare->second);
            }
            std::sort(ratios.begin(), ratios.end());
            if (!ratios.empty())
                std::printf("%s, daemon to bare, %s time, median of %zu pairs: %.3fx (limit "
                            "1.05)\n",
                            pair_texts[kind], times == &reporter.times ? "real" : "processor",
                            ratios.size(), ratios[ratios.size() / 2]);
        }
    }
    benchmark::Shutdown();
    return processes > 0 ? footprint() : 0;
}
