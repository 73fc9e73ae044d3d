// What libkivotraffic costs a real server under load: Debian's nginx-light
// serving one 4 KiB file to wrk over 127.0.0.1, requests per second without the
// library ("bare") and with it preloaded (KIVO_CP=iqiyi), in alternating runs,
// with the median ratio printed at the end. Beside the rate, each run gives the
// worker's processor time per request, which other work on a shared machine
// disturbs far less than the rate.
//
//   bench_traffic_nginx [--pairs=N] [--seconds=S] [--connections=C]
//                       [--traffic_library=PATH] [--trafficd=PATH]
//
// By default 9 pairs of 2-second runs with 16 connections (about 40 s in all);
// at most 20 pairs of 30 s. --traffic_library measures another build, such as
// the one before a change. --trafficd measures kivo_trafficd instead of the
// library: the daemon at PATH runs for the whole benchmark, and the second
// server ("counted") carries KIVO_CP without the library. The bare server runs
// beside the attached daemon too, which looks up and passes over its bytes.
//
// Both servers (master and one worker each, access log on, as a packaged
// server runs) are started once and stay up; the runs alternate between them,
// the one that goes first changing from pair to pair, so a drift in the
// machine's load falls on both alike. No agent listens: the preloaded worker's
// report attempt every 20 seconds meets refused connections at once.
//
// It runs only as root, in a network namespace of its own, so nothing it does
// reaches the machine's ports; configuration, logs and pid files live in a
// temporary folder that is removed at the end.
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

namespace {

constexpr const char *nginx_path = "/usr/sbin/nginx";
constexpr const char *wrk_path = "/usr/bin/wrk";
constexpr int bare_port = 8081;
constexpr int preloaded_port = 8082;
constexpr int file_size = 4096;
constexpr int most_pairs = 20;

int pairs = 9;
int seconds = 2;
int connections = 16;
char library[4096] = KIVO_TRAFFIC_LIBRARY;
char trafficd[4096] = "";
child_process trafficd_process;

struct int_option {
    const char *name;
    int *value;
    int least;
    int most;
};

constexpr int_option int_options[] = {
    {"--pairs=", &pairs, 1, most_pairs},
    {"--seconds=", &seconds, 1, 30},
    {"--connections=", &connections, 1, 256},
};

struct server {
    const char *label;
    int port;
    bool preload;
    pid_t worker;
    char log[4200];
    child_process master;
};

struct run_result {
    double rate;         // requests per second
    double cpu_us;       // the worker's processor time per request, in microseconds
};

bool parse_options(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *lib_option = "--traffic_library=";
        if (std::strncmp(arg, lib_option, std::strlen(lib_option)) == 0) {
            std::snprintf(library, sizeof library, "%s", arg + std::strlen(lib_option));
            continue;
        }
        const char *daemon_option = "--trafficd=";
        if (std::strncmp(arg, daemon_option, std::strlen(daemon_option)) == 0) {
            std::snprintf(trafficd, sizeof trafficd, "%s", arg + std::strlen(daemon_option));
            continue;
        }
        bool known = false;
        for (const int_option &o : int_options) {
            size_t n = std::strlen(o.name);
            if (std::strncmp(arg, o.name, n) != 0)
                continue;
            char *end = nullptr;
            long v = std::strtol(arg + n, &end, 10);
            if (end == arg + n || *end != '\0' || v < o.least || v > o.most) {
                std::fprintf(stderr, "bench_traffic_nginx: %s wants a number from %d to %d\n",
                             o.name, o.least, o.most);
                return false;
            }
            *o.value = static_cast<int>(v);
            known = true;
        }
        if (!known) {
            std::fprintf(stderr,
                         "usage: bench_traffic_nginx [--pairs=N] [--seconds=S] "
                         "[--connections=C] [--traffic_library=PATH] [--trafficd=PATH]\n");
            return false;
        }
    }
    return true;
}

