// kivo_ddns follows its uplink: with the default interval of 300 s, a new
// address on ppp0 (in place, after a redial, IPv6) reaches DNSPod within
// seconds, a pass that DNSPod did not answer is tried again soon, and news of
// another interface sends nothing. The box's uplink is a veth pair whose far
// end, in a namespace of its own, holds the stand-ins; the echo services
// answer the address a request came from.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "ddns_e2e.h"
#include "ddns_standin.h"
#include "sandbox.h"
#include "temp_dir.h"
#include "unit_check.h"

namespace {

std::string record_of(const char *type, const std::string &value)
{
    return std::string("[{\"id\":1234567,\"domain\":\"example.com\",\"name\":\"home\","
                       "\"type\":\"") +
           type + "\",\"line\":\"默认\",\"value\":\"" + value + "\"}]";
}

class redial : public e2e {
protected:
    // Starts the program over ppp0, as an operator would (default interval),
    // with the record already holding ppp0's address, and waits until it is
    // confirmed.
    void start_uplink(const char *type, const std::string &address, const std::string &address6,
                      std::vector<std::string> extra = {}, bool nic = true,
                      std::vector<std::string> wrapper = {})
    {
        const std::string &published = std::string(type) == "A" ? address : address6;
        ASSERT_EQ(0, ddns_world_enter_uplink(world_, record_of(type, published),
                                             "{\"address\":\"source\"}", address, address6));
        const char *other = std::getenv("KIVO_DDNS_UNDER_TEST");
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {other != nullptr ? other : KIVO_DDNS_BINARY,
                                         "--sub_domain=home",
                                         "--main_domain=example.com",
                                         std::string("--ddns_token=") + kPrimary});
        if (nic)
            argv.push_back("--nic=ppp0");
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(ddns_world_start(world_, &ddns_, argv, "ddns.out", "ddns.err"));
        ASSERT_TRUE(confirmed(published, 20)) << err();
    }
    bool confirmed(const std::string &address, double seconds)
    {
        return ddns_world_wait(
            [&] { return err().find("exist and same: home.example.com --> " + address + "\n") !=
                         std::string::npos; },
            seconds);
    }
    // Waits until DNSPod was asked to point the record at address; the
    // milliseconds it took, or -1.
    long long modified_within(const std::string &address, double seconds)
    {
        long long began = child_monotonic_ms();
        bool done = ddns_world_wait(
            [&] {
                for (const ddns_request &r : api())
                    if (r.path == "/Record.Modify" &&
                        r.body.find("&value=" + address + "&") != std::string::npos)
                        return true;
                return false;
            },
            seconds);
        return done ? child_monotonic_ms() - began : -1;
    }
    std::string record_value()
    {
        return ddns_world_file(world_, "records.json");
    }
};

TEST_F(redial, FollowsAnAddressChangedInPlaceOrByARedialWithinSeconds)
{
    ASSERT_NO_FATAL_FAILURE(start_uplink("A", "198.51.100.2", ""));

    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.3", "", false));
    long long took = modified_within("198.51.100.3", 5);
    ASSERT_NE(-1, took) << err();
    EXPECT_NE(std::string::npos, record_value().find("\"198.51.100.3\""));
    EXPECT_NE(std::string::npos, err().find("INFO[1]: \033[0mlink news on ppp0\n")) << err();

    // Early passes come at least 10 s apart; a redial after a quiet spell
    // still reaches DNSPod within seconds.
    sleep(10);
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.4", "", true));
    took = modified_within("198.51.100.4", 5);
    ASSERT_NE(-1, took) << err();
    EXPECT_NE(std::string::npos, record_value().find("\"198.51.100.4\""));

    // Each change cost one list and one modify: no pass went to DNSPod twice
    // for one burst of news.
    EXPECT_EQ((std::vector<std::string>{"/Record.List", "/Record.List", "/Record.Modify",
                                        "/Record.List", "/Record.Modify"}),
              paths());

    // News of another interface is read and passed over: nothing is asked.
    size_t before = ddns_world_requests(world_).size();
    ASSERT_EQ(0, sandbox_sh("ip link add lan0 type veth peer name lan1 && ip link set lan0 up && "
                            "ip addr add 192.0.2.9/24 dev lan0"));
    sleep(5);
    EXPECT_EQ(before, ddns_world_requests(world_).size());
}

TEST_F(redial, FollowsTheLinksIpv6Address)
{
    ASSERT_NO_FATAL_FAILURE(
        start_uplink("AAAA", "198.51.100.2", "2001:db8:1::2", {"--type=AAAA"}));
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.2", "2001:db8:2::2", false));
    ASSERT_NE(-1, modified_within("2001:db8:2::2", 5)) << err();
    EXPECT_NE(std::string::npos, record_value().find("\"2001:db8:2::2\""));
    // No echo service is asked for an address the link holds itself.
    EXPECT_TRUE(echo_requests().empty());
}

