// kivo_ddns as a program: help text, start-up refusals and the running update cycle.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "sandbox.h"
#include "temp_dir.h"

namespace {

struct run_result {
    int status = -1; // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

using stop_test = std::function<bool(const run_result &)>;

int enter_network(void)
{
    return sandbox_enter(false);
}

// Runs kivo_ddns with the given words. It runs until it exits, until stop says
// enough has been seen, or for at most seconds; then it is killed. The update
// cycle runs in a network namespace of its own, so no probe leaves the box.
run_result run_ddns(const std::vector<std::string> &words, double seconds = 10,
                    const stop_test &stop = nullptr)
{
    run_result r;
    temp_dir dir{"ddns-cli"};
    child_process ddns;
    ddns.output_path = dir / "out";
    ddns.errors_path = dir / "err";
    ddns.prepare = enter_network;
    std::vector<std::string> argv{KIVO_DDNS_BIN};
    argv.insert(argv.end(), words.begin(), words.end());
    if (dir.path.empty() || !child_start(&ddns, argv))
        return r;
    long long deadline = child_monotonic_ms() + static_cast<long long>(seconds * 1000);
    auto seen = [&] {
        r.out = sandbox_read_file(ddns.output_path);
        r.err = sandbox_read_file(ddns.errors_path);
    };
    for (;;) {
        if (child_ended(&ddns, &r.status))
            break;
        seen();
        if (child_monotonic_ms() >= deadline || (stop && stop(r))) {
            r.status = child_stop(&ddns, SIGKILL, 5000);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    seen();
    return r;
}

// The source line of the cycle's log call, which its records carry.
int cycle_log_line()
{
    std::istringstream src(sandbox_read_file(KIVO_DDNS_MAIN_SOURCE));
    std::string line;
    for (int n = 1; std::getline(src, line); n++) {
        if (line.find("libkivo_log_write(\"INFO\"") != std::string::npos)
            return n;
    }
    return -1;
}

// The cycle's records on standard error, one string per record.
std::vector<std::string> info_records(const std::string &err)
{
    std::vector<std::string> records;
    std::istringstream in(err);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(" INFO[1]: ") != std::string::npos)
            records.push_back(line);
    }
    return records;
}

stop_test after_records(size_t count)
{
    return [count](const run_result &r) { return info_records(r.err).size() >= count; };
}

std::regex record_form(const std::string &message)
{
    return std::regex("\033\\[01;32m \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d main " +
                      std::to_string(cycle_log_line()) + " INFO\\[1\\]: \033\\[0m" + message);
}

} // namespace

TEST(KivoDdnsCli, HelpTextMatchesTheGoldenCopy)
{
    const std::string golden = sandbox_read_file(KIVO_DDNS_HELP_GOLDEN);
    ASSERT_FALSE(golden.empty());
    const std::vector<std::string> lines[] = {
        {"--help"}, {"-h"}, {"-?"}, {"--interval=5", "-h"}, {"-h", "--interval=5"},
        {"--sub_domain=", "--help"}, {"--he"},
    };
    for (const std::vector<std::string> &words : lines) {
        SCOPED_TRACE(words[0]);
        run_result r = run_ddns(words);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, golden);
        EXPECT_EQ(r.err, "");
    }
}

TEST(KivoDdnsCli, BadOptionsPrintTheHelpWithStatus0)
{
    const std::string golden = sandbox_read_file(KIVO_DDNS_HELP_GOLDEN);
    const struct {
        std::vector<std::string> words;
        const char *diagnostic;
    } cases[] = {
        {{"--bogus"}, "unrecognized option"},
        {{"--help=x"}, "doesn't allow an argument"},
        {{"--sub_domain=a", "--interval"}, "requires an argument"},
        {{"-x"}, "invalid option"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words.back());
        run_result r = run_ddns(c.words);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, golden);
        EXPECT_NE(r.err.find(c.diagnostic), std::string::npos) << r.err;
    }
}

