// kivo_ddns --metrics: the file that Debian's node_exporter serves from its
// textfile folder, after passes against the stand-ins, read through the real
// exporter and checked by promtool; there from the start, rewritten while the
// program is idle, gone when it is stopped; never seen half written; a folder
// that is missing or reached through a link.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ddns_e2e.h"
#include "node_exporter.h"
#include "sandbox.h"
#include "temp_dir.h"

namespace {

constexpr int kExporterPort = 9100;
const std::string kLabels = "record=\"home.example.com\",type=\"A\",line=\"默认\"";

class metrics : public e2e {
protected:
    temp_dir folder_{"ddns-metrics"};
    std::string file() { return folder_ / "kivo_ddns_home.prom"; }
    // Waits until the file, written after each pass's log record, counts at
    // least n passes.
    bool file_counts_passes(double n)
    {
        return ddns_world_wait(
            [&] {
                double v = -1;
                return node_exporter_value(sandbox_read_file(file()),
                                           "kivo_ddns_passes_total{" + kLabels + "}", &v) &&
                       v >= n;
            },
            10.0 + 3.0 * n);
    }
    double value_of(const std::string &series)
    {
        double v = -1;
        node_exporter_value(sandbox_read_file(file()), series + "{" + kLabels + "}", &v);
        return v;
    }
    // Stops the program with signo: it must die of it within 2 s, its file
    // gone.
    void stop_removes_file(int signo, const std::string &written)
    {
        ASSERT_TRUE(S_ISREG(sandbox_mode_of(written)));
        long long asked = child_monotonic_ms();
        EXPECT_EQ(128 + signo, child_stop(&ddns_, signo, 2000));
        EXPECT_LT(child_monotonic_ms() - asked, 2000);
        EXPECT_EQ(0u, sandbox_mode_of(written)) << "the file outlived the program";
    }
};

// The file is there and clean as soon as the options are read, while the
// first pass still waits for DNSPod; an idle program rewrites it within
// half a minute; SIGTERM takes it away.
TEST_F(metrics, TheFileFollowsTheProgramsLife)
{
    start("[]", "{\"address\":\"198.51.100.15\",\"dnspod\":\"hang:4\"}",
          {"--metrics=" + file(), "--interval=3600"});
    ASSERT_TRUE(ddns_world_wait([&] { return metrics_text_whole(sandbox_read_file(file())); }, 3));
    std::string lint, text = sandbox_read_file(file());
    EXPECT_EQ(0, promtool_check_metrics(text, &lint)) << lint << text;
    EXPECT_EQ(0, value_of("kivo_ddns_passes_total")) << text;
    EXPECT_EQ(3600, value_of("kivo_ddns_interval_seconds")) << text;
    EXPECT_GT(value_of("kivo_ddns_started_timestamp_seconds"), 1.7e9) << text;
    EXPECT_EQ(0, value_of("kivo_ddns_confirmed_timestamp_seconds")) << text;

    ddns_world_control(world_, "{\"address\":\"198.51.100.15\"}");
    ASSERT_TRUE(file_counts_passes(1));
    struct stat before, after;
    ASSERT_EQ(0, stat(file().c_str(), &before));
    EXPECT_TRUE(ddns_world_wait(
        [&] { return stat(file().c_str(), &after) == 0 && after.st_mtim.tv_sec > before.st_mtim.tv_sec + 1; },
        35)) << "not rewritten while idle";
    EXPECT_EQ(1, value_of("kivo_ddns_passes_total"));
    ASSERT_NO_FATAL_FAILURE(stop_removes_file(SIGTERM, file()));
}

TEST_F(metrics, PassesReachPrometheusThroughNodeExporter)
{
    // The units' UMask=0077 must not hide the file from the exporter's user.
    mode_t saved = umask(077);
    start("[]", "{\"address\":\"198.51.100.15\"}", {"--metrics=" + file()});
    umask(saved);
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 198.51.100.15") !=
                     std::string::npos; }, 20));
    ASSERT_TRUE(file_counts_passes(3)) << sandbox_read_file(file());

    EXPECT_EQ(S_IFREG | 0644u, sandbox_mode_of(file()));
    std::string text = sandbox_read_file(file());
    std::string lint;
    EXPECT_EQ(0, promtool_check_metrics(text, &lint)) << lint << text;

    child_process exporter;
    ASSERT_TRUE(node_exporter_start(&exporter, folder_.path, kExporterPort));
    std::string page = node_exporter_scrape(kExporterPort);
    double v = -1;
    EXPECT_TRUE(node_exporter_value(page, "node_textfile_scrape_error", &v) && v == 0) << page;
    // The age that the alerting rules read, by the file's path.
    EXPECT_TRUE(node_exporter_value(page, "node_textfile_mtime_seconds{file=\"" + file() + "\"}", &v))
        << page;
    EXPECT_TRUE(node_exporter_value(
        page, "kivo_ddns_address_info{address=\"198.51.100.15\"," + kLabels + "}", &v) && v == 1)
        << page;
    const struct {
        std::string series;
        double least, most;
    } expected[] = {
        {"kivo_ddns_dnspod_requests_total{action=\"list\",code=\"10\"," + kLabels +
             ",outcome=\"ok\"}", 1, 1},
        {"kivo_ddns_dnspod_requests_total{action=\"create\",code=\"1\"," + kLabels +
             ",outcome=\"ok\"}", 1, 1},
        {"kivo_ddns_dnspod_requests_total{action=\"list\",code=\"1\"," + kLabels +
             ",outcome=\"ok\"}", 1, 1},
        {"kivo_ddns_passes_total{" + kLabels + "}", 3, 1e9},
        {"kivo_ddns_echo_requests_total{" + kLabels + ",outcome=\"address\"}", 3, 1e9},
        {"kivo_ddns_echo_requests_total{" + kLabels + ",outcome=\"no_answer\"}", 0, 0},
        {"kivo_ddns_last_pass_decided{" + kLabels + "}", 1, 1},
        {"kivo_ddns_refused_logins_total{" + kLabels + "}", 0, 0},
        {"kivo_ddns_confirmed_timestamp_seconds{" + kLabels + "}", 1.7e9, 1e10},
        {"kivo_ddns_updated_timestamp_seconds{" + kLabels + "}", 1.7e9, 1e10},
    };
    for (const auto &e : expected) {
        ASSERT_TRUE(node_exporter_value(page, e.series, &v)) << e.series << "\n" << page;
        EXPECT_GE(v, e.least) << e.series;
        EXPECT_LE(v, e.most) << e.series;
    }
}

