// kivo_linkfan end to end: the real program in namespaces of the test's own,
// over tun devices that look like PPPoE links, checked by the kernel's state,
// the files it writes and its run log.
#include "linkfan_e2e.h"
#include "linkfan_scene.h"
#include "node_exporter.h"
#include "sandbox.h"

#include "temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace linkfan_e2e;

const char default_rules[] = "0:\tfrom all lookup local\n32766:\tfrom all lookup main\n"
                             "32767:\tfrom all lookup default\n";

// ---------------------------------------------------------------- whole runs

TEST_F(LinkfanEndToEnd, NoLinkInDebugMode)
{
    start({"-d"});
    ASSERT_TRUE(wait_cycles(1, 20));
    stop();
    EXPECT_EQ(log_messages(), (strings{"[INFO]: Please wait ppp dev checking......",
                                       "[INFO]: Processing routing......",
                                       "[INFO]: update file /etc/iproute2/rt_tables......",
                                       "[ERROR]: not find in main table default route.\n",
                                       "[INFO]: finish!!!!"}));
    EXPECT_EQ(rt_tables(), scene_rt_tables_head);
    EXPECT_EQ(sandbox_read_file(scene.work_dir / "rt_tables"), scene_rt_tables_head);
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
    EXPECT_EQ(sandbox_output("ip route"), "");
    // -d keeps the console: every record also on standard error, in green.
    std::string err = sandbox_read_file(run.err_path);
    EXPECT_TRUE(has(err, " [INFO]: \x1b[0mPlease wait ppp dev checking......\n")) << err;
    EXPECT_EQ(err.substr(0, 8), "\x1b[01;32m");
}

TEST_F(LinkfanEndToEnd, TwoLinksShareOneMultipathDefaultRoute)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    stop();

    EXPECT_EQ(rt_tables(), std::string(scene_rt_tables_head) + "10 ppp0\n20 ppp1\n");
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "nexthop via 10.0.0.1 dev ppp0 weight 1")) << route;
    EXPECT_TRUE(has(route, "nexthop via 10.0.1.1 dev ppp1 weight 1")) << route;
    EXPECT_EQ(sandbox_output("ip rule"),
              "0:\tfrom all lookup local\n1000:\tfrom 10.0.0.2 lookup ppp0\n"
              "1000:\tfrom 10.0.1.2 lookup ppp1\n32766:\tfrom all lookup main\n"
              "32767:\tfrom all lookup default\n");
    std::string rules6 = sandbox_output("ip -6 rule");
    EXPECT_TRUE(has(rules6, "200:\tfrom 2001:db8::2/64 lookup ppp0\n")) << rules6;
    EXPECT_TRUE(has(rules6, "200:\tfrom all to 2001:db8:1::2/64 lookup ppp1\n")) << rules6;
    EXPECT_TRUE(has(sandbox_output("ip route show table ppp0"), "default dev ppp0"));
    EXPECT_TRUE(has(sandbox_output("ip -6 route show table ppp1"), "default dev ppp1"));
    EXPECT_TRUE(has(sandbox_output("ip link show ppp1"), "qlen 1000"));
    // Single-table mode leaves NAT and the multipath sysctls alone.
    EXPECT_EQ(sandbox_output("iptables -t nat -S POSTROUTING"), "-P POSTROUTING ACCEPT\n");
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_hash_policy"), "0\n");
    // Nothing on the console without -d.
    EXPECT_EQ(sandbox_read_file(run.err_path), "");
    EXPECT_EQ(sandbox_read_file(run.out_path), "");

    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: g_array_info[i].pppoe_ipv6 = 2001:db8:1::2/64"));
    EXPECT_TRUE(logged(messages, "[INFO]: g_array_info[i].txqueuelen = 500"));
    EXPECT_TRUE(logged(messages, "[INFO]: set main route : ip route replace default nexthop via "
                                 "10.0.0.1 dev ppp0 weight 1 nexthop via 10.0.1.1 dev ppp1 "
                                 "weight 1 "));
}

