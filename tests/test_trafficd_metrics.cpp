// kivo_trafficd's metrics file as node_exporter serves it: a counted busybox
// httpd (the preload cannot see it), its bytes against what curl measured after
// the connection's child process ended and was forgotten, the reports by the
// agent's answer as it gave them, a process's link refused by the kernel's full
// totals counted once; a reader that never finds the file half written; and, in a
// second namespace at the same time, a metrics folder that does not exist.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <vector>

#include "in_child.h"
#include "kivo_trafficd.h"
#include "node_exporter.h"
#include "temp_dir.h"
#include "trafficd_fixture.h"

namespace {

constexpr int exporter_port = 9100;

// The lines of log that start with prefix, after the daemon's lines waiting now are added.
int count_lines(child_process *daemon, const std::string &prefix, std::string *log)
{
    std::string line;
    while (child_next_line(daemon, &line, 200))
        *log += line + "\n";
    int found = 0;
    for (size_t at = 0; at < log->size(); at = log->find('\n', at) + 1)
        if (log->compare(at, prefix.size(), prefix) == 0)
            found++;
    return found;
}

// A daemon whose metrics folder is missing: one line for it, the reports go
// on, and once the folder is there the last cycle at SIGTERM writes the file,
// which then goes with the daemon.
void run_missing_folder_scene(const std::string &dir)
{
    const std::string file = dir + "/missing/kivo_trafficd.prom";
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    std::string log;
    ASSERT_TRUE(trafficd_start_daemon(&daemon, {"--metrics=" + file}, &log));
    long long started = child_monotonic_ms();
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai"));
    ASSERT_GT(trafficd_fetch_three(8082).sent, 0);
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, static_cast<int>(
                                        started + trafficd_first_cycle_limit_ms -
                                        child_monotonic_ms())))
        << "the daemon did not go on to its report cycle";

    EXPECT_EQ(count_lines(&daemon, "kivo_trafficd: metrics: cannot write " + file +
                                       ".tmp: No such file or directory", &log),
              1)
        << "the start and the first cycle both failed; logged once:\n" << log;
    ASSERT_EQ(mkdir((dir + "/missing").c_str(), 0755), 0);
    ASSERT_EQ(kill(daemon.pid, SIGTERM), 0);
    EXPECT_EQ(child_wait(&daemon, 3000), 0);
    log.clear();
    EXPECT_EQ(count_lines(&daemon, "kivo_trafficd: metrics: " + file + " written again", &log),
              1)
        << log;
    EXPECT_NE(access(file.c_str(), F_OK), 0) << "the file outlived the daemon";
}

// Fills the daemon's pinned totals map with entries of no process (thread
// group 0), so that it has room for no other; false when it did not fill.
bool fill_totals(void)
{
    const std::string path =
        "/sys/fs/bpf/kivo_trafficd/net" + std::to_string(trafficd_proc_netns(0)) + "/totals";
    int fd = bpf_obj_get(path.c_str());
    if (fd < 0)
        return false;
    std::vector<trafficd_total> zero(static_cast<size_t>(libbpf_num_possible_cpus()));
    trafficd_key key = {};
    for (key.start = 1; bpf_map_update_elem(fd, &key, zero.data(), BPF_NOEXIST) == 0; key.start++) {
    }
    bool full = errno == E2BIG;
    close(fd);
    return full;
}

constexpr char talk_to_itself[] =
    "import socket\n"
    "s = socket.create_server(('127.0.0.1', 0)); c = socket.create_connection(s.getsockname())\n"
    "p = s.accept()[0]\n"
    "for i in range(100): c.sendall(b'x' * 100); p.recv(100, socket.MSG_WAITALL)\n";

// The file's content as one open and read see it (it is a few KiB).
std::string read_once(const std::string &file)
{
    static char buf[65536];
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    ssize_t got = read(fd, buf, sizeof buf);
    close(fd);
    return got > 0 ? std::string(buf, static_cast<size_t>(got)) : "";
}

// Reads the file in a tight loop until a version holding want replaced the
// one there first, or until deadline_ms: how many reads, how many of them were
// not whole, and whether the change was seen. A text is parsed only when it
// differs from the one read before, so the reads follow each other closely.
struct read_loop {
    long long reads = 0;
    long long broken = 0;
    bool changed = false;
};

read_loop read_until_rewritten(const std::string &file, const std::string &want,
                               long long deadline_ms)
{
    read_loop result;
    const std::string first = read_once(file);
    std::string last = first;
    while (child_monotonic_ms() < deadline_ms) {
        std::string text = read_once(file);
        result.reads++;
        if (text == last)
            continue;
        last = text;
        if (!metrics_text_whole(text))
            result.broken++;
        if (text != first && text.find(want) != std::string::npos) {
            result.changed = true;
            break;
        }
    }
    return result;
}

} // namespace