TEST_F(metrics, FailedPassesAreCountedAndTheFileIsNeverHalfWritten)
{
    start(record_set("198.51.100.21"), "{\"address\":\"198.51.100.22\",\"dnspod\":\"drop\"}",
          {"--metrics=" + file()});
    ASSERT_TRUE(file_counts_passes(1));
    // A pass a second, each rewriting the file: every open finds a whole one.
    std::string first = sandbox_read_file(file()), last = first;
    int reads = 0, changes = 0;
    long long end = child_monotonic_ms() + 3500;
    while (child_monotonic_ms() < end) {
        std::string text = sandbox_read_file(file());
        ASSERT_TRUE(metrics_text_whole(text)) << "read " << reads << ":\n" << text;
        changes += text != last;
        last = text;
        reads++;
    }
    EXPECT_GE(changes, 2) << "the file was not rewritten while it was read";
    double v = -1;
    EXPECT_TRUE(node_exporter_value(last, "kivo_ddns_last_pass_decided{" + kLabels + "}", &v) &&
                v == 0) << last;
    EXPECT_TRUE(node_exporter_value(last, "kivo_ddns_dnspod_requests_total{" + kLabels +
                                              ",action=\"list\",outcome=\"no_answer\",code=\"\"}",
                                    &v) && v >= 4) << last;
    EXPECT_EQ(std::string::npos, last.find("kivo_ddns_address_info{")) << last;
    ASSERT_NO_FATAL_FAILURE(stop_removes_file(SIGINT, file()));
}

TEST_F(metrics, MissingFolderIsLoggedOnceAndALinkIsWrittenThrough)
{
    start("[]", "{\"address\":\"198.51.100.15\"}", {"--metrics=/nonexistent/kivo_ddns.prom"});
    ASSERT_TRUE(more_logged_passes(3));
    EXPECT_EQ(1u, count(err(), "ERROR[4]: \033[0mmetrics: cannot write "
                               "/nonexistent/kivo_ddns.prom.tmp: No such file or directory\n"))
        << err();
    ddns_world_stop(&ddns_);

    // A service that may not write the collector's folder writes its own
    // folder's file through a link placed there.
    temp_dir own("ddns-own");
    ASSERT_EQ(0, symlink((own / "metrics.prom").c_str(), file().c_str()));
    ASSERT_TRUE(ddns_world_start(world_, &ddns_,
                                 {KIVO_DDNS_BINARY, "--sub_domain=home", "--main_domain=example.com",
                                  "--interval=1", "--metrics=" + file()},
                                 "ddns2.out", "ddns2.err"));
    ASSERT_TRUE(ddns_world_wait([&] { return !sandbox_read_file(own / "metrics.prom").empty(); }, 10));
    EXPECT_TRUE(S_ISLNK(sandbox_mode_of(file())));
    EXPECT_TRUE(metrics_text_whole(sandbox_read_file(file())));
    // The file goes; the link is the unit's to take away.
    ASSERT_NO_FATAL_FAILURE(stop_removes_file(SIGTERM, own / "metrics.prom"));
    EXPECT_TRUE(S_ISLNK(sandbox_mode_of(file())));
}

} // namespace