TEST_F(LinkfanEndToEnd, TwoLinksInMultipathModeRunTheExpectedCommands)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    std::string shims = capture_dir / "shims";
    strings shim_env = scene_shim_tools(shims, {"ip", "iptables", "iptables-restore", "sysctl", "cp"});
    ASSERT_FALSE(shim_env.empty());
    start({"-m"}, {}, shim_env);
    ASSERT_TRUE(wait_cycles(2, 40));
    stop();

    // As the tools see them: between two commands of other tools or reads, a
    // family's ip commands run in their order, the IPv4 ones first. The shell
    // drops the trailing space of the next-hop commands. The NAT rules go in
    // one restore after a look at the table; on the fresh box the first one's
    // deletions have no rule to find and are left out.
    strings expected = expected_two_link_multipath_run();
    std::string want, ipv6;
    int nat_batch = 0;
    for (std::string &cmd : expected) {
        cmd.erase(cmd.find_last_not_of(' ') + 1);
        // The IPv6 default route comes after the routes before it have run,
        // and the pause after it runs it.
        if (cmd.rfind("ip -6 ", 0) == 0 && !has(cmd, "default metric 512")) {
            ipv6 += cmd + "\n";
            continue;
        }
        if (cmd.rfind("ip ", 0) != 0 || has(cmd, "default metric 512")) {
            want += ipv6;
            ipv6.clear();
        }
        if (has(cmd, "-D POSTROUTING -o ppp0")) {
            nat_batch++;
            want += "iptables -t nat -S\n";
        }
        if (nat_batch == 1 && has(cmd, "-D POSTROUTING"))
            continue;
        want += (cmd.rfind("< ", 0) == 0 ? cmd.substr(2) : cmd) + "\n";
    }
    want += ipv6;
    EXPECT_EQ(sandbox_read_file(shims + "/commands"), want);
    // The processes behind them: one ip for each family's commands.
    const strings per_cycle = {"ip -force -batch -",  "ip -6 -force -batch -",
                               "ip route",            "ip route list table balance",
                               "iptables -t nat -S",  "iptables-restore --noflush",
                               "ip -force -batch -"};
    std::string calls = "sysctl -w net.ipv4.fib_multipath_hash_policy=1\n"
                        "sysctl -w net.ipv4.fib_multipath_use_neigh=1\n"
                        "sysctl -w net.ipv6.fib_multipath_hash_policy=1\n"
                        "cp ./rt_tables /etc/iproute2/rt_tables\n";
    for (int cycle = 0; cycle < 2; cycle++) {
        for (const std::string &call : per_cycle)
            calls += call + "\n";
        // The first cycle ends with the IPv6 default route.
        if (cycle == 0)
            calls += "ip -6 -force -batch -\n";
    }
    EXPECT_EQ(sandbox_read_file(shims + "/calls"), calls);

    EXPECT_EQ(rt_tables(), std::string(scene_rt_tables_head) + "6\tbalance\n10 ppp0\n20 ppp1\n");
    std::string main_route = sandbox_output("ip route show default");
    EXPECT_EQ(main_route.rfind("default via 10.0.0.1 dev ppp0 ", 0), 0u) << main_route;
    EXPECT_FALSE(has(main_route, "nexthop")) << main_route;
    std::string balance = sandbox_output("ip route show table balance");
    EXPECT_TRUE(has(balance, "nexthop via 10.0.0.1 dev ppp0 weight 1")) << balance;
    EXPECT_TRUE(has(balance, "nexthop via 10.0.1.1 dev ppp1 weight 1")) << balance;
    EXPECT_TRUE(has(sandbox_output("ip rule"),
                    "100:\tfrom 10.0.0.2 ipproto tcp dport 1-1023 lookup balance\n"));
    EXPECT_EQ(sandbox_output("iptables -t nat -S POSTROUTING"),
              "-P POSTROUTING ACCEPT\n-A POSTROUTING -o ppp1 -j MASQUERADE\n"
              "-A POSTROUTING -o ppp0 -j MASQUERADE\n");
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_hash_policy "
                             "net.ipv4.fib_multipath_use_neigh net.ipv6.fib_multipath_hash_policy"),
              "1\n1\n1\n");
    // The IPv6 default route is the same as without -m.
    EXPECT_TRUE(has(sandbox_output("ip -6 route show default metric 512"),
                    "nexthop via fe80::1 dev ppp1 weight 1"));

    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: chang_ip, ppp1 : 10.0.1.2 -------> 10.0.1.2 | "
                                 "2001:db8:1::2/64 ------> 2001:db8:1::2/64!"));
    EXPECT_TRUE(logged(messages, "[INFO]: set main route : ip route replace default via 10.0.0.1 "
                                 "dev ppp0"));
}

