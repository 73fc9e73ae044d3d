// kivo_trafficd against real servers of every build, each case in a network
// namespace of its own with a stand-in agent: Go's caddy, the static busybox
// httpd (one child per connection), nginx-light with sendfile, python3's
// http.server preloaded with libkivotraffic (the library's to report, so it is
// reported once), a server without KIVO_CP (never reported) and a curl that
// runs for about a second. Every sum is held against what curl measured.
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>

#include "in_child.h"
#include "kivo_trafficd.h"
#include "temp_dir.h"
#include "trafficd_fixture.h"
#include "unit_check.h"

namespace {

constexpr long long big_size = 1 << 20;

std::string nginx_config(const std::string &dir, int port)
{
    return "daemon off;\nmaster_process on;\nworker_processes 1;\nuser root root;\n"
           "pid " + dir + "/nginx.pid;\nerror_log " + dir + "/error.log;\n"
           "events { worker_connections 64; }\n"
           "http {\n  access_log off;\n  sendfile on;\n"
           "  client_body_temp_path " + dir + "/body;\n  proxy_temp_path " + dir + "/body;\n"
           "  fastcgi_temp_path " + dir + "/body;\n  uwsgi_temp_path " + dir + "/body;\n"
           "  scgi_temp_path " + dir + "/body;\n"
           "  server { listen 127.0.0.1:" + std::to_string(port) + "; root " + dir + "; }\n}\n";
}

} // namespace

TEST_F(TrafficdTest, ServersOfEveryBuildAreReportedOnceWithWhatCurlMeasured)
{
    temp_dir site("trafficd-servers");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    ASSERT_EQ(sandbox_sh("mkdir -p '" + dir + "/body'"), 0);
    {
        std::ofstream conf(dir + "/nginx.conf");
        conf << nginx_config(dir, 8083);
    }
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    ASSERT_TRUE(trafficd_start_daemon(&daemon));
    long long started = child_monotonic_ms();

    child_process caddy, busybox, nginx, preloaded, plain;
    ASSERT_TRUE(traffic_start(&caddy,
                              {"/usr/bin/caddy", "file-server", "--root", dir, "--listen",
                               "127.0.0.1:8081"},
                              {"KIVO_CP=iqiyi", "HOME=" + dir, "XDG_CONFIG_HOME=" + dir,
                               "XDG_DATA_HOME=" + dir},
                              false));
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai"));
    ASSERT_TRUE(traffic_start(&nginx,
                              {"/usr/sbin/nginx", "-p", dir + "/", "-c", dir + "/nginx.conf", "-e",
                               dir + "/error.log"},
                              {"KIVO_CP=tencent"}, false));
    ASSERT_TRUE(traffic_start(&preloaded,
                              {"/usr/bin/python3", "-u", "-m", "http.server", "8084", "--bind",
                               "127.0.0.1", "--directory", dir},
                              {"KIVO_CP=cnetc"}, true));
    ASSERT_TRUE(traffic_start(&plain,
                              {"/usr/bin/python3", "-u", "-m", "http.server", "8085", "--bind",
                               "127.0.0.1", "--directory", dir},
                              {}, false));
    for (int port = 8081; port <= 8085; port++)
        ASSERT_TRUE(traffic_wait_port(port, 15000))
            << "port " << port << " does not listen; " << sandbox_read_file(dir + "/error.log");

    traffic_sums_by_name truth;
    truth["iqiyi"] = trafficd_fetch_three(8081);
    truth["kwai"] = trafficd_fetch_three(8082);
    truth["tencent"] = trafficd_fetch_three(8083);
    truth["cnetc"] = trafficd_fetch_three(8084);
    for (const auto &[name, sums] : truth)
        ASSERT_GT(sums.sent, 3 * big_size) << name << ": curl failed";
    traffic_sums plain_truth = trafficd_fetch_three(8085);
    ASSERT_GT(plain_truth.sent, 3 * big_size);

    // A client that lives for about a second (three fetches at two a second)
    // from the server that nobody reports.
    trafficd_curl short_run;
    long long curl_started = child_monotonic_ms();
    std::string plain_url = trafficd_url(8085);
    ASSERT_TRUE(trafficd_run_curl({"--rate", "2/s", "-o", "/dev/null", plain_url, "-o",
                                   "/dev/null", plain_url, "-o", "/dev/null", plain_url},
                                  {"KIVO_CP=leteng"}, &short_run));
    long long curl_ms = child_monotonic_ms() - curl_started;
    EXPECT_GE(curl_ms, 900) << "the client was meant to run about a second";
    truth["leteng"] = {short_run.request, short_run.header + short_run.download, 0};
    ASSERT_LT(child_monotonic_ms() - started, 18000) << "the load ran into the first cycle";

    traffic_sums_by_name reported =
        trafficd_collect(&agent, truth, started + trafficd_first_cycle_limit_ms);
    std::printf("short curl ran %lld ms\n", curl_ms);
    for (const auto &[name, want] : truth) {
        trafficd_print(name, want, reported[name]);
        EXPECT_TRUE(trafficd_within(want, reported[name], 1.0)) << name;
    }
    // The library counts every byte itself: once, so exactly what curl measured.
    EXPECT_EQ(reported["cnetc"].sent, truth["cnetc"].sent) << "the preloaded server twice?";
    EXPECT_EQ(reported["cnetc"].received, truth["cnetc"].received);
    for (const auto &[name, sums] : reported)
        EXPECT_TRUE(truth.count(name)) << "a report for " << name << ": " << sums.sent
                                       << " sent (the server without KIVO_CP sent "
                                       << plain_truth.sent << ")";
}

