// fork: which children report at once, what they carry, and a fork that meets
// a held lock.
#include <string>

#include "traffic_fixture.h"

namespace {

struct fork_case {
    const char *value;  // KIVO_CP, nullptr when not set
    bool thread_at_fork;
};

constexpr fork_case fork_cases[] = {
    {"iqiyi", true},
    {"tencent_sv", true},
    {"cnetc", true},
    {"kwai", false},
    {"tencent", false},
    {nullptr, false},
};

} // namespace

class TrafficFork : public TrafficTest {};

TEST_F(TrafficFork, ChildGetsItsThreadAtForkOrAtItsFirstCall)
{
    for (const fork_case &c : fork_cases) {
        for (const char *op : {"write", "read", "sendfile"}) {
            // The names that keep the preload only need one call to show it.
            if (c.thread_at_fork && std::string(op) != "write")
                continue;
            SCOPED_TRACE(std::string(c.value ? c.value : "(not set)") + " " + op);
            std::vector<std::string> env;
            if (c.value)
                env.push_back(std::string("KIVO_CP=") + c.value);
            child_process host;
            ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "fork-thread", op}, env, true));
            std::string line;
            ASSERT_TRUE(child_expect(&host, "child after_fork ", &line, 5000));
            EXPECT_EQ(traffic_field(line, "tasks"), c.thread_at_fork ? 2 : 1) << line;
            ASSERT_TRUE(child_expect(&host, std::string("child after_") + op + " ", &line, 5000));
            EXPECT_EQ(traffic_field(line, "result"), 1) << line;
            EXPECT_EQ(traffic_field(line, "tasks"), 2) << line;
            ASSERT_TRUE(child_expect(&host, "parent ", &line, 10000));
            EXPECT_EQ(traffic_field(line, "child_status"), 0) << line;
            EXPECT_EQ(child_wait(&host, 5000), 0);
        }
    }
}

TEST_F(TrafficFork, ChildReportsTheParentsUnreportedBytesAtOnce)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "fork-report"}, {"KIVO_CP=iqiyi"}, true));
    std::string line;
    ASSERT_TRUE(child_expect(&host, "child tasks=", &line, 10000));
    EXPECT_EQ(traffic_field(line, "tasks"), 2) << line;
    EXPECT_EQ(traffic_field(line, "send"), 1000) << line;

    // The parent's own thread is asleep for 20 seconds: this report is the child's.
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 10000));
    EXPECT_EQ(report.cp, "iqiyi");
    EXPECT_EQ(report.sb, 1000);
    EXPECT_EQ(report.rb, 0);
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 1000, 0));

    // Accepted, the child's counters are back at zero; the parent's are its own.
    ASSERT_TRUE(child_expect(&host, "child ", &line, 10000));
    EXPECT_EQ(line, "child reported");
    ASSERT_TRUE(child_expect(&host, "parent ", &line, 20000));
    EXPECT_EQ(traffic_field(line, "child_status"), 0) << line;
    EXPECT_EQ(traffic_field(line, "send"), 1000) << line;
    EXPECT_EQ(child_wait(&host, 5000), 0);
}

TEST_F(TrafficFork, ChildStartsItsThreadWhileAnotherThreadHoldsTheLock)
{
    // kwai: the child's first write takes global_mutex, which the parent's
    // other thread holds across both forks.
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "fork-locked"}, {"KIVO_CP=kwai"}, true));
    for (const char *how : {"interposed", "libc"}) {
        SCOPED_TRACE(how);
        std::string line;
        ASSERT_TRUE(child_expect(&host, std::string("child ") + how + " ", &line, 10000));
        EXPECT_EQ(traffic_field(line, "result"), 1) << line;
        EXPECT_EQ(traffic_field(line, "tasks"), 2) << line;
        ASSERT_TRUE(child_expect(&host, std::string("parent ") + how + " ", &line, 10000));
        EXPECT_EQ(traffic_field(line, "child_status"), 0) << line;
    }
    EXPECT_EQ(child_wait(&host, 5000), 0);
}

TEST_F(TrafficFork, VforkChildThatWritesStartsNoThread)
{
    // Whether the parent has its thread (iqiyi) or not yet (not set), a vfork
    // child's write must leave the parent as it was, and the parent's own
    // first write must still start its one thread.
    for (bool named : {true, false}) {
        SCOPED_TRACE(named ? "iqiyi" : "(not set)");
        std::vector<std::string> env;
        if (named)
            env.push_back("KIVO_CP=iqiyi");
        child_process host;
        ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_HOST, "vfork"}, env, true));
        std::string before, after_vfork, after_write;
        ASSERT_TRUE(child_expect(&host, "before ", &before, 5000));
        ASSERT_TRUE(child_expect(&host, "after_vfork ", &after_vfork, 5000));
        ASSERT_TRUE(child_expect(&host, "after_write ", &after_write, 5000));
        const char *mark = named ? "global_pid=self" : "global_pid=zero";
        EXPECT_EQ(traffic_field(after_vfork, "tasks"), traffic_field(before, "tasks"));
        EXPECT_NE(after_vfork.find(mark), std::string::npos) << after_vfork;
        EXPECT_EQ(traffic_field(after_write, "tasks"), 2) << after_write;
        EXPECT_NE(after_write.find("global_pid=self"), std::string::npos) << after_write;
        EXPECT_EQ(child_wait(&host, 5000), 0);
    }
}