TEST_F(LinkfanEndToEnd, ABoxWithoutIpv6HasItsDefaultRouteInTheFirstCycle)
{
    ASSERT_EQ(scene_add_link(0, false), 0);
    ASSERT_EQ(scene_add_link(1, false), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    stop();
    // Each link's own table and rules: the phase tests hold them.
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "nexthop via 10.0.0.1 dev ppp0 weight 1")) << route;
    EXPECT_TRUE(has(route, "nexthop via 10.0.1.1 dev ppp1 weight 1")) << route;
    EXPECT_EQ(sandbox_output("ip -6 route show default"), "");
    EXPECT_TRUE(logged(log_messages(), "[INFO]: g_array_info[i].pppoe_ipv6 = "));
}

// The mixed box, whose kernel learnt defaults from router advertisements
// through ppp0 and ppp3.
TEST_F(LinkfanEndToEnd, EachLinkIsRoutedByItsFamiliesAndIpv6LeavesThroughTheLinksWithIt)
{
    ASSERT_EQ(scene_add_mixed_box("ip -6 route add default via fe80::99 dev ppp3 proto ra metric 1024 && "
                                  "ip -6 route add default via fe80::98 dev ppp0 proto ra metric 1025"),
              0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    stop();
    // Each link's own table and rules: the phase tests hold them, on this box.
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "dev ppp3 weight 1") && !has(route, "ppp2")) << route;
    // A next hop's gateway: its router where the kernel learnt one, else its peer.
    std::string route6 = sandbox_output("ip -6 route show default metric 512");
    EXPECT_TRUE(has(route6, "nexthop via fe80::98 dev ppp0 weight 1")) << route6;
    EXPECT_TRUE(has(route6, "nexthop via fe80::1 dev ppp2 weight 1")) << route6;
    EXPECT_FALSE(has(route6, "ppp3")) << route6;
    EXPECT_TRUE(has(sandbox_output("ip -6 route show default"), "via fe80::99 dev ppp3 proto ra"));
    // 64 destinations: every one through a link with IPv6, spread over both.
    std::set<std::string> devices;
    for (int k = 1; k <= 64; k++) {
        std::string got =
            sandbox_output("ip -6 route get 2001:db8:ffff::" + std::to_string(k) + " 2>&1");
        size_t at = got.find(" dev ");
        devices.insert(at == std::string::npos ? got : got.substr(at + 5, 4));
    }
    EXPECT_EQ(devices, (std::set<std::string>{"ppp0", "ppp2"}));
}

TEST_F(LinkfanEndToEnd, ALinkGainingIpv6JoinsAndOneLosingItLeavesWithItsRulesWithinACycle)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1, false), 0);
    ASSERT_EQ(sandbox_sh("sysctl -qw net.ipv6.conf.ppp1.disable_ipv6=0"), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    ASSERT_FALSE(has(sandbox_output("ip -6 route show default metric 512"), "ppp1"));
    // A global address ends the pause; a link-local one alone would not.
    ASSERT_EQ(sandbox_sh("ip -6 addr add fe80::2 peer fe80::1 dev ppp1 nodad && "
                         "ip -6 addr add 2001:db8:1::2/64 dev ppp1 nodad"),
              0);
    ASSERT_TRUE(wait_cycles(finished() + 2, 30));
    std::string route6 = sandbox_output("ip -6 route show default metric 512");
    EXPECT_TRUE(has(route6, "dev ppp0 ") && has(route6, "dev ppp1 ")) << route6;
    EXPECT_TRUE(has(sandbox_output("ip -6 rule"), "200:\tfrom 2001:db8:1::2/64 lookup ppp1"));

    ASSERT_EQ(sandbox_sh("ip -6 addr del 2001:db8::2/64 dev ppp0"), 0);
    ASSERT_TRUE(wait_cycles(finished() + 2, 30));
    stop();
    std::string rules6 = sandbox_output("ip -6 rule");
    EXPECT_FALSE(has(rules6, "2001:db8::2/64")) << rules6;
    EXPECT_TRUE(has(rules6, "lookup ppp1")) << rules6;
    route6 = sandbox_output("ip -6 route show default metric 512");
    EXPECT_TRUE(has(route6, "via fe80::1 dev ppp1 ") && !has(route6, "ppp0")) << route6;
    // Its IPv4 routing stays.
    EXPECT_TRUE(has(sandbox_output("ip rule"), "1000:\tfrom 10.0.0.2 lookup ppp0"));
    EXPECT_TRUE(has(sandbox_output("ip route show default"), "dev ppp0 weight 1"));
    EXPECT_TRUE(logged(log_messages(), "[INFO]: clear ppp0 ipv6 route rule."));
}