TEST_F(TrafficdTest, AForkedChildIsReportedOnItsOwnWithItsParentsName)
{
    // A sink nobody reports, and a client that sends 1000 bytes, forks a child
    // that sends 3000, waits for it, then runs a program without KIVO_CP that
    // sends 7000 (not counted, though the thread was); a third process's
    // KIVO_CP is no known name. Each connection's bytes are the request the
    // sink reads whole.
    const char *sink =
        "import socket, threading\n"
        "s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
        "s.bind(('127.0.0.1', 9000)); s.listen(16); print('ready', flush=True)\n"
        "def drain(c):\n"
        "    while c.recv(65536): pass\n"
        "    c.close()\n"
        "while True:\n"
        "    c, _ = s.accept(); threading.Thread(target=drain, args=(c,)).start()\n";
    const char *client =
        "import os, socket, sys\n"
        "def send(n):\n"
        "    c = socket.create_connection(('127.0.0.1', 9000)); c.sendall(b'x' * n); c.close()\n"
        "send(int(sys.argv[1]))\n"
        "if len(sys.argv) > 2:\n"
        "    pid = os.fork()\n"
        "    if pid == 0:\n"
        "        send(int(sys.argv[2])); os._exit(0)\n"
        "    os.waitpid(pid, 0)\n"
        "    env = dict(os.environ); del env['KIVO_CP']\n"
        "    os.execve(sys.executable, [sys.executable, '-c', 'import socket; c = "
        "socket.create_connection((\"127.0.0.1\", 9000)); c.sendall(b\"x\" * 7000)'], env)\n";
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    ASSERT_TRUE(trafficd_start_daemon(&daemon));
    long long started = child_monotonic_ms();
    child_process server;
    ASSERT_TRUE(traffic_start(&server, {"/usr/bin/python3", "-c", sink}, {}, false));
    ASSERT_TRUE(child_expect(&server, "ready", nullptr, 10000));

    child_process parent, stranger;
    ASSERT_TRUE(traffic_start(&parent, {"/usr/bin/python3", "-c", client, "1000", "3000"},
                              {"KIVO_CP=tencent_video"}, false));
    ASSERT_EQ(child_wait(&parent, 10000), 0);
    ASSERT_TRUE(traffic_start(&stranger, {"/usr/bin/python3", "-c", client, "500"},
                              {"KIVO_CP=no_such_provider"}, false));
    ASSERT_EQ(child_wait(&stranger, 10000), 0);

    std::vector<traffic_agent_report> reports;
    traffic_agent_report report;
    while (reports.size() < 3 &&
           traffic_next_report(&agent, &report,
                               static_cast<int>(started + trafficd_first_cycle_limit_ms -
                                                child_monotonic_ms())))
        reports.push_back(report);
    // Nothing else may follow: each process once.
    if (traffic_next_report(&agent, &report, 1500))
        reports.push_back(report);
    std::vector<std::string> seen;
    for (const traffic_agent_report &r : reports)
        seen.push_back(r.cp + " " + std::to_string(r.sb) + "/" + std::to_string(r.rb));
    ASSERT_EQ(reports.size(), 3u) << testing::PrintToString(seen);
    std::map<long long, std::string> by_sent;
    for (const traffic_agent_report &r : reports) {
        by_sent[r.sb] = r.cp;
        EXPECT_EQ(r.rb, 0) << r.request;
        EXPECT_EQ(r.request, traffic_expected_request(r.cp.c_str(), r.sb, r.rb));
    }
    EXPECT_EQ(by_sent[1000], "Tencent_Video") << testing::PrintToString(seen);
    EXPECT_EQ(by_sent[3000], "Tencent_Video") << "the child: " << testing::PrintToString(seen);
    EXPECT_EQ(by_sent[500], "unknown") << testing::PrintToString(seen);
}