bool write_text(const char *path, const char *text, size_t size)
{
    FILE *f = std::fopen(path, "w");
    if (!f)
        return false;
    bool ok = std::fwrite(text, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// One nginx in the foreground under dir; every path it writes lies there.
bool write_config(const char *dir, const server *s)
{
    char path[4200], text[4096];
    int n = std::snprintf(text, sizeof text,
                          "daemon off;\nmaster_process on;\nworker_processes 1;\nuser root root;\n"
                          "worker_cpu_affinity 01;\n"
                          "pid %s/%s.pid;\nerror_log %s/%s.error.log;\n"
                          "events { worker_connections 1024; }\n"
                          "http {\n  access_log %s;\n  client_body_temp_path %s/body;\n"
                          "  proxy_temp_path %s/body;\n  fastcgi_temp_path %s/body;\n"
                          "  uwsgi_temp_path %s/body;\n  scgi_temp_path %s/body;\n"
                          "  sendfile on;\n  keepalive_requests 100000;\n"
                          "  server { listen 127.0.0.1:%d; root %s/www; }\n}\n",
                          dir, s->label, dir, s->label, s->log, dir, dir, dir, dir, dir, s->port,
                          dir);
    if (n < 0 || n >= static_cast<int>(sizeof text))
        return false;
    std::snprintf(path, sizeof path, "%s/%s.conf", dir, s->label);
    return write_text(path, text, static_cast<size_t>(n));
}

bool start_server(const char *dir, server *s)
{
    char conf[4200], error_log[4200], prefix[4200];
    std::snprintf(conf, sizeof conf, "%s/%s.conf", dir, s->label);
    std::snprintf(error_log, sizeof error_log, "%s/%s.error.log", dir, s->label);
    std::snprintf(prefix, sizeof prefix, "%s/", dir);

    // The environment less any preload of our own, plus the library for one of them.
    std::vector<std::string> env = {"LD_PRELOAD", "KIVO_CP"};
    if (s->preload) {
        if (!trafficd[0])
            env.push_back(std::string("LD_PRELOAD=") + library);
        env.push_back("KIVO_CP=iqiyi");
    }
    // Its console says nothing the benchmark reads.
    s->master.output_path = "/dev/null";
    return child_start(&s->master, {nginx_path, "-p", prefix, "-c", conf, "-e", error_log}, env);
}

void stop_server(server *s)
{
    child_stop(&s->master, SIGTERM, 2000);
}

// The one worker is the master's only child.
pid_t find_worker(pid_t master)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/children", master, master);
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    int pid = -1;
    if (std::fscanf(f, "%d", &pid) != 1)
        pid = -1;
    std::fclose(f);
    return pid;
}

// Nanoseconds the worker's main thread has run (its report thread sleeps).
long long cpu_ns(pid_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/schedstat", pid);
    FILE *f = std::fopen(path, "r");
    if (!f)
        return -1;
    long long ns = -1;
    if (std::fscanf(f, "%lld", &ns) != 1)
        ns = -1;
    std::fclose(f);
    return ns;
}

// One wrk run; rate -1 when it failed. The server's log starts empty, so that
// its growth costs every run the same.
run_result run_wrk(server *s, int run_seconds)
{
    run_result result = {-1, -1};
    if (FILE *log = std::fopen(s->log, "w"))
        std::fclose(log);
    char cmd[512];
    std::snprintf(cmd, sizeof cmd, "%s -t1 -c%d -d%ds http://127.0.0.1:%d/file.bin 2>&1", wrk_path,
                  connections, run_seconds, s->port);
    long long cpu_before = cpu_ns(s->worker);
    FILE *out = popen(cmd, "r");
    if (!out)
        return result;
    long long requests = 0;
    char line[512];
    while (std::fgets(line, sizeof line, out)) {
        if (std::strncmp(line, "Requests/sec:", 13) == 0)
            result.rate = std::atof(line + 13);
        if (std::strstr(line, " requests in "))
            requests = std::atoll(line);
    }
    pclose(out);
    long long cpu_after = cpu_ns(s->worker);
    if (requests > 0 && cpu_before >= 0 && cpu_after >= cpu_before)
        result.cpu_us = static_cast<double>(cpu_after - cpu_before) / 1000.0 /
                        static_cast<double>(requests);
    return result;
}

bool wait_ready(server *s)
{
    for (int i = 0; i < 100; i++) {
        char cmd[256];
        std::snprintf(cmd, sizeof cmd,
                      "curl -s --noproxy '*' -o /dev/null --max-time 1 http://127.0.0.1:%d/file.bin",
                      s->port);
        if (std::system(cmd) == 0)
            return true;
        usleep(50 * 1000);
    }
    return false;
}

// Starts kivo_trafficd with its log in dir and waits until it has attached.
bool start_trafficd(const char *dir)
{
    char log[4200];
    std::snprintf(log, sizeof log, "%s/trafficd.log", dir);
    trafficd_process.output_path = "/dev/null";
    trafficd_process.errors_path = log;
    // -d: the log shows that the counted server was found, and its reports.
    if (!child_start(&trafficd_process, {trafficd, "-d"}))
        return false;
    for (int i = 0; i < 200; i++) {
        char line[512] = "";
        if (FILE *f = std::fopen(log, "r")) {
            bool started = false;
            while (std::fgets(line, sizeof line, f))
                started = started || std::strstr(line, "kivo_trafficd: started");
            std::fclose(f);
            if (started)
                return true;
        }
        if (child_ended(&trafficd_process, nullptr))
            return false;
        usleep(50 * 1000);
    }
    return false;
}

double median(double *values, int n)
{
    std::sort(values, values + n);
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

int measure(const char *dir)
{
    const char *loaded_label = trafficd[0] ? "counted" : "preloaded";
    server servers[2] = {{"bare", bare_port, false, -1, "", {}},
                         {loaded_label, preloaded_port, true, -1, "", {}}};
    if (trafficd[0] && !start_trafficd(dir)) {
        std::fprintf(stderr, "bench_traffic_nginx: %s did not start; see %s/trafficd.log\n",
                     trafficd, dir);
        return 1;
    }
    for (server &s : servers) {
        std::snprintf(s.log, sizeof s.log, "%s/%s.access.log", dir, s.label);
        if (!write_config(dir, &s) || !start_server(dir, &s)) {
            std::fprintf(stderr, "bench_traffic_nginx: cannot start the %s server\n", s.label);
            return 1;
        }
    }
    // The workers on the first processor, wrk on the second: without this the
    // two land on one processor in some runs and not in others, and the rates
    // of runs differ by half.
    cpu_set_t wrk_cpu;
    CPU_ZERO(&wrk_cpu);
    CPU_SET(1, &wrk_cpu);
    if (sched_setaffinity(0, sizeof wrk_cpu, &wrk_cpu) != 0)
        std::fprintf(stderr, "bench_traffic_nginx: wrk not bound to the second processor\n");
    int status = 0;
    if (!wait_ready(&servers[0]) || !wait_ready(&servers[1])) {
        std::fprintf(stderr, "bench_traffic_nginx: the servers do not answer; see %s\n", dir);
        status = 1;
    }
    for (server &s : servers)
        s.worker = find_worker(s.master.pid);
    if (status == 0 && trafficd[0]) {
        char cmd[4400];
        std::snprintf(cmd, sizeof cmd, "grep -q 'pid %d: KIVO_CP=iqiyi' %s/trafficd.log",
                      servers[1].worker, dir);
        if (std::system(cmd) != 0) {
            std::fprintf(stderr, "bench_traffic_nginx: the daemon does not count the worker\n");
            status = 1;
        }
    }
    // A short run each first, so that both start the measured runs warm.
    if (status == 0 && (run_wrk(&servers[0], 1).rate < 0 || run_wrk(&servers[1], 1).rate < 0)) {
        std::fprintf(stderr, "bench_traffic_nginx: wrk failed\n");
        status = 1;
    }

    double bare[most_pairs], loaded[most_pairs], ratio[most_pairs];
    double bare_cpu[most_pairs], loaded_cpu[most_pairs], cpu_ratio[most_pairs];
    std::printf("nginx-light, one %d-byte file, wrk -t1 -c%d, %d pairs of %d s, %s %s\n",
                file_size, connections, pairs, seconds, trafficd[0] ? "daemon" : "library",
                trafficd[0] ? trafficd : library);
    for (int i = 0; status == 0 && i < pairs; i++) {
        int first = i % 2;
        run_result run[2];
        run[first] = run_wrk(&servers[first], seconds);
        run[1 - first] = run_wrk(&servers[1 - first], seconds);
        if (run[0].rate <= 0 || run[1].rate <= 0 || run[0].cpu_us <= 0 || run[1].cpu_us <= 0) {
            std::fprintf(stderr, "bench_traffic_nginx: wrk failed or the worker is gone\n");
            status = 1;
            break;
        }
        bare[i] = run[0].rate;
        loaded[i] = run[1].rate;
        ratio[i] = run[1].rate / run[0].rate;
        bare_cpu[i] = run[0].cpu_us;
        loaded_cpu[i] = run[1].cpu_us;
        cpu_ratio[i] = run[1].cpu_us / run[0].cpu_us;
        std::printf("  pair %d: bare %.0f req/s %.2f us/req, %s %.0f req/s %.2f us/req, "
                    "ratio %.3f, processor time ratio %.3f\n",
                    i + 1, run[0].rate, run[0].cpu_us, loaded_label, run[1].rate, run[1].cpu_us,
                    ratio[i], cpu_ratio[i]);
        std::fflush(stdout);
    }
    if (status == 0) {
        std::printf("median: bare %.0f req/s, %s %.0f req/s, ratio %s/bare %.3f\n",
                    median(bare, pairs), loaded_label, median(loaded, pairs), loaded_label,
                    median(ratio, pairs));
        std::printf("median worker processor time: bare %.2f us/req, %s %.2f us/req, "
                    "ratio %s/bare %.3f\n",
                    median(bare_cpu, pairs), loaded_label, median(loaded_cpu, pairs),
                    loaded_label, median(cpu_ratio, pairs));
    }
    for (server &s : servers)
        stop_server(&s);
    child_stop(&trafficd_process, SIGTERM, 10000);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    if (!parse_options(argc, argv))
        return 2;
    if (access(nginx_path, X_OK) != 0 || access(wrk_path, X_OK) != 0) {
        std::fprintf(stderr, "bench_traffic_nginx: needs %s and %s (setup.sh installs them)\n",
                     nginx_path, wrk_path);
        return 1;
    }
    if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up") != 0) {
        std::fprintf(stderr, "bench_traffic_nginx: no private network namespace (run as root)\n");
        return 1;
    }
    temp_dir folder("bench-nginx");
    const char *dir = folder.path.c_str();
    if (folder.path.empty() || mkdir((folder / "www").c_str(), 0755) != 0 ||
        mkdir((folder / "body").c_str(), 0755) != 0) {
        std::fprintf(stderr, "bench_traffic_nginx: cannot make a temporary folder\n");
        return 1;
    }
    static char file[file_size];
    std::memset(file, 'k', sizeof file);
    int status = write_text((folder / "www/file.bin").c_str(), file, sizeof file) ? 0 : 1;
    if (status == 0)
        status = measure(dir);
    return status;
}