TEST_F(LinkfanEndToEnd, RescanFindsALateLinkAndAChangedAddress)
{
    ASSERT_EQ(scene_add_link(0), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    // The new address comes before the old one goes, so no rescan can find
    // the link without one.
    ASSERT_EQ(sandbox_sh("sysctl -qw net.ipv4.conf.ppp0.promote_secondaries=1 && "
                         "ip addr add 10.0.0.9 peer 10.0.0.1 dev ppp0 && "
                         "ip addr del 10.0.0.2 peer 10.0.0.1 dev ppp0"),
              0);
    ASSERT_EQ(scene_add_link(1), 0);
    ASSERT_TRUE(wait_cycles(finished() + 2, 40));
    stop();

    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: chang_ip, ppp0 : 10.0.0.2 -------> 10.0.0.9 | "
                                 "2001:db8::2/64 ------> 2001:db8::2/64!"));
    // The new link had an empty old entry: the list is rewritten and the
    // link configured without a change record of its own. (A cycle woken by
    // the new interface before it has its addresses rewrites it once more.)
    EXPECT_GE(std::count(messages.begin(), messages.end(),
                         "[INFO]: update file /etc/iproute2/rt_tables......"),
              2);
    EXPECT_TRUE(logged(messages, "[INFO]: update ppp1 route rule."));
    EXPECT_EQ(rt_tables(), std::string(scene_rt_tables_head) + "10 ppp0\n20 ppp1\n");
    std::string rules = sandbox_output("ip rule");
    EXPECT_TRUE(has(rules, "1000:\tfrom 10.0.0.9 lookup ppp0")) << rules;
    EXPECT_TRUE(has(rules, "1000:\tfrom 10.0.1.2 lookup ppp1")) << rules;
    EXPECT_FALSE(has(rules, "10.0.0.2")) << rules;
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "nexthop via 10.0.1.1 dev ppp1 weight 1")) << route;
}

// ---------------------------------------------------------------- redials

bool has_default(const char *table)
{
    return !sandbox_output(std::string("ip route show table ") + table + " default").empty();
}

