// The servers operators actually run, preloaded: Debian's nginx-light and
// lighttpd serve files to curl and take uploads from it, and the reports of all
// of a server's processes must add up to exactly what curl counted (curl itself
// is not preloaded). Then the other way round: a preloaded curl that ends within
// a second reports its bytes at exit, and a silent agent holds that exit up by a
// bounded time only.
//
// Every server case runs in a forked child with a network namespace of its own
// (one agent, one server, one curl), and all cases of a server run at the same
// time, so each server test waits for the 20-second report cycle only once.
// The servers write their configuration, logs, pid file and temporary bodies
// under a temporary folder only; the system's /etc/nginx, /etc/lighttpd and
// /var/log stay untouched.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "in_child.h"
#include "temp_dir.h"
#include "traffic_fixture.h"

namespace {

constexpr int server_port = 8080;
constexpr long long big_size = 1 << 20;
constexpr long long small_size = 2048;
constexpr int big_fetches = 5;
constexpr int small_files = 200;
constexpr int uploads = 3;
// The report thread sends 20 s after load; the cases' own traffic must be over
// well before that, and everything counted must have arrived well before the
// second cycle at 40 s.
constexpr long long load_limit_ms = 15000;
constexpr long long reports_limit_ms = 30000;
// Once the sums match, how long to wait for a report that would overshoot them.
constexpr long long overshoot_wait_ms = 1500;

enum server_kind { server_nginx, server_lighttpd };
enum load_kind { load_big, load_small, load_upload };

struct server_case {
    const char *name;
    server_kind server;
    load_kind load;
    bool sendfile;  // nginx "sendfile on"; lighttpd's sendfile back end rather than writev
};

constexpr server_case nginx_cases[] = {
    {"nginx, sendfile on, 1 MiB x5", server_nginx, load_big, true},
    {"nginx, sendfile off, 1 MiB x5", server_nginx, load_big, false},
    {"nginx, 200 x 2 KiB keep-alive", server_nginx, load_small, true},
    {"nginx, PUT 1 MiB x3", server_nginx, load_upload, true},
};

constexpr server_case lighttpd_cases[] = {
    {"lighttpd, 1 MiB x5", server_lighttpd, load_big, true},
    {"lighttpd, writev, 1 MiB x5", server_lighttpd, load_big, false},
    {"lighttpd, 200 x 2 KiB keep-alive", server_lighttpd, load_small, true},
    {"lighttpd, PUT 1 MiB x3", server_lighttpd, load_upload, true},
};

bool write_site(const std::string &dir)
{
    std::error_code failed;
    if (!std::filesystem::create_directories(dir + "/www/up", failed) ||
        !std::filesystem::create_directories(dir + "/body", failed))
        return false;
    if (!traffic_write_file(dir + "/www/big.bin", big_size, 'a'))
        return false;
    for (int i = 1; i <= small_files; i++)
        if (!traffic_write_file(dir + "/www/s" + std::to_string(i) + ".bin", small_size,
                        static_cast<char>('A' + i % 26)))
            return false;
    return true;
}

// Master and one worker in the foreground, every path it writes inside dir;
// "user root" keeps the worker able to read the 0700 temporary folder.
std::string nginx_config(const server_case &c, const std::string &dir)
{
    return "daemon off;\n"
           "master_process on;\n"
           "worker_processes 1;\n"
           "user root root;\n"
           "pid " + dir + "/nginx.pid;\n"
           "error_log " + dir + "/error.log;\n"
           "events { worker_connections 64; }\n"
           "http {\n"
           "  access_log " + dir + "/access.log;\n"
           "  client_body_temp_path " + dir + "/body;\n"
           "  proxy_temp_path " + dir + "/body;\n"
           "  fastcgi_temp_path " + dir + "/body;\n"
           "  uwsgi_temp_path " + dir + "/body;\n"
           "  scgi_temp_path " + dir + "/body;\n"
           "  sendfile " + (c.sendfile ? "on" : "off") + ";\n"
           "  keepalive_requests 1000;\n"
           "  server {\n"
           "    listen 127.0.0.1:" + std::to_string(server_port) + ";\n"
           "    root " + dir + "/www;\n"
           "    location /up/ { dav_methods PUT; client_max_body_size 16m; }\n"
           "  }\n"
           "}\n";
}

// One process in the foreground; request bodies are buffered in dir, not /var/tmp.
std::string lighttpd_config(const server_case &c, const std::string &dir)
{
    return "server.modules = ( \"mod_webdav\" )\n"
           "server.document-root = \"" + dir + "/www\"\n"
           "server.bind = \"127.0.0.1\"\n"
           "server.port = " + std::to_string(server_port) + "\n"
           "server.errorlog = \"" + dir + "/error.log\"\n"
           "server.upload-dirs = ( \"" + dir + "/body\" )\n"
           "server.max-keep-alive-requests = 1000\n"
           "server.network-backend = \"" + (c.sendfile ? "sendfile" : "writev") + "\"\n"
           "$HTTP[\"url\"] =~ \"^/up/\" {\n"
           "  webdav.activate = \"enable\"\n"
           "  webdav.is-readonly = \"disable\"\n"
           "}\n";
}

std::vector<std::string> server_argv(const server_case &c, const std::string &dir)
{
    if (c.server == server_nginx)
        return {"/usr/sbin/nginx", "-p", dir + "/", "-c", dir + "/server.conf", "-e",
                dir + "/error.log"};
    return {"/usr/sbin/lighttpd", "-D", "-f", dir + "/server.conf"};
}

bool write_config(const server_case &c, const std::string &dir)
{
    std::ofstream conf(dir + "/server.conf");
    conf << (c.server == server_nginx ? nginx_config(c, dir) : lighttpd_config(c, dir));
    return static_cast<bool>(conf);
}

constexpr const char *curl_sizes_format =
    "header=%{size_header} download=%{size_download} request=%{size_request} "
    "upload=%{size_upload} code=%{http_code}\\n";

// All transfers of a case on one command line, so curl keeps one connection.
std::string curl_command(const server_case &c, const std::string &dir)
{
    std::string url = "http://127.0.0.1:" + std::to_string(server_port);
    std::string cmd = "curl -s --noproxy '*' --max-time 20 -w '" + std::string(curl_sizes_format) +
                      "'";
    if (c.load == load_big)
        for (int i = 0; i < big_fetches; i++)
            cmd += " -o /dev/null " + url + "/big.bin";
    if (c.load == load_small)
        for (int i = 1; i <= small_files; i++)
            cmd += " -o /dev/null " + url + "/s" + std::to_string(i) + ".bin";
    if (c.load == load_upload) {
        // nginx answers "Expect: 100-continue" with an interim reply, which curl
        // counts as header bytes; lighttpd does not, so curl would wait a second
        // for it on every upload.
        if (c.server == server_lighttpd)
            cmd += " -H 'Expect:'";
        for (int i = 1; i <= uploads; i++)
            cmd += " -o /dev/null -T '" + dir + "/www/big.bin' " + url + "/up/u" +
                   std::to_string(i) + ".bin";
    }
    return cmd;
}

// What curl counted, summed over its transfers: the server sent what curl
// received and received what curl sent. False when a transfer failed.
bool run_curl(const server_case &c, const std::string &dir, traffic_sums *truth, std::string *out)
{
    int transfers = 0;
    *out = sandbox_output(curl_command(c, dir));
    size_t at = 0;
    while (at < out->size()) {
        size_t end = out->find('\n', at);
        if (end == std::string::npos)
            end = out->size();
        std::string line = " " + out->substr(at, end - at);
        at = end + 1;
        long long code = traffic_field(line, "code");
        long long download = traffic_field(line, "download");
        if (c.load == load_upload ? (code != 201 && code != 204)
                                  : (code != 200 ||
                                     download != (c.load == load_big ? big_size : small_size)))
            return false;
        truth->sent += traffic_field(line, "header") + download;
        truth->received += traffic_field(line, "request") + traffic_field(line, "upload");
        transfers++;
    }
    int expected = c.load == load_big ? big_fetches : c.load == load_small ? small_files : uploads;
    return transfers == expected;
}

void print_row(const char *name, const char *what, long long truth, long long reported)
{
    double percent = truth ? 100.0 * static_cast<double>(reported - truth) / static_cast<double>(truth)
                           : 0.0;
    std::printf("| %s | %s | %lld | %lld | %+lld (%+.3f%%) |\n", name, what, truth, reported,
                reported - truth, percent);
}

// One case in the calling process, which is a child in a namespace of its own.
void run_case(const server_case &c, const std::string &dir)
{
    ASSERT_TRUE(write_site(dir)) << c.name;
    ASSERT_TRUE(write_config(c, dir)) << c.name;
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"})) << c.name;

    child_process server;
    long long started = child_monotonic_ms();
    ASSERT_TRUE(traffic_start(&server, server_argv(c, dir), {"KIVO_CP=iqiyi"}, true)) << c.name;
    ASSERT_TRUE(traffic_wait_port(server_port, 10000))
        << c.name << ": the server does not listen; " << sandbox_read_file(dir + "/error.log");

    traffic_sums truth;
    std::string sizes;
    ASSERT_TRUE(run_curl(c, dir, &truth, &sizes)) << c.name << ": curl said\n" << sizes;
    ASSERT_LT(child_monotonic_ms() - started, load_limit_ms)
        << c.name << ": the load ran into the first report cycle";

    // Reports are added up until they match the truth and nothing more arrives
    // for a while, or until the deadline.
    traffic_sums_by_name sums = traffic_collect_reports(
        &agent,
        [&](const traffic_sums_by_name &got) {
            auto iqiyi = got.find("iqiyi");
            return iqiyi != got.end() && iqiyi->second.sent == truth.sent &&
                   iqiyi->second.received == truth.received;
        },
        started + reports_limit_ms, overshoot_wait_ms);
    traffic_sums reported = sums["iqiyi"];
    int other_names = 0;
    for (const auto &[name, other] : sums)
        if (name != "iqiyi")
            other_names += other.reports;
    print_row(c.name, "sent", truth.sent, reported.sent);
    print_row(c.name, "received", truth.received, reported.received);
    std::fflush(stdout);
    EXPECT_EQ(reported.sent, truth.sent) << c.name;
    EXPECT_EQ(reported.received, truth.received) << c.name;
    EXPECT_GE(reported.reports, 1) << c.name;
    EXPECT_EQ(other_names, 0) << c.name << ": reports under another name than iqiyi";
}

// Runs every case at once, each in a forked child that enters a network
// namespace of its own.
void run_cases(const server_case *cases, size_t count)
{
    std::deque<temp_dir> dirs;
    std::vector<pid_t> children;
    for (size_t i = 0; i < count; i++) {
        const temp_dir &dir = dirs.emplace_back("traffic-servers");
        ASSERT_FALSE(dir.path.empty());
        children.push_back(in_child_start([&] {
            ASSERT_EQ(sandbox_enter(false), 0) << cases[i].name << ": no network namespace";
            run_case(cases[i], dir.path);
        }));
    }
    for (size_t i = 0; i < children.size(); i++)
        in_child_finish(children[i], cases[i].name);
}

} // namespace

