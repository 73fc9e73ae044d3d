// Counting rules, the "KIVO_CP" table and the report thread's start, seen from
// inside real preloaded processes.
#include <cerrno>
#include <csignal>
#include <string>

#include "traffic_fixture.h"

namespace {

struct count_case {
    const char *op;
    long long result;
    int error;  // checked when result is -1
    long long send;
    long long receive;
};

// What each call of "traffic_host count" must return and add.
constexpr count_case count_cases[] = {
    {"write_socket", 100, 0, 100, 0},
    {"read_socket", 100, 0, 0, 100},
    {"read_socket_empty", -1, EAGAIN, 0, 0},
    {"write_socket_zero", 0, 0, 0, 0},
    {"read_socket_eof", 0, 0, 0, 0},
    {"write_closed_fd", -1, EBADF, 0, 0},
    {"read_closed_fd", -1, EBADF, 0, 0},
    {"write_pipe", 50, 0, 0, 0},
    {"read_pipe", 50, 0, 0, 0},
    {"write_file", 30, 0, 0, 0},
    {"read_file", 30, 0, 0, 0},
    {"send_socket", 40, 0, 40, 0},
    {"recv_socket", 40, 0, 0, 40},
    {"send_zero", 0, 0, 0, 0},
    {"recv_empty", -1, EAGAIN, 0, 0},
    {"recv_eof", 0, 0, 0, 0},
    {"send_pipe", -1, ENOTSOCK, 0, 0},
    {"sendto_datagram", 20, 0, 20, 0},
    {"recvfrom_datagram", 20, 0, 0, 20},
    {"sendto_closed_fd", -1, EBADF, 0, 0},
    {"recvfrom_empty", -1, EAGAIN, 0, 0},
    {"sendfile_file", 30, 0, 30, 0},
    {"sendfile_socket", 30, 0, 30, 0},
    {"read_socket_sent_file", 30, 0, 0, 30},
    {"sendfile_closed_fd", -1, EBADF, 0, 0},
    {"sendfile64_socket", 30, 0, 30, 0},
    {"read_socket_sent_file64", 30, 0, 0, 30},
    {"writev_socket", 100, 0, 100, 0},
    {"readv_socket", 100, 0, 0, 100},
    {"writev_pipe", 100, 0, 0, 0},
    {"readv_pipe", 100, 0, 0, 0},
    {"writev_nothing", 0, 0, 0, 0},
    {"readv_too_many", -1, EINVAL, 0, 0},
    {"sendmsg_socket", 100, 0, 100, 0},
    {"recvmsg_socket", 100, 0, 0, 100},
    {"recvmsg_pipe", -1, ENOTSOCK, 0, 0},
    {"sendmmsg_datagram", 2, 0, 50, 0},
    {"recvmmsg_datagram", 2, 0, 0, 50},
    {"recvmmsg_empty", -1, EAGAIN, 0, 0},
    {"splice_pipe_to_socket", 25, 0, 25, 0},
    {"splice_socket_to_pipe", 25, 0, 0, 25},
    {"splice_pipe_to_file", 25, 0, 0, 0},
    {"write_socket_for_chk", 70, 0, 70, 0},
    {"read_chk_socket", 30, 0, 0, 30},
    {"recv_chk_socket", 40, 0, 0, 40},
    {"read_chk_pipe", 10, 0, 0, 0},
    {"sendto_for_chk", 15, 0, 15, 0},
    {"recvfrom_chk_datagram", 15, 0, 0, 15},
};

struct cp_case {
    const char *value;  // nullptr: KIVO_CP not set
    const char *cp;
    bool thread_at_load;
    bool keeps_preload;
};

constexpr cp_case cp_cases[] = {
    {"iqiyi", "iqiyi", true, true},
    {"cnetc", "cnetc", true, true},
    {"tencent_sv", "tencent_sv", true, true},
    {"tencent_video", "Tencent_Video", true, false},
    {"tencent", "tencent", true, false},
    {"tencent4", "tencent4", true, false},
    {"tencent_om", "tencent_om", true, false},
    {"kwai", "kwai", true, false},
    {"leteng", "leteng", true, false},
    {"quarl", "webrtc", true, false},
    {"Tencent_Video", "unknown", false, false},
    {"", "unknown", false, false},
    {nullptr, "unknown", false, false},
};

} // namespace