TEST_F(LinkfanEndToEnd, ARedialLeavesTheBoxWithoutADefaultRouteForSecondsOnly)
{
    for (unsigned n = 0; n < 3; n++)
        ASSERT_EQ(scene_add_link(n), 0);
    start({"-m"});
    ASSERT_TRUE(wait_cycles(1, 20));
    // In the pause: ppp0 redials with new addresses and a new gateway; ppp2 is
    // gone for good, a moment later, after the rescan woken by ppp0 has seen
    // it. The kernel drops every default route through either.
    using clock = std::chrono::steady_clock;
    auto gone = clock::now();
    ASSERT_EQ(sandbox_sh("ip link del ppp0 && sleep 0.1 && ip link del ppp2"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(sandbox_sh("ip tuntap add dev ppp0 mode tun && "
                         "ip addr add 10.0.0.7 peer 10.0.0.5 dev ppp0 && "
                         "ip -6 addr add 2001:db8::7/64 dev ppp0 nodad && ip link set ppp0 up"),
              0);
    // Sampled four times a second until both routes lead through the links
    // that are there, and a little longer.
    double longest = 0;
    auto missing_since = gone;
    bool missing = true, settled = false;
    auto settled_at = gone;
    while (clock::now() - gone < std::chrono::seconds(20)) {
        auto now = clock::now();
        bool present = has_default("main") && has_default("6");
        if (present && missing)
            longest = std::max(longest, std::chrono::duration<double>(now - missing_since).count());
        if (!present && !missing)
            missing_since = now;
        missing = !present;
        std::string balance = sandbox_output("ip route show table 6 default");
        bool final_state = present && has(balance, "nexthop via 10.0.0.5 dev ppp0 ") &&
                           has(balance, "nexthop via 10.0.1.1 dev ppp1 ") &&
                           !has(balance, "ppp2") &&
                           has(sandbox_output("ip route show default"), "via 10.0.0.5 dev ppp0");
        if (final_state && !settled) {
            settled = true;
            settled_at = now;
        }
        if (settled && now - settled_at > std::chrono::seconds(1))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (missing)
        longest = std::max(longest, std::chrono::duration<double>(clock::now() - missing_since)
                                        .count());
    stop();
    RecordProperty("longest_without_default_ms", static_cast<int>(longest * 1000));
    std::printf("longest time without a default route: %.2f s\n", longest);
    EXPECT_LE(longest, 4.0);
    EXPECT_TRUE(settled) << sandbox_output("ip route show table 6");
    std::string rules = sandbox_output("ip rule");
    EXPECT_TRUE(has(rules, "1000:\tfrom 10.0.0.7 lookup ppp0")) << rules;
    EXPECT_TRUE(has(rules, "100:\tfrom 10.0.0.7 ipproto tcp dport 1-1023 lookup balance")) << rules;
    EXPECT_FALSE(has(rules, "10.0.0.2")) << rules;
    EXPECT_TRUE(has(sandbox_output("ip route show table ppp0"), "default dev ppp0"));
}

TEST_F(LinkfanEndToEnd, AGatewayChangedInPlaceIsFollowedWithinOneCycle)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    start({"-m"});
    // Past the second cycle, which configures every link again anyway.
    ASSERT_TRUE(wait_cycles(2, 30));
    // The peer changes, the address stays: the new address with its new peer
    // comes before the old one goes, so the link never loses its address and
    // the kernel keeps the default routes through the old gateway.
    ASSERT_EQ(sandbox_sh("ip addr add 10.0.0.2 peer 10.0.0.9 dev ppp0 && "
                         "ip addr del 10.0.0.2 peer 10.0.0.1 dev ppp0"),
              0);
    ASSERT_TRUE(has(sandbox_output("ip route show default"), "via 10.0.0.1 dev ppp0"));
    ASSERT_TRUE(wait_cycles(finished() + 2, 30));
    stop();

    std::string main_route = sandbox_output("ip route show default");
    std::string balance = sandbox_output("ip route show table 6 default");
    EXPECT_TRUE(has(main_route, "default via 10.0.0.9 dev ppp0")) << main_route;
    EXPECT_TRUE(has(balance, "nexthop via 10.0.0.9 dev ppp0 ")) << balance;
    EXPECT_TRUE(has(balance, "nexthop via 10.0.1.1 dev ppp1 ")) << balance;
    EXPECT_FALSE(has(main_route + balance, "10.0.0.1 ")) << main_route << balance;
    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: chang_gateway, ppp0 : 10.0.0.1 -------> 10.0.0.9!"));
    // Same addresses: the link itself is not configured again.
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[INFO]: update ppp0 route rule."), 2);
}

TEST_F(LinkfanEndToEnd, ALinkRecreatedWithTheSameAddressesGetsItsTableBackWithinOneCycle)
{
    // ppp100 is reached 2 s into a rescan: re-created by then, whenever the
    // cycle starts.
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(100), 0);
    start({});
    ASSERT_TRUE(wait_cycles(2, 30));
    ASSERT_TRUE(has(sandbox_output("ip route show table ppp100"), "default dev ppp100"));
    ASSERT_EQ(sandbox_sh("ip link del ppp100"), 0);
    ASSERT_EQ(scene_add_link(100), 0);
    // The route went with the old interface.
    ASSERT_EQ(sandbox_output("ip route show table ppp100"), "");
    ASSERT_TRUE(wait_cycles(finished() + 1, 30));
    stop();

    EXPECT_TRUE(has(sandbox_output("ip route show table ppp100"), "default dev ppp100"));
    EXPECT_TRUE(has(sandbox_output("ip -6 route show table ppp100"), "default dev ppp100"));
    EXPECT_TRUE(has(sandbox_output("ip link show ppp100"), "qlen 1000"));
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "nexthop via 10.0.100.1 dev ppp100 weight 1")) << route;
    EXPECT_TRUE(logged(log_messages(), "[INFO]: chang_ip, ppp100 : 10.0.100.2 -------> 10.0.100.2 | "
                                       "2001:db8:100::2/64 ------> 2001:db8:100::2/64!"));
}