class TrafficServers : public TrafficTest {};

TEST_F(TrafficServers, NginxReportsEveryByteCurlCounted)
{
    ASSERT_EQ(access("/usr/sbin/nginx", X_OK), 0) << "nginx-light is not installed (setup.sh)";
    run_cases(nginx_cases, std::size(nginx_cases));
}

TEST_F(TrafficServers, LighttpdReportsEveryByteCurlCounted)
{
    ASSERT_EQ(access("/usr/lib/lighttpd/mod_webdav.so", R_OK), 0)
        << "lighttpd and lighttpd-mod-webdav are not installed (setup.sh)";
    run_cases(lighttpd_cases, std::size(lighttpd_cases));
}

namespace {

// A preloaded curl fetching big.bin; returns the milliseconds from its start
// until it was reaped, or -1 when it failed.
long long timed_curl(const std::string &url, std::string *sizes)
{
    child_process curl;
    long long started = child_monotonic_ms();
    if (!traffic_start(&curl,
                       {"/usr/bin/curl", "-s", "--noproxy", "*", "--max-time", "10", "-o",
                        "/dev/null", "-w", "header=%{size_header} download=%{size_download} "
                        "request=%{size_request}\n", url},
                       {"KIVO_CP=iqiyi"}, true))
        return -1;
    if (child_wait(&curl, 15000) != 0)
        return -1;
    long long took = child_monotonic_ms() - started;
    if (!child_next_line(&curl, sizes, 1000))
        return -1;
    return took;
}

// The fastest of five runs, so that a busy machine's pauses drop out; -1 when
// a run failed, or when an agent was given and a run's report did not reach it.
long long fastest_curl(const std::string &url, child_process *agent)
{
    long long fastest = -1;
    for (int i = 0; i < 5; i++) {
        std::string sizes;
        long long took = timed_curl(url, &sizes);
        traffic_agent_report report;
        if (took < 0 || (agent && !traffic_next_report(agent, &report, 2000)))
            return -1;
        fastest = fastest < 0 ? took : std::min(fastest, took);
    }
    return fastest;
}

void check_curl_exit(const std::string &dir)
{
    ASSERT_TRUE(traffic_write_file(dir + "/big.bin", big_size, 'a'));
    child_process server;
    ASSERT_TRUE(traffic_start(&server,
                              {"/usr/bin/python3", "-u", "-m", "http.server",
                               std::to_string(server_port), "--bind", "127.0.0.1", "--directory",
                               dir},
                              {}, false));
    ASSERT_TRUE(child_expect(&server, "Serving HTTP", nullptr, 15000));
    std::string url = "http://127.0.0.1:" + std::to_string(server_port) + "/big.bin";

    {
        child_process agent;
        ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
        std::string sizes;
        ASSERT_GE(timed_curl(url, &sizes), 0);
        long long header = traffic_field(" " + sizes, "header");
        long long download = traffic_field(" " + sizes, "download");
        long long request = traffic_field(" " + sizes, "request");
        ASSERT_EQ(download, big_size) << sizes;
        ASSERT_GT(header, 0) << sizes;
        ASSERT_GT(request, 0) << sizes;
        // curl ended long before its report thread's first 20-second sleep, so
        // the report at exit carries the bytes. On a loaded machine the thread
        // may get to run only after curl sent its request: its first round then
        // reports those bytes, and the exit the rest. Never a third report.
        traffic_agent_report report;
        int reports = traffic_sum_reports(&agent, &report, 3000, 1000);
        ASSERT_GE(reports, 1) << "no report at exit";
        EXPECT_LE(reports, 2) << "a third report";
        EXPECT_EQ(report.cp, "iqiyi");
        print_row("preloaded curl, 1 MiB", "sent", request, report.sb);
        print_row("preloaded curl, 1 MiB", "received", header + download, report.rb);
        EXPECT_EQ(report.sb, request);
        EXPECT_EQ(report.rb, header + download);
    }

    long long bare = fastest_curl(url, nullptr);
    ASSERT_GE(bare, 0);
    child_process silent;
    ASSERT_TRUE(traffic_start_agent(&silent, {"49193:silent"}));
    // Every run's report reaches the silent agent, so every exit waited for its answer.
    long long held = fastest_curl(url, &silent);
    ASSERT_GE(held, 0) << "a run failed, or its report did not reach the silent agent";
    std::printf("preloaded curl exit: %lld ms with no agent, %lld ms with a silent agent\n", bare,
                held);
    EXPECT_LE(held - bare, 300) << "no agent " << bare << " ms, silent agent " << held << " ms";
}

} // namespace

TEST_F(TrafficServers, PreloadedCurlReportsOnceAtExitAndASilentAgentDelaysItBoundedly)
{
    temp_dir dir("traffic-curl");
    ASSERT_FALSE(dir.path.empty());
    check_curl_exit(dir.path);
}
