// The report thread, one cycle at a time: traffic_cycle_host stands in for the
// 20-second sleep (it prints "sleep 20" and waits for "wake"), so each cycle
// runs when the test says so, against the reference agent on the real ports.
#include <string>

#include "traffic_fixture.h"

class TrafficReport : public TrafficTest {
protected:
    child_process host;

    // The host's thread starts at load (iqiyi) and, its counters being zero,
    // goes straight to its first sleep.
    void start_host(void)
    {
        ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_CYCLE_HOST}, {"KIVO_CP=iqiyi"}, true));
        ASSERT_TRUE(child_expect(&host, "sleep ", &line, 10000));
        ASSERT_EQ(line, "sleep 20");
    }

    // Sends a command and returns the answer that starts with prefix.
    std::string ask(const std::string &command, const std::string &prefix)
    {
        child_tell(&host, command);
        std::string answer;
        EXPECT_TRUE(child_expect(&host, prefix, &answer, 10000)) << command;
        return answer;
    }

    // Ends the pending sleep and waits until the cycle it starts is over.
    void run_cycle(int timeout_ms = 20000)
    {
        child_tell(&host, "wake 0");
        ASSERT_TRUE(child_expect(&host, "sleep ", &line, timeout_ms));
        ASSERT_EQ(line, "sleep 20");
    }

    void expect_counters(long long send, long long receive)
    {
        std::string answer = ask("counters", "counters ");
        EXPECT_EQ(traffic_field(answer, "send"), send) << answer;
        EXPECT_EQ(traffic_field(answer, "receive"), receive) << answer;
    }

    std::string line;
};

TEST_F(TrafficReport, NothingCountedMeansNoConnection)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    start_host();
    for (int cycle = 0; cycle < 3; cycle++)
        run_cycle();
    // A connection would have been answered before the thread slept again.
    std::string unexpected;
    EXPECT_FALSE(child_next_line(&agent, &unexpected, 300)) << unexpected;

    ask("send 1500", "sent 1500");
    run_cycle();
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 5000));
    EXPECT_EQ(report.port, 49193);
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 1500, 0));
    // The agents in the field parse this text: pinned byte for byte, apart
    // from the helper the other cases use (the agent prints it JSON-quoted).
    EXPECT_EQ(report.request, "\"GET /api?method=traffic HTTP/1.1\\nUser-Agent: libcurl\\n\\n"
                              "{\\\"cp\\\":\\\"iqiyi\\\", \\\"sb\\\":1500, \\\"rb\\\":0}\"");
    // Accepted: the report's own request and reply are cleared with the rest.
    expect_counters(0, 0);
}

TEST_F(TrafficReport, SleepsTheFullTwentySeconds)
{
    start_host();
    // A sleep cut short by a signal reports what is left; the rest is slept.
    child_tell(&host, "wake 7");
    ASSERT_TRUE(child_expect(&host, "sleep ", &line, 5000));
    EXPECT_EQ(line, "sleep 7");
    child_tell(&host, "wake 1");
    ASSERT_TRUE(child_expect(&host, "sleep ", &line, 5000));
    EXPECT_EQ(line, "sleep 1");
    run_cycle();
}

TEST_F(TrafficReport, AgentOnTheThirdPortIsFoundAndKept)
{
    child_process third;
    ASSERT_TRUE(traffic_start_agent(&third, {"49195:ok"}));
    start_host();
    ask("send 100", "sent ");
    run_cycle();
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&third, &report, 5000));
    EXPECT_EQ(report.port, 49195);
    // Two refused connections carry no bytes.
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 100, 0));
    expect_counters(0, 0);

    // An agent on the first port now would be reached first from 49193, but the
    // thread stays where the last report was accepted.
    child_process first;
    ASSERT_TRUE(traffic_start_agent(&first, {"49193:ok"}));
    ask("recv 60", "received 60");
    run_cycle();
    ASSERT_TRUE(traffic_next_report(&third, &report, 5000));
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 0, 60));
    std::string unexpected;
    EXPECT_FALSE(child_next_line(&first, &unexpected, 300)) << unexpected;
}

TEST_F(TrafficReport, UpperCaseOkIsRefusedAndTheGrownTotalsAreSentAgain)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:OK", "49194:ok"}));
    start_host();
    ask("send 100", "sent ");
    run_cycle();
    traffic_agent_report refused, accepted;
    ASSERT_TRUE(traffic_next_report(&agent, &refused, 5000));
    ASSERT_TRUE(traffic_next_report(&agent, &accepted, 5000));
    EXPECT_EQ(refused.port, 49193);
    EXPECT_EQ(refused.request, traffic_expected_request("iqiyi", 100, 0));
    // The refused exchange's own bytes stay counted and go out with the next one.
    EXPECT_EQ(accepted.port, 49194);
    EXPECT_EQ(accepted.request,
              traffic_expected_request("iqiyi", 100 + refused.bytes, refused.reply));
    expect_counters(0, 0);
}