TEST_F(TrafficdTest, AnAgentDownForACycleLosesNothingAndSigtermSendsTheRest)
{
    temp_dir site("trafficd-agent");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    child_process daemon;
    ASSERT_TRUE(trafficd_start_daemon(&daemon));
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai"));
    traffic_sums first = trafficd_fetch_three(8082);
    ASSERT_GT(first.sent, 0);

    // The first cycle finds no agent on any port of the window.
    ASSERT_TRUE(child_expect(&daemon, "kivo_trafficd: no traffic agent took a report", nullptr,
                               25000));
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49197:ok"}));
    traffic_sums more = trafficd_fetch_three(8082);
    ASSERT_GT(more.sent, 0);
    traffic_sums_by_name truth = {
        {"kwai", {first.sent + more.sent, first.received + more.received, 0}}};
    traffic_sums_by_name reported =
        trafficd_collect(&agent, truth, child_monotonic_ms() + 24000);
    trafficd_print("kwai, agent back", truth["kwai"], reported["kwai"]);
    EXPECT_EQ(reported["kwai"].sent, truth["kwai"].sent);
    EXPECT_EQ(reported["kwai"].received, truth["kwai"].received);

    // Bytes since the last cycle go out when the daemon is stopped, within 2 s.
    traffic_sums last = trafficd_fetch_three(8082);
    ASSERT_GT(last.sent, 0);
    long long stopping = child_monotonic_ms();
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(child_wait(&daemon, 2000), 0);
    long long took = child_monotonic_ms() - stopping;
    std::printf("SIGTERM to exit: %lld ms\n", took);
    EXPECT_LE(took, 2000);
    traffic_sums_by_name at_stop =
        trafficd_collect(&agent, {{"kwai", last}}, child_monotonic_ms() + 1000, 300);
    trafficd_print("kwai, at SIGTERM", last, at_stop["kwai"]);
    EXPECT_EQ(at_stop["kwai"].sent, last.sent);
    EXPECT_EQ(at_stop["kwai"].received, last.received);
}