TEST_F(redial, APassDnspodDidNotAnswerIsRetriedSoon)
{
    ASSERT_NO_FATAL_FAILURE(start_uplink("A", "198.51.100.2", ""));
    const std::string refuse = "iptables -I INPUT -p tcp --dport 443 -j REJECT --reject-with tcp-reset";
    ASSERT_EQ(0, ddns_world_carrier_sh(world_, refuse));
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.5", "", false));
    sleep(10);
    EXPECT_EQ(std::string::npos, record_value().find("\"198.51.100.5\""));
    ASSERT_EQ(0, ddns_world_carrier_sh(world_, "iptables -D INPUT 1"));
    ASSERT_NE(-1, modified_within("198.51.100.5", 10)) << err();
    EXPECT_NE(std::string::npos, record_value().find("\"198.51.100.5\""));
    // The early pass and the retries that followed it, 5 s and then 10 s
    // after the one before.
    EXPECT_NE(std::string::npos, err().find("INFO[1]: \033[0mretry 1 after a failed pass\n"));
    EXPECT_NE(std::string::npos, err().find("INFO[1]: \033[0mretry 2 after a failed pass\n"));
    // A pass that decided goes back to the interval: no retry after it.
    size_t requests = api().size();
    sleep(6);
    EXPECT_EQ(requests, api().size());
}

// With --nic (true) or without it.
class spacing : public redial, public ::testing::WithParamInterface<bool> {};

// A link that flaps brings an early pass at most every 10 s with --nic; the
// news of any interface, without it, at most every 30 s, since the echo
// services hear from many boxes.
TEST_P(spacing, EarlyPassesComeTenSecondsApartWithNicAndHalfAMinuteWithout)
{
    const long long apart_ms = GetParam() ? 10000 : 30000;
    ASSERT_NO_FATAL_FAILURE(start_uplink("A", "198.51.100.2", "", {}, GetParam()));
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.6", "", false));
    long long first = child_monotonic_ms();
    ASSERT_NE(-1, modified_within("198.51.100.6", 5)) << err();
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.7", "", false));
    EXPECT_EQ(-1, modified_within("198.51.100.7", 5));
    ASSERT_NE(-1, modified_within("198.51.100.7", apart_ms / 1000.0)) << err();
    EXPECT_GE(child_monotonic_ms() - first, apart_ms - 1000);
}

// A message that only renews an address's lifetimes (a router advertisement,
// every few minutes on a carrier's IPv6) is no news: 4 of them bring no pass,
// for an AAAA record read from the link (true) and an A record found by the
// echo services over any interface (false).
TEST_P(spacing, LifetimeRefreshesBringNoPass)
{
    const bool v6 = GetParam();
    ASSERT_NO_FATAL_FAILURE(start_uplink(v6 ? "AAAA" : "A", "198.51.100.2", "2001:db8:1::2",
                                         {v6 ? "--type=AAAA" : "--type=A"}, v6));
    // The first pass's own news (none) is read in its pause.
    sleep(2);
    auto passes = [&] { return count(err(), "INFO[1]: \033[0minterval: 300, ddnspod: "); };
    const size_t before = ddns_world_requests(world_).size(), passed = passes();
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(0, ddns_world_uplink_refresh("198.51.100.2", "2001:db8:1::2"));
        usleep(800 * 1000);
    }
    sleep(5);
    EXPECT_EQ(before, ddns_world_requests(world_).size());
    EXPECT_EQ(passed, passes());
    EXPECT_EQ(std::string::npos, err().find("link news on")) << err();
}

INSTANTIATE_TEST_SUITE_P(nic, spacing, ::testing::Bool());

// The units' filter and capabilities hold what a pass really needs: the run
// above again, as the service runs it (a user of its own, CAP_NET_RAW alone,
// no new privileges) and under strace, with every call it made in the
// filter of both kivo_ddns units.
TEST_F(redial, EveryCallOfARunIsInTheUnitsFilter)
{
    temp_dir own("ddns-unit");
    ASSERT_EQ(0, chmod(own.path.c_str(), 0777));
    std::string unit = sandbox_read_file(KIVO_DDNS_TEMPLATE_UNIT);
    std::vector<std::string> wrapper = unit_setpriv(unit, 65534);
    std::vector<std::string> trace = strace_words(own / "trace");
    wrapper.insert(wrapper.end(), trace.begin(), trace.end());
    ASSERT_NO_FATAL_FAILURE(start_uplink("A", "198.51.100.2", "",
                                         {"--metrics=" + (own / "kivo_ddns.prom")}, true, wrapper));
    ASSERT_EQ(0, ddns_world_uplink_address(world_, "198.51.100.3", "", true));
    ASSERT_NE(-1, modified_within("198.51.100.3", 5)) << err();
    EXPECT_NE(std::string::npos, sandbox_read_file(own / "kivo_ddns.prom").find("kivo_ddns_"));
    ddns_world_stop(&ddns_);

    std::set<std::string> made = strace_calls(sandbox_read_file(own / "trace"));
    ASSERT_TRUE(made.count("setsockopt") && made.count("rename") && made.count("poll")) << "no trace";
    for (const char *path : {KIVO_DDNS_TEMPLATE_UNIT, KIVO_DDNS_UNIT}) {
        std::set<std::string> allowed;
        ASSERT_TRUE(unit_allowed_calls(sandbox_read_file(path), &allowed)) << path;
        EXPECT_EQ(std::vector<std::string>{}, calls_outside(allowed, made)) << path;
    }
}

} // namespace