class TrafficCount : public TrafficTest {};

TEST_F(TrafficCount, EachCallAddsOnlySocketBytesAndKeepsItsResult)
{
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "count"}, {}, true));
    for (const count_case &c : count_cases) {
        SCOPED_TRACE(c.op);
        std::string line;
        ASSERT_TRUE(child_next_line(&host, &line, 5000));
        ASSERT_EQ(line.rfind(std::string("op ") + c.op + " ", 0), 0u) << line;
        EXPECT_EQ(traffic_field(line, "result"), c.result) << line;
        if (c.result == -1) {
            EXPECT_EQ(traffic_field(line, "errno"), c.error) << line;
        }
        EXPECT_EQ(traffic_field(line, "send"), c.send) << line;
        EXPECT_EQ(traffic_field(line, "receive"), c.receive) << line;
    }
    EXPECT_EQ(child_wait(&host, 5000), 0);
}

TEST_F(TrafficCount, ConcurrentWritesAreExactAndStartOneThread)
{
    // 8 writers make their first write at the same moment in a process that
    // has no report thread yet (KIVO_CP not set), then 100,000 writes each.
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "threads", "8", "100000", "16"}, {},
                              true));
    std::string line;
    ASSERT_TRUE(child_expect(&host, "threads ", &line, 60000));
    EXPECT_EQ(traffic_field(line, "send"), 8LL * 100000 * 16) << line;
    EXPECT_EQ(traffic_field(line, "receive"), 8LL * 100000 * 16) << line;
    // The main thread and exactly one report thread are left.
    EXPECT_EQ(traffic_field(line, "tasks"), 2) << line;
    EXPECT_EQ(child_wait(&host, 5000), 0);
}

TEST_F(TrafficCount, ContentProviderTable)
{
    for (const cp_case &c : cp_cases) {
        SCOPED_TRACE(c.value ? c.value : "(not set)");
        std::vector<std::string> env;
        if (c.value)
            env.push_back(std::string("KIVO_CP=") + c.value);
        child_process host;
        ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "cp"}, env, true));
        std::string line;
        ASSERT_TRUE(child_expect(&host, "cp=", &line, 5000));
        EXPECT_EQ(line.substr(0, line.find(' ')), std::string("cp=") + c.cp) << line;
        EXPECT_NE(line.find(c.keeps_preload ? " preload=kept " : " preload=removed "),
                  std::string::npos) << line;
        EXPECT_EQ(traffic_field(line, "tasks"), c.thread_at_load ? 2 : 1) << line;
        // send and recv never start the thread; the first write does.
        ASSERT_TRUE(child_expect(&host, "after_send ", &line, 5000));
        EXPECT_EQ(traffic_field(line, "tasks"), c.thread_at_load ? 2 : 1) << line;
        ASSERT_TRUE(child_expect(&host, "after_write ", &line, 5000));
        EXPECT_EQ(traffic_field(line, "tasks"), 2) << line;
        EXPECT_EQ(child_wait(&host, 5000), 0);
    }
}

TEST_F(TrafficCount, ReportThreadBlocksAsynchronousSignalsOnly)
{
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "mask"}, {"KIVO_CP=iqiyi"}, true));
    std::string line;
    ASSERT_TRUE(child_expect(&host, "mask ", &line, 10000));
    unsigned long long main_mask = std::stoull(line.substr(line.find("main=") + 5), nullptr, 16);
    unsigned long long report_mask =
        std::stoull(line.substr(line.find("report=") + 7), nullptr, 16);
    auto bit = [](int sig) { return 1ULL << (sig - 1); };
    // The host's own thread keeps the mask it had.
    EXPECT_EQ(main_mask, 0u) << line;
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                    SIGCHLD, SIGIO, SIGRTMAX})
        EXPECT_NE(report_mask & bit(sig), 0u) << "signal " << sig << " open in " << line;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE})
        EXPECT_EQ(report_mask & bit(sig), 0u) << "signal " << sig << " blocked in " << line;
    EXPECT_EQ(child_wait(&host, 5000), 0);
}