// A daemon killed with SIGKILL leaves what it counted and what the agent
// accepted pinned in bpffs; the next one reports the rest. Maps of another
// build are replaced, said in one record; a second daemon of the namespace is
// refused before it writes a metrics file, which would be the running one's,
// whether it sees bpffs or not.
TEST_F(TrafficdTest, ADaemonKilledWithSigkillLeavesItsCountsToTheNextOne)
{
    temp_dir site("trafficd-kill");
    ASSERT_TRUE(trafficd_site(site.path));
    const std::string folder =
        "/sys/fs/bpf/kivo_trafficd/net" + std::to_string(trafficd_proc_netns(0));
    ASSERT_EQ(0, sandbox_sh("mkdir -p " + folder + " && bpftool map create " + folder +
                            "/totals type hash key 4 value 4 entries 1 name totals"));
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process first, second;
    std::string log;
    ASSERT_TRUE(trafficd_start_daemon(&first, {}, &log));
    EXPECT_EQ(log.find("kivo_trafficd: the maps pinned in " + folder +
                       " are of another build; starting afresh\n"),
              0u)
        << log;
    EXPECT_EQ(log.find("another build", log.find("another build") + 1), std::string::npos)
        << "one record:\n" << log;
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, site.path, 8082, "kwai"));
    traffic_sums truth = trafficd_fetch_three(8082);
    ASSERT_GT(truth.sent, 0);
    ASSERT_EQ(kill(first.pid, SIGKILL), 0);
    EXPECT_EQ(child_wait(&first, 2000), 128 + SIGKILL);

    log.clear();
    ASSERT_TRUE(trafficd_start_daemon(&second, {}, &log));
    long long started = child_monotonic_ms();
    EXPECT_NE(log.find("kivo_trafficd: took over what the daemon before counted in " + folder),
              std::string::npos)
        << log;
    const std::string refused = site / "refused.prom";
    EXPECT_EQ(sandbox_output(std::string("'") + KIVO_TRAFFICD + "' --metrics=" + refused +
                             " 2>&1; echo $?; test ! -e " + refused + " || echo written"),
              "kivo_trafficd: another kivo_trafficd counts network namespace " +
                  std::to_string(trafficd_proc_netns(0)) + " (it holds " + folder + ")\n1\n");
    // One that sees no bpffs is refused too: it would count the same bytes.
    ASSERT_EQ(0, mount("tmpfs", "/sys/fs/bpf", "tmpfs", 0, nullptr));
    const std::string unpinned =
        sandbox_output(std::string("timeout 10 '") + KIVO_TRAFFICD + "' 2>&1; echo $?");
    umount("/sys/fs/bpf");
    EXPECT_EQ(unpinned, "kivo_trafficd: another kivo_trafficd counts network namespace " +
                            std::to_string(trafficd_proc_netns(0)) + "\n1\n");
    trafficd_curl more;
    std::string url = trafficd_url(8082);
    ASSERT_TRUE(trafficd_run_curl({"-o", "/dev/null", url, "-o", "/dev/null", url}, {}, &more));
    truth.sent += more.header + more.download;
    truth.received += more.request;
    traffic_sums_by_name reported =
        trafficd_collect(&agent, {{"kwai", truth}}, started + trafficd_first_cycle_limit_ms);
    trafficd_print("kwai, five transfers over two daemons", truth, reported["kwai"]);
    EXPECT_TRUE(trafficd_within(truth, reported["kwai"], 1.0));
}

// The unit's filter and capabilities hold what the daemon really does: a
// counted server's bytes reported at SIGTERM, with the unit's bounding set
// and no new privileges, under strace; every call in the unit's filter.
TEST_F(TrafficdTest, EveryCallOfARunIsInTheUnitsFilter)
{
    temp_dir site("trafficd-unit");
    ASSERT_TRUE(trafficd_site(site.path));
    const std::string unit = sandbox_read_file(KIVO_TRAFFICD_UNIT);
    std::vector<std::string> wrapper = unit_setpriv(unit);
    std::vector<std::string> trace = strace_words(site / "trace");
    wrapper.insert(wrapper.end(), trace.begin(), trace.end());
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    std::string log;
    ASSERT_TRUE(trafficd_start_daemon(&daemon, {"--metrics=" + (site / "kivo_trafficd.prom")},
                                      &log, 30000, wrapper))
        << log;
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, site.path, 8082, "kwai"));
    traffic_sums_by_name truth = {{"kwai", trafficd_fetch_three(8082)}};
    ASSERT_GT(truth["kwai"].sent, 0);
    // The daemon is strace's child: the signal goes to it, and strace ends with it.
    ASSERT_EQ(0, sandbox_sh("pkill -TERM -P " + std::to_string(daemon.pid)));
    EXPECT_EQ(child_wait(&daemon, 5000), 0);
    traffic_sums_by_name reported = trafficd_collect(&agent, truth, child_monotonic_ms() + 3000);
    EXPECT_EQ(reported["kwai"].sent, truth["kwai"].sent);

    // The metrics file: written before the load (its first map; the kernel's
    // check probes before it), written by the last cycle, then removed.
    const std::string log_of_calls = sandbox_read_file(site / "trace");
    const std::string removal = "unlink(\"" + (site / "kivo_trafficd.prom") + "\") = 0";
    EXPECT_LT(log_of_calls.find(" rename("), log_of_calls.find(" bpf(BPF_MAP_CREATE"))
        << "not written before the load";
    EXPECT_LT(log_of_calls.rfind(" rename("), log_of_calls.rfind(removal)) << "not removed after its last write";
    EXPECT_NE(access((site / "kivo_trafficd.prom").c_str(), F_OK), 0);

    std::set<std::string> made = strace_calls(log_of_calls);
    ASSERT_TRUE(made.count("bpf") && made.count("rename")) << "no trace";
    std::set<std::string> allowed;
    ASSERT_TRUE(unit_allowed_calls(unit, &allowed));
    EXPECT_EQ(std::vector<std::string>{}, calls_outside(allowed, made));
}

