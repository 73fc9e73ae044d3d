#include "trafficd_scene.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kivo_trafficd.h"
#include "sandbox.h"

std::string trafficd_skip_reason(void)
{
    if (geteuid() != 0)
        return "kivo_trafficd needs root to load its BPF programs";
    char message[512];
    if (trafficd_kernel_check(trafficd_tracepoints, trafficd_tracepoint_count, message,
                              sizeof message) != 0)
        return std::string("kivo_trafficd cannot run on this kernel: ") + message;
    return "";
}

bool trafficd_start_daemon(child_process *daemon, const std::vector<std::string> &args,
                           std::string *log, int timeout_ms,
                           const std::vector<std::string> &wrapper)
{
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"};
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.insert(argv.end(), {KIVO_TRAFFICD, "-d"});
    argv.insert(argv.end(), args.begin(), args.end());
    if (!traffic_start(daemon, argv, {}, false))
        return false;
    long long deadline = child_monotonic_ms() + timeout_ms;
    std::string line;
    while (child_next_line(daemon, &line, static_cast<int>(deadline - child_monotonic_ms()))) {
        if (line.rfind("kivo_trafficd: started", 0) == 0)
            return true;
        if (log != nullptr)
            *log += line + "\n";
    }
    return false;
}

std::string trafficd_url(int port, const char *path, const std::string &address)
{
    return "http://" + address + ":" + std::to_string(port) + path;
}

bool trafficd_start_busybox(child_process *server, const std::string &dir, int port,
                            const char *cp, const std::string &address)
{
    std::string listen = address.empty() ? std::to_string(port)
                                         : address + ":" + std::to_string(port);
    return traffic_start(server, {"/bin/busybox", "httpd", "-f", "-p", listen, "-h", dir},
                         {std::string("KIVO_CP=") + cp}, false) &&
           traffic_wait_port(port, 10000, address.empty() ? "127.0.0.1" : address.c_str());
}

traffic_sums trafficd_fetch_three(int port)
{
    trafficd_curl measured;
    std::vector<std::string> args;
    for (int i = 0; i < 3; i++)
        args.insert(args.end(), {"-o", "/dev/null", trafficd_url(port)});
    if (!trafficd_run_curl(args, {}, &measured) || measured.download != 3 * (1 << 20))
        return {};
    traffic_sums truth;
    truth.sent = measured.header + measured.download;
    truth.received = measured.request;
    return truth;
}

bool trafficd_run_curl(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       trafficd_curl *measured, bool preload, int netns_pid)
{
    std::vector<std::string> argv;
    if (netns_pid > 0)
        argv = {"/usr/bin/nsenter", "--target", std::to_string(netns_pid), "--net", "--"};
    argv.insert(argv.end(), {"/usr/bin/curl", "-s", "--noproxy", "*", "--max-time", "20", "-w",
                             "header=%{size_header} download=%{size_download} "
                             "request=%{size_request} code=%{http_code}\\n"});
    argv.insert(argv.end(), args.begin(), args.end());
    child_process curl;
    if (!traffic_start(&curl, argv, env, preload))
        return false;
    std::string line;
    bool ok = true;
    while (child_next_line(&curl, &line, 25000)) {
        line = " " + line;
        if (traffic_field(line, "code") != 200)
            ok = false;
        measured->header += traffic_field(line, "header");
        measured->download += traffic_field(line, "download");
        measured->request += traffic_field(line, "request");
        measured->transfers++;
    }
    return child_wait(&curl, 5000) == 0 && ok && measured->transfers > 0;
}

static bool trafficd_complete(const traffic_sums_by_name &expected,
                              const traffic_sums_by_name &sums)
{
    for (const auto &[name, truth] : expected) {
        auto found = sums.find(name);
        if (found == sums.end() || !trafficd_within(truth, found->second, 1.0))
            return false;
    }
    return true;
}

traffic_sums_by_name trafficd_collect(child_process *agent, const traffic_sums_by_name &expected,
                                      long long deadline_ms, long long quiet_ms)
{
    return traffic_collect_reports(
        agent, [&](const traffic_sums_by_name &sums) { return trafficd_complete(expected, sums); },
        deadline_ms, quiet_ms);
}

bool trafficd_within(const traffic_sums &truth, const traffic_sums &reported, double percent)
{
    auto near = [percent](long long want, long long got) {
        long long slack = static_cast<long long>(static_cast<double>(want) * percent / 100.0);
        return got >= want - slack && got <= want + slack;
    };
    return near(truth.sent, reported.sent) && near(truth.received, reported.received);
}

bool trafficd_site(const std::string &dir)
{
    return !dir.empty() && traffic_write_file(dir + "/big.bin", 1 << 20, 'a');
}

void trafficd_print(const std::string &what, const traffic_sums &truth,
                    const traffic_sums &reported)
{
    std::printf("| %s | sent %lld, reported %lld | received %lld, reported %lld | %d reports |\n",
                what.c_str(), truth.sent, reported.sent, truth.received, reported.received,
                reported.reports);
    std::fflush(stdout);
}