TEST(KivoDdnsCli, RefusesToStartWithoutRecordNameOrZone)
{
    const struct {
        std::vector<std::string> words;
        int status;
        const char *out;
    } cases[] = {
        {{"--sub_domain="}, 255, "please point sub_domain, such as: --sub_domain=hostname\n"},
        {{"--sub_domain=", "--main_domain="}, 255,
         "please point sub_domain, such as: --sub_domain=hostname\n"},
        {{"--main_domain="}, 254, "please point main_domain, such as: --main_domain=example.com\n"},
        {{"--main_domain=x.org", "--main_domain="}, 254,
         "please point main_domain, such as: --main_domain=example.com\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        run_result r = run_ddns(c.words);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, ""); // refused before the first pass
    }
}

TEST(KivoDdnsCli, TooLongArgumentIsRefusedWith253)
{
    const struct {
        std::vector<std::string> words;
        const char *out;
    } cases[] = {
        {{"--ddns_token=" + std::string(256, 't')},
         "kivo_ddns: the argument of --ddns_token is longer than 255 characters, refused\n"},
        {{"--sub_domain=" + std::string(128, 's'), "--nic=" + std::string(40, 'n')},
         "kivo_ddns: the argument of --sub_domain is longer than 127 characters, refused\n"
         "kivo_ddns: the argument of --nic is longer than 31 characters, refused\n"},
        {{"--extern_ip=" + std::string(46, '1'), "--sub_domain="},
         "kivo_ddns: the argument of --extern_ip is longer than 45 characters, refused\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        run_result r = run_ddns(c.words);
        EXPECT_EQ(r.status, 253);
        EXPECT_EQ(r.out, c.out);
    }
}

TEST(KivoDdnsCli, CycleLogsEveryPassAndSleepsTheInterval)
{
    auto started = std::chrono::steady_clock::now();
    run_result r = run_ddns({"--interval=1", "--extern_ip=1.2.3.4", "--sub_domain=box",
                             "--main_domain=example.net"},
                            8, after_records(3));
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_NE(r.status, 127) << "not started: " << r.err;
    EXPECT_EQ(r.status, 128 + SIGKILL); // it never leaves the cycle on its own
    std::vector<std::string> records = info_records(r.err);
    ASSERT_GE(records.size(), 3u) << r.err;
    for (const std::string &rec : records)
        EXPECT_TRUE(std::regex_match(rec, record_form("interval: 1, ddnspod: box.example.net --> 1\\.2\\.3\\.4")))
            << rec;
    // Three passes with a one-second sleep after each of the first two.
    EXPECT_GE(took, 2.0);
}

TEST(KivoDdnsCli, ArgumentsAtFullWidthAreUsed)
{
    std::string sub(127, 's'), zone(127, 'z'), ip = "1111111111.2222222222.3333333333";
    ip.resize(31);
    run_result r = run_ddns({"--ddns_token=" + std::string(255, 't'), "--sub_domain=" + sub,
                             "--main_domain=" + zone, "--extern_ip=" + ip,
                             "--nic=" + std::string(31, 'n'), "--interval=60"},
                            8, after_records(1));
    ASSERT_NE(r.status, 127) << "not started: " << r.err;
    std::vector<std::string> records = info_records(r.err);
    ASSERT_EQ(records.size(), 1u) << r.err;
    EXPECT_TRUE(std::regex_match(records[0], record_form("interval: 60, ddnspod: " + sub + "\\." +
                                                         zone + " --> " + ip)))
        << records[0];
}

TEST(KivoDdnsCli, IntervalBelowOneSecondRunsWithTheDefault)
{
    // The notice must reach the pipe while the program runs: standard output is
    // line-buffered, and a killed process never flushes.
    run_result r = run_ddns({"--interval=abc", "--extern_ip=1.2.3.4", "--sub_domain=box"}, 8,
                            [](const run_result &seen) {
                                return !info_records(seen.err).empty() &&
                                       seen.out.find('\n') != std::string::npos;
                            });
    ASSERT_NE(r.status, 127) << "not started: " << r.err;
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_NE(r.out.find("kivo_ddns: --interval=0 is not a positive number of seconds, using 300\n"),
              std::string::npos)
        << r.out;
    std::vector<std::string> records = info_records(r.err);
    ASSERT_EQ(records.size(), 1u) << r.err;
    EXPECT_TRUE(std::regex_match(records[0], record_form("interval: 300, ddnspod: box.example.com --> 1\\.2\\.3\\.4")))
        << records[0];
}