// ---------------------------------------------------------------- metrics

TEST_F(LinkfanEndToEnd, AMetricsFileInAMissingFolderIsLoggedOnceAndWrittenOnceItIsThere)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    const std::string folder = capture_dir / "node-exporter";
    const std::string file = folder + "/kivo_linkfan.prom";
    // As the service runs it: nothing it creates is readable to others by default.
    start({"--metrics=" + file}, {"/bin/sh", "-c", "umask 077 && exec \"$0\" \"$@\""});
    ASSERT_TRUE(wait_cycles(1, 20));
    // A new link ends the pause: the next cycle comes within seconds.
    ASSERT_EQ(scene_add_link(2), 0);
    ASSERT_TRUE(wait_cycles(2, 20));
    const std::string no_folder =
        "[ERROR]: metrics: cannot write " + file + ".tmp: No such file or directory";
    strings messages = log_messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), no_folder), 1);
    EXPECT_TRUE(has(sandbox_output("ip route show default"), "dev ppp2 ")) << "the cycle went on";

    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(scene_add_link(3), 0);
    ASSERT_TRUE(wait_cycles(finished() + 2, 30));
    stop();
    messages = log_messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(), no_folder), 1);
    EXPECT_TRUE(logged(messages, "[INFO]: metrics: " + file + " written again"));
    // Killed as by a crash: the file stays, and its age tells.
    EXPECT_EQ(sandbox_mode_of(file), S_IFREG | 0644u);
    EXPECT_EQ(sandbox_mode_of(file + ".tmp"), 0u);
    std::string text = sandbox_read_file(file);
    double value = -1;
    // Without -t every present link counts as up, and no probe figure shows.
    for (unsigned n = 0; n < 4; n++) {
        std::string series =
            "kivo_linkfan_link_up{link=\"ppp" + std::to_string(n) + "\",family=\"ipv4\"}";
        EXPECT_TRUE(node_exporter_value(text, series, &value) && value == 1) << series << text;
    }
    EXPECT_FALSE(has(text, "kivo_linkfan_link_echo_requests_total")) << text;
    ASSERT_TRUE(node_exporter_value(text, "kivo_linkfan_cycles_total", &value));
    EXPECT_GE(value, 3);
}

// The file is there and clean as soon as the options are read, before the
// first cycle; an idle program rewrites it; a stop takes it away and ends the
// program by its signal. A crash leaves it (SIGKILL, above).
TEST_F(LinkfanEndToEnd, TheMetricsFileFollowsTheProgramsLife)
{
    ASSERT_EQ(scene_add_link(0), 0);
    const std::string file = capture_dir / "kivo_linkfan.prom";
    for (int signo : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signo));
        const long long started = child_monotonic_ms();
        start({"--metrics=" + file});
        std::string text;
        while (!metrics_text_whole(text = sandbox_read_file(file)) &&
               child_monotonic_ms() - started < 3000)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string lint;
        ASSERT_EQ(promtool_check_metrics(text, &lint), 0) << lint << text;
        EXPECT_TRUE(has(text, "kivo_linkfan_cycles_total 0\n")) << text;
        if (signo == SIGTERM) {
            ASSERT_TRUE(wait_cycles(1, 30));
            // A cycle and its pause take about 13 s.
            struct stat before, after;
            ASSERT_EQ(stat(file.c_str(), &before), 0);
            const long long idle = child_monotonic_ms();
            do
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            while (stat(file.c_str(), &after) == 0 && after.st_ino == before.st_ino &&
                   child_monotonic_ms() - idle < 20000);
            EXPECT_NE(after.st_ino, before.st_ino) << "not rewritten while idle";
        }
        const long long asked = child_monotonic_ms();
        EXPECT_EQ(child_stop(run.proc.get(), signo, 2000), 128 + signo);
        EXPECT_LT(child_monotonic_ms() - asked, 2000);
        EXPECT_EQ(sandbox_mode_of(file), 0u) << "the file outlived the program";
    }
}