TEST_F(TrafficReport, OtherStatusWalksTheWindowAndTheNextCycleStartsOver)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49194:error", "49202:error"}));
    start_host();
    ask("send 10", "sent ");
    long long sb = 10, rb = 0;
    for (int cycle = 0; cycle < 2; cycle++) {
        SCOPED_TRACE(cycle);
        run_cycle(30000);
        // Refused on 49194, the walk goes on to the end of the window.
        for (int port : {49194, 49202}) {
            traffic_agent_report report;
            ASSERT_TRUE(traffic_next_report(&agent, &report, 5000));
            EXPECT_EQ(report.port, port);
            EXPECT_EQ(report.request, traffic_expected_request("iqiyi", sb, rb));
            sb += report.bytes;
            rb += report.reply;
        }
    }
    expect_counters(sb, rb);
}

TEST_F(TrafficReport, SilentAgentCostsFiveSecondsAndTheNextPort)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:silent", "49194:ok"}));
    start_host();
    ask("send 10", "sent ");
    child_tell(&host, "wake 0");
    traffic_agent_report silent, accepted;
    ASSERT_TRUE(traffic_next_report(&agent, &silent, 5000));
    long long asked = child_monotonic_ms();
    ASSERT_TRUE(traffic_next_report(&agent, &accepted, 10000));
    long long waited = child_monotonic_ms() - asked;
    EXPECT_EQ(silent.port, 49193);
    EXPECT_EQ(accepted.port, 49194);
    EXPECT_GE(waited, 4800);
    EXPECT_LT(waited, 8000);
    // Nothing was read from the silent agent.
    EXPECT_EQ(accepted.request, traffic_expected_request("iqiyi", 10 + silent.bytes, 0));
    ASSERT_TRUE(child_expect(&host, "sleep ", &line, 5000));
    expect_counters(0, 0);
}

TEST_F(TrafficReport, BytesCountedDuringTheExchangeSurviveIt)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:hold"}));
    start_host();
    ask("send 300", "sent ");
    ask("recv 200", "received ");
    child_tell(&host, "wake 0");
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 5000));
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 300, 200));
    // While the thread waits for the answer, the host goes on.
    ask("send 700", "sent ");
    ask("recv 45", "received ");
    child_tell(&agent, "reply");
    ASSERT_TRUE(child_expect(&host, "sleep ", &line, 10000));
    // The accepted report took off what it carried and its own bytes, no more.
    expect_counters(700, 45);
    child_tell(&host, "wake 0");
    ASSERT_TRUE(traffic_next_report(&agent, &report, 5000));
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 700, 45));
    child_tell(&agent, "reply");
    ASSERT_TRUE(child_expect(&host, "sleep ", &line, 10000));
    expect_counters(0, 0);
}

TEST_F(TrafficReport, ReplyIsReadOnADescriptorAbove1024)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    start_host();
    std::string answer = ask("fds 1100", "fds ");
    ASSERT_GE(traffic_field(answer, "lowest_free"), 1100) << answer;
    ask("send 10", "sent ");
    run_cycle();
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 5000));
    // Accepted, so the reply was waited for and read on that descriptor.
    expect_counters(0, 0);
}

TEST_F(TrafficReport, ClosedConnectionDoesNotKillTheHost)
{
    child_process closing, fallback;
    ASSERT_TRUE(traffic_start_agent(&closing, {"49193:close"}));
    ASSERT_TRUE(traffic_start_agent(&fallback, {"49194:ok"}));
    start_host();
    ask("send 10", "sent ");
    // The report's write meets a connection that can no longer send: EPIPE,
    // and a SIGPIPE that would end the host if it were let through.
    ask("shut-next", "shut armed");
    run_cycle();
    std::string answer = ask("pending", "pending ");
    EXPECT_EQ(answer, "pending report=0");
    // A failed write ends the cycle and keeps the port; nothing was sent.
    expect_counters(10, 0);
    ASSERT_TRUE(child_expect(&closing, "closed ", &line, 5000));

    // Now the agent's own close: the write still goes out (a peer that closed
    // without reading refuses only later data), the answer is an end of file
    // or a reset, and the next port gets the report with that write's bytes.
    run_cycle();
    ASSERT_TRUE(child_expect(&closing, "closed ", &line, 5000));
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&fallback, &report, 5000));
    EXPECT_EQ(report.port, 49194);
    long long lost_write = static_cast<long long>(traffic_request_text("iqiyi", 10, 0).size());
    EXPECT_EQ(report.request, traffic_expected_request("iqiyi", 10 + lost_write, 0));
    expect_counters(0, 0);
}