namespace {

// One namespace's scene: its agent, its daemon, its busybox under cp.
void run_namespace_scene(const std::string &dir, const char *cp, int port)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    ASSERT_TRUE(trafficd_start_daemon(&daemon));
    long long started = child_monotonic_ms();
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, port, cp));
    traffic_sums_by_name truth = {{cp, trafficd_fetch_three(port)}};
    ASSERT_GT(truth[cp].sent, 0);
    traffic_sums_by_name reported =
        trafficd_collect(&agent, truth, started + trafficd_first_cycle_limit_ms);
    trafficd_print(std::string(cp) + " in its namespace", truth[cp], reported[cp]);
    EXPECT_EQ(reported[cp].sent, truth[cp].sent) << cp;
    EXPECT_EQ(reported[cp].received, truth[cp].received) << cp;
    EXPECT_EQ(reported.size(), 1u) << cp << ": reports of another namespace's process";
}

} // namespace

TEST_F(TrafficdTest, TwoDaemonsInTwoNamespacesReportOnlyTheirOwn)
{
    temp_dir site("trafficd-two");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    pid_t other = in_child_start([&] {
        ASSERT_EQ(sandbox_enter(false), 0);
        run_namespace_scene(dir, "kwai", 8082);
    });
    ASSERT_GE(other, 0);
    run_namespace_scene(dir, "iqiyi", 8082);
    in_child_finish(other, "the other namespace");
}

// A hung agent whose backlog is full on the first port and silent ones on
// the others make a cycle of 50 s (5 s a port): the metrics file stays under
// half a minute old through it, and a stop in it still ends the daemon within
// 2 s, after a last attempt, without the file.
TEST_F(TrafficdTest, ACycleHeldUpBySilentAgentsKeepsTheFileFreshAndSigtermEndsItWithinTwoSeconds)
{
    temp_dir site("trafficd-silent");
    const std::string &dir = site.path;
    const std::string file = dir + "/kivo_trafficd.prom";
    ASSERT_TRUE(trafficd_site(dir));
    std::vector<std::string> ports = {"49193:stuck"};
    for (int port = 49194; port <= 49202; port++)
        ports.push_back(std::to_string(port) + ":silent");
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, ports));
    child_process daemon;
    ASSERT_TRUE(trafficd_start_daemon(&daemon, {"--metrics=" + file}));
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai"));
    ASSERT_GT(trafficd_fetch_three(8082).sent, 0);
    // The cycle's first report has reached the second port, 5 s after the
    // connect to the first, and will get no answer; then the next ports, one
    // every 5 s, until the fourth (15 s later).
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 30000)) << "a connect held the cycle up";
    long long oldest = 0, until = child_monotonic_ms() + 20000;
    for (int reports = 1; reports < 4 && child_monotonic_ms() < until;) {
        struct stat st;
        ASSERT_EQ(stat(file.c_str(), &st), 0);
        oldest = std::max(oldest, static_cast<long long>(time(nullptr) - st.st_mtime));
        if (traffic_next_report(&agent, &report, 500))
            reports++;
    }
    ASSERT_EQ(report.port, 49197) << "the cycle did not walk the ports";
    std::printf("the file's age through the held-up cycle: at most %lld s\n", oldest);
    EXPECT_LE(oldest, 30);

    long long stopping = child_monotonic_ms();
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(child_wait(&daemon, 3000), 0);
    long long took = child_monotonic_ms() - stopping;
    std::printf("SIGTERM during the reply wait to exit: %lld ms\n", took);
    EXPECT_LE(took, 2000);
    // The last cycle tried the same agent again with the same bytes.
    traffic_agent_report again;
    EXPECT_TRUE(traffic_next_report(&agent, &again, 500)) << "no last attempt";
    EXPECT_EQ(again.request, report.request);
    EXPECT_EQ(again.port, report.port);
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "the file outlived the daemon";
}