// ---------------------------------------------------------------- start-up

TEST_F(LinkfanEndToEnd, HelpPrintsTheUsageAndEndsWithOne)
{
    start({"-h", "-d"});
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(sandbox_read_file(run.out_path), scene_usage(LINKFAN_BINARY));
    EXPECT_EQ(sandbox_read_file(run.log_path), "");  // created, and truncated
    // -m before -h has already set the sysctls.
    start({"-m", "--help"});
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_use_neigh"), "1\n");
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
}

TEST_F(LinkfanEndToEnd, NonRootEndsWithOneOnTheConsole)
{
    // The unprivileged user must reach the program and write its log.
    temp_dir bin_dir("linkfan-bin");
    ASSERT_EQ(sandbox_sh("cp " LINKFAN_BINARY " " + bin_dir.path + "/kivo_linkfan && chmod 755 " +
                         bin_dir.path + " && chmod 777 " + scene.work_dir.path),
              0);
    start({}, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, {},
          bin_dir / "kivo_linkfan");
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(sandbox_read_file(run.out_path), "Permission denied! Must be root user!\n");
    struct stat st;
    ASSERT_EQ(stat(run.log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(LinkfanEndToEnd, UnopenableDevNullEndsWithThreeOnTheConsole)
{
    // A read-only file over /dev/null (in this test's own mount namespace)
    // cannot be opened for writing, not even by root.
    std::string not_a_device = capture_dir / "not-a-device";
    sandbox_write_file(not_a_device, "");
    ASSERT_EQ(sandbox_bind(not_a_device.c_str(), "/dev/null", true), 0);
    ASSERT_EQ(scene_add_link(0), 0);
    start({});
    EXPECT_EQ(wait_exit(10), 3);
    EXPECT_EQ(sandbox_read_file(run.out_path), "open file /dev/null failed!\n");
    EXPECT_EQ(sandbox_read_file(run.log_path), "");
    EXPECT_EQ(rt_tables(), "255\tlocal\n254\tmain\n");
    // With -d the console stays and /dev/null is not needed.
    start({"-d"});
    EXPECT_TRUE(wait_cycles(1, 20));
    stop();
    EXPECT_EQ(rt_tables(), std::string(scene_rt_tables_head) + "10 ppp0\n");
}

TEST_F(LinkfanEndToEnd, UnwritableWorkingDirectoryEndsWithFive)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(sandbox_bind(scene.work_dir.path.c_str(), scene.work_dir.path.c_str(), true), 0);
    start({});
    EXPECT_EQ(wait_exit(20), 5);
    EXPECT_EQ(sandbox_read_file(run.err_path), "Open log file linkfan.log error!");
    EXPECT_EQ(rt_tables(), "255\tlocal\n254\tmain\n");
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
}

TEST_F(LinkfanEndToEnd, LostRoutingTableListEndsWithFourInTheSecondCycle)
{
    // An empty, read-only /etc/iproute2: the first cycle's copy fails unseen,
    // the second cycle's check cannot read the list.
    temp_dir empty("linkfan-empty");
    ASSERT_EQ(sandbox_bind(empty.path.c_str(), "/etc/iproute2", true), 0);
    start({});
    EXPECT_EQ(wait_exit(40), 4);
    strings messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "[ERROR]: could not open file : /etc/iproute2/rt_tables!");
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[INFO]: finish!!!!"), 1);
    EXPECT_EQ(sandbox_read_file(scene.work_dir / "rt_tables"), scene_rt_tables_head);
}

}  // namespace