TEST_F(TrafficdTest, MetricsOfACountedServerReachNodeExporterWholeAndAMissingFolderIsLoggedOnce)
{
    temp_dir site("trafficd-metrics");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    ASSERT_EQ(mkdir((dir + "/metrics").c_str(), 0755), 0);
    const std::string file = dir + "/metrics/kivo_trafficd.prom";
    pid_t other = in_child_start([&] {
        ASSERT_EQ(sandbox_enter(false), 0);
        run_missing_folder_scene(dir);
    });
    ASSERT_GE(other, 0);

    // The first port refuses, the next accepts: both outcomes are counted.
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:error", "49194:ok"}));
    // As the service runs it: node_exporter, another user, must still read the file.
    mode_t umask_before = umask(077);
    child_process daemon;
    time_t spawned = time(nullptr);
    bool daemon_started = trafficd_start_daemon(&daemon, {"--metrics=" + file});
    umask(umask_before);
    ASSERT_TRUE(daemon_started);
    long long started = child_monotonic_ms();
    // Written once at the start, before the load and any cycle, within 3 s.
    std::string lint, at_start = sandbox_read_file(file);
    EXPECT_EQ(promtool_check_metrics(at_start, &lint), 0) << lint << at_start;
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_LE(st.st_mtime, spawned + 3);

    child_process exporter;
    ASSERT_TRUE(node_exporter_start(&exporter, dir + "/metrics", exporter_port));
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai"));
    traffic_sums truth = trafficd_fetch_three(8082);
    ASSERT_GT(truth.sent, 0);
    // The kernel's totals filled up: a process then talking to itself over
    // lo in 200 calls is one entry refused.
    ASSERT_TRUE(fill_totals());
    child_process talker;
    ASSERT_TRUE(traffic_start(&talker, {"/usr/bin/python3", "-c", talk_to_itself},
                              {"KIVO_CP=iqiyi"}, false));
    ASSERT_EQ(child_wait(&talker, 10000), 0);
    ASSERT_LT(child_monotonic_ms() - started, 18000) << "the load ran into the first cycle";

    // Tight reads from just before the first cycle until its file replaced the first.
    usleep(static_cast<useconds_t>(std::max(0LL, started + 18500 - child_monotonic_ms())) * 1000);
    read_loop reads = read_until_rewritten(file, "cp=\"kwai\"", started + 30000);
    std::printf("%lld reads while the file was rewritten, %lld not whole\n", reads.reads,
                reads.broken);
    EXPECT_TRUE(reads.changed) << "no rewrite after the first cycle";
    EXPECT_EQ(reads.broken, 0);

    // The agent's reports by its answer, until the accepted ones carry it all
    // and the cycle is over (nothing more comes).
    std::map<std::string, traffic_sums> by_mode;
    traffic_agent_report report;
    long long deadline = started + trafficd_first_cycle_limit_ms;
    while (!trafficd_within(truth, by_mode["ok"], 1.0) &&
           traffic_next_report(&agent, &report,
                               static_cast<int>(deadline - child_monotonic_ms()))) {
        by_mode[report.mode].sent += report.sb;
        by_mode[report.mode].received += report.rb;
        by_mode[report.mode].reports++;
    }
    ASSERT_TRUE(trafficd_within(truth, by_mode["ok"], 1.0));
    EXPECT_FALSE(traffic_next_report(&agent, &report, 1500)) << report.request;
    std::string text = sandbox_read_file(file);
    EXPECT_EQ(promtool_check_metrics(text, &lint), 0) << lint << text;

    std::string page = node_exporter_scrape(exporter_port);
    auto value = [&page](const std::string &series) {
        double v = -1;
        EXPECT_TRUE(node_exporter_value(page, series, &v)) << series << " not in\n" << page;
        return static_cast<long long>(v);
    };
    long long accepted = value("kivo_trafficd_reports_total{cp=\"kwai\",outcome=\"accepted\"}");
    // Fetched over the loopback, so all of it went over lo.
    traffic_sums scraped = {value("kivo_trafficd_sent_bytes_total{cp=\"kwai\",link=\"lo\"}"),
                            value("kivo_trafficd_received_bytes_total{cp=\"kwai\",link=\"lo\"}"),
                            static_cast<int>(accepted)};
    trafficd_print("kwai, scraped", truth, scraped);
    // The connection's child process ended and was forgotten: its bytes stay.
    EXPECT_TRUE(trafficd_within(truth, scraped, 1.0));
    EXPECT_EQ(accepted, by_mode["ok"].reports);
    EXPECT_EQ(value("kivo_trafficd_reports_total{cp=\"kwai\",outcome=\"refused\"}"),
              by_mode["error"].reports);
    EXPECT_EQ(by_mode["error"].reports, 1) << "the first report only: then the next port";
    EXPECT_EQ(value("kivo_trafficd_reports_total{cp=\"kwai\",outcome=\"no_answer\"}"), 0);
    EXPECT_EQ(value("kivo_trafficd_pending_sent_bytes{cp=\"kwai\"}"), 0);
    EXPECT_EQ(value("kivo_trafficd_processes{cp=\"kwai\"}"), 1) << "busybox itself";
    EXPECT_EQ(value("kivo_trafficd_lost_events_total"), 0);
    EXPECT_EQ(value("kivo_trafficd_map_full_total{map=\"totals\"}"), 1);
    EXPECT_EQ(value("node_textfile_scrape_error"), 0);

    in_child_finish(other, "the namespace with the missing folder");
}
