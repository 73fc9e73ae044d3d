// kivo_linkfan's probe, options and routing phases, run on the real kernel in
// namespaces of the test's own, with a runner that records every command.
#include "command_line.h"
#include "getinfo.h"
#include "linkfan_cycle.h"
#include "linkfan_default_route.h"
#include "linkfan_events.h"
#include "linkfan_link_route.h"
#include "linkfan_log.h"
#include "linkfan_metrics.h"
#include "linkfan_options.h"
#include "linkfan_publish.h"
#include "linkfan_rt_tables.h"
#include "linkfan_shell.h"
#include "linkfan_status.h"
#include "linkfan_track.h"
#include "linkfan_scene.h"
#include "node_exporter.h"
#include "recording_run.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

class LinkfanPhases : public ::testing::Test {
protected:
    linkfan_scene scene;
    linkfan_state state;

    void SetUp() override
    {
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n"), 0);
        recording_reset();
        linkfan_cycle_init(&state, 0);
        linkfan_publish_open(&state, "");
        // The socket answers for the namespace it was made in.
        if (inet_sock >= 0)
            close(inet_sock);
        ASSERT_EQ(linkfan_probe_open(), 0);
        log_file = std::fopen((scene.work_dir / "linkfan.log").c_str(), "w+");
        ASSERT_NE(log_file, nullptr);
    }

    void TearDown() override
    {
        if (log_file)
            std::fclose(log_file);
        log_file = nullptr;
        recording_reset();
    }

    strings log_messages()
    {
        std::fflush(log_file);
        return scene_log_messages(sandbox_read_file(scene.work_dir / "linkfan.log"));
    }

    std::string system_list() { return sandbox_read_file("/etc/iproute2/rt_tables"); }
};

// A record as the probe would give it for link n (no kernel needed).
pppoe_info prepared(unsigned n, bool ipv6 = true, bool gateway = true)
{
    pppoe_info info{};
    linkfan_text_copy(info.pppoe_name, ("ppp" + std::to_string(n)).c_str());
    linkfan_text_copy(info.pppoe_ip, scene_ipv4(n).c_str());
    if (gateway)
        linkfan_text_copy(info.gateway, scene_peer(n).c_str());
    if (ipv6)
        linkfan_text_copy(info.pppoe_ipv6, scene_ipv6(n).c_str());
    info.txqueuelen = 1000;
    return info;
}

// The targets of -t for a list of addresses.
linkfan_targets targets_of(const strings &addresses)
{
    linkfan_targets targets{};
    for (const std::string &text : addresses) {
        int family = has(text, ":") ? LINKFAN_IPV6 : LINKFAN_IPV4;
        inet_pton(family == LINKFAN_IPV4 ? AF_INET : AF_INET6, text.c_str(),
                  targets.addr[family][targets.count[family]++]);
    }
    return targets;
}

strings concat(std::initializer_list<strings> parts)
{
    strings out;
    for (const strings &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

unsigned long total(const std::vector<unsigned long> &pauses)
{
    unsigned long sum = 0;
    for (unsigned long p : pauses)
        sum += p;
    return sum;
}

// ---------------------------------------------------------------- probe

TEST_F(LinkfanPhases, ProbeOfAMissingOrOverlongNameFailsWithAZeroRecord)
{
    ASSERT_EQ(scene_add_link(0), 0);
    const pppoe_info zero{};
    for (const char *name : {"ppp9", "ppp0ppp0ppp0ppp0", ""}) {
        pppoe_info info;
        std::memset(&info, 0xab, sizeof info);
        EXPECT_EQ(if_fetch(name, &info), -1) << name;
        EXPECT_EQ(std::memcmp(&info, &zero, sizeof info), 0) << name;
    }
}

struct probe_case {
    std::string setup;
    const char *name;
    const char *pppoe_name;
    const char *vlan;
    const char *pppoe_ip;
    const char *gateway;
    const char *pppoe_ipv6;
    const char *mac;
    unsigned txqueuelen;  // the kernel's default: 500 for tun, 1000 for tap
};

TEST_F(LinkfanPhases, ProbeTable)
{
    const probe_case cases[] = {
        // A link as the scene makes it; its link-local pair is nothing to route by.
        {"ip tuntap add dev ppp3 mode tun && " + scene_address_link(3, true), "ppp3", "ppp3", "",
         "10.0.3.2", "10.0.3.1", "2001:db8:3::2/64", "00:00:00:00:00:00", 500},
        // A tap device is not point-to-point, whatever its name: never a link.
        {"ip tuntap add dev ppp4 mode tap && ip link set ppp4 address 02:ab:cd:ef:01:23",
         "ppp4", "", "ppp4", "", "", "", "02:ab:cd:ef:01:23", 1000},
        // Addresses of the longest text form fit with their terminators.
        {"ip tuntap add dev ppp7 mode tun && "
         "ip addr add 192.168.100.200 peer 255.255.255.255 dev ppp7 && "
         "ip -6 addr add 2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff/64 dev ppp7 nodad",
         "ppp7", "ppp7", "", "192.168.100.200", "255.255.255.255",
         "2001:db8:aaaa:bbbb:cccc:dddd:eeee:ffff/64", "00:00:00:00:00:00", 500},
        // An IPv6 address with a peer: the local end, as getifaddrs gives it.
        {"ip tuntap add dev ppp9 mode tun && "
         "ip -6 addr add 2001:db8:9::1 peer 2001:db8:9::2 dev ppp9 nodad",
         "ppp9", "ppp9", "", "", "", "2001:db8:9::1/64", "00:00:00:00:00:00", 500},
        // Only a link-local address: nothing to route by.
        {"ip tuntap add dev ppp8 mode tun && ip -6 addr add fe80::8/10 dev ppp8 nodad", "ppp8",
         "ppp8", "", "", "", "", "00:00:00:00:00:00", 500},
        // Link-local, tentative (no carrier: duplicate detection never ends)
        // and deprecated addresses before the one it is routed by.
        {"ip tuntap add dev ppp6 mode tap && ip link set ppp6 address 02:00:00:00:00:06 && "
         "ip link set ppp6 up && ip -6 addr add fe80::6/64 dev ppp6 nodad && "
         "ip -6 addr add 2001:db8:6::1/64 dev ppp6 && "
         "ip -6 addr add 2001:db8:6::2/64 dev ppp6 nodad preferred_lft 0 && "
         "ip -6 addr add 2001:db8:6::3/64 dev ppp6 nodad",
         "ppp6", "", "ppp6", "", "", "2001:db8:6::3/64", "02:00:00:00:00:06", 1000},
    };
    for (const probe_case &c : cases) {
        ASSERT_EQ(sandbox_sh(c.setup), 0) << c.setup;
        pppoe_info info;
        ASSERT_EQ(if_fetch(c.name, &info), 0) << c.name;
        EXPECT_STREQ(info.pppoe_name, c.pppoe_name) << c.name;
        EXPECT_STREQ(info.vlan, c.vlan) << c.name;
        EXPECT_STREQ(info.pppoe_ip, c.pppoe_ip) << c.name;
        EXPECT_STREQ(info.gateway, c.gateway) << c.name;
        EXPECT_STREQ(info.pppoe_ipv6, c.pppoe_ipv6) << c.name;
        EXPECT_STREQ(info.mac, c.mac) << c.name;
        EXPECT_EQ(info.txqueuelen, c.txqueuelen) << c.name;
        EXPECT_EQ(info.pppd_time, 0u) << c.name;
    }
}

TEST_F(LinkfanPhases, ProbeTakesTheFirstIpv6Address)
{
    ASSERT_EQ(sandbox_sh("ip tuntap add dev ppp7 mode tun && "
                         "ip -6 addr add 2001:db8:7::7/64 dev ppp7 nodad && "
                         "ip -6 addr add 2001:db8:7::8/64 dev ppp7 nodad"),
              0);
    pppoe_info info;
    ASSERT_EQ(if_fetch("ppp7", &info), 0);
    // The kernel's own order of the addresses, as ip lists them.
    std::string first = sandbox_output("ip -6 -o addr show dev ppp7 | awk 'NR==1 {print $4}'");
    EXPECT_EQ(std::string(info.pppoe_ipv6) + "\n", first);
}

// ---------------------------------------------------------------- options

struct option_case {
    strings args;
    int result;
    int debug;
    int multipath;
    int sysctl_pairs;
    bool usage;
    strings targets = {};
    std::string refusal = "";  // the line on standard error, for a bad value
    std::string metrics = "";       // the file of --metrics
};

TEST_F(LinkfanPhases, CommandLineTable)
{
    const option_case cases[] = {
        {{}, 0, 0, 0, 0, false},
        {{"-d"}, 0, 1, 0, 0, false},
        {{"--debug", "--multipath-routing"}, 0, 1, 1, 1, false},
        {{"-m", "-m"}, 0, 0, 1, 2, false},
        {{"-dm", "extra", "words"}, 0, 1, 1, 1, false},
        {{"-m", "-h", "-d"}, 1, 0, 1, 1, true},
        {{"--help"}, 1, 0, 0, 0, true},
        {{"-x"}, 1, 0, 0, 0, true},
        {{"--bogus"}, 1, 0, 0, 0, true},
        {{"-t", "223.5.5.5,119.29.29.29"}, 0, 0, 0, 0, false, {"223.5.5.5", "119.29.29.29"}},
        {{"-m", "--track=1.2.3.4,5.6.7.8,9.9.9.9,8.8.4.4"}, 0, 0, 1, 1, false,
         {"1.2.3.4", "5.6.7.8", "9.9.9.9", "8.8.4.4"}},
        {{"-t", "9.9.9.9", "-d", "-t", "1.1.1.1"}, 0, 1, 0, 0, false, {"1.1.1.1"}},
        // Up to 4 of each family, in any order; listed IPv4 first here.
        {{"-t", "2400:3200::1,223.5.5.5,2001:4860:4860::8888,1.1.1.1,1.0.0.1,8.8.8.8,2::2,3::3"},
         0, 0, 0, 0, false,
         {"223.5.5.5", "1.1.1.1", "1.0.0.1", "8.8.8.8", "2400:3200::1", "2001:4860:4860::8888",
          "2::2", "3::3"}},
        {{"-t", "2001:db8::1,2001:db8::2,2001:db8::3,2001:db8::4,2001:db8::5"}, 1, 0, 0, 0, true,
         {}, "bad -t list: \"2001:db8::5\" is one IPv6 address more than the 4 allowed"},
        {{"-t", "1.1.1.1,::1"}, 1, 0, 0, 0, true, {}, "bad -t list: \"::1\" is a loopback address"},
        {{"-t", "::"}, 1, 0, 0, 0, true, {}, "bad -t list: \"::\" is the unspecified address"},
        {{"-t", "fe80::1"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"fe80::1\" is a link-local address"},
        {{"-t", "ff02::1"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"ff02::1\" is a multicast address"},
        {{"-t", "::ffff:192.0.2.1"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"::ffff:192.0.2.1\" is an IPv4-mapped address"},
        {{"-t", "2400:3200::/32"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"2400:3200::/32\" is a prefix, not an address"},
        {{"-t", "2400:3200:::1"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"2400:3200:::1\" is not an IPv6 address"},
        {{"-t", "1.2.3.4/32"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"1.2.3.4/32\" is not an IPv4 address in dotted-quad form"},
        // A bad list refuses the start before anything runs, -m's sysctls too.
        {{"-m", "-t", "dns.example"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"dns.example\" is not an IPv4 address in dotted-quad form"},
        {{"-t", "1.2.3.4,,5.6.7.8"}, 1, 0, 0, 0, true, {}, "bad -t list: \"\" is an empty item"},
        {{"-t", ""}, 1, 0, 0, 0, true, {}, "bad -t list: \"\" is an empty item"},
        {{"-t", "1.2.3.4,"}, 1, 0, 0, 0, true, {}, "bad -t list: \"\" is an empty item"},
        {{"--track=1.1.1.1,2.2.2.2,3.3.3.3,4.4.4.4,5.5.5.5"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"5.5.5.5\" is one address more than the 4 allowed"},
        {{"-t", "0.0.0.0"}, 1, 0, 0, 0, true, {}, "bad -t list: \"0.0.0.0\" is no host address"},
        {{"-t", "1.1.1.1,255.255.255.255"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"255.255.255.255\" is the broadcast address"},
        {{"-t", "224.0.0.1"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"224.0.0.1\" is a multicast address"},
        {{"-t", "239.255.255.250"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"239.255.255.250\" is a multicast address"},
        {{"-t", "127.0.0.53"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"127.0.0.53\" is a loopback address"},
        {{"-t", "1.2.3"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"1.2.3\" is not an IPv4 address in dotted-quad form"},
        {{"-t", "1.2.3.4.5"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"1.2.3.4.5\" is not an IPv4 address in dotted-quad form"},
        {{"-t", "1.2.3.256"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"1.2.3.256\" is not an IPv4 address in dotted-quad form"},
        {{"-t", " 1.2.3.4"}, 1, 0, 0, 0, true, {},
         "bad -t list: \" 1.2.3.4\" is not an IPv4 address in dotted-quad form"},
        {{"-t", "0x01020304"}, 1, 0, 0, 0, true, {},
         "bad -t list: \"0x01020304\" is not an IPv4 address in dotted-quad form"},
        // An item longer than the message's field is named by its start.
        {{"-t", std::string(300, '7')}, 1, 0, 0, 0, true, {},
         "bad -t list: \"777777777777777777777777777777777777777777777777777777777777777\" is not "
         "an IPv4 address in dotted-quad form"},
        {{"-t"}, 1, 0, 0, 0, true},
        {{"--metrics=/var/lib/prometheus/node-exporter/kivo_linkfan.prom", "-t", "1.1.1.1"},
         0, 0, 0, 0, false, {"1.1.1.1"}, "",
         "/var/lib/prometheus/node-exporter/kivo_linkfan.prom"},
        {{"--metrics", "a.prom", "--metrics=b.prom"}, 0, 0, 0, 0, false, {}, "", "b.prom"},
        // The longest that leaves room for the writer's "FILE.tmp".
        {{"--metrics", std::string(4091, 'm')}, 0, 0, 0, 0, false, {}, "",
         std::string(4091, 'm')},
        // Refused before -m's sysctls, as a bad -t list is.
        {{"-m", "--metrics="}, 1, 0, 0, 0, true, {}, "bad --metrics file: \"\" is empty"},
        {{"-m", "--metrics", std::string(4092, 'm')}, 1, 0, 0, 0, true, {},
         "bad --metrics file: \"" + std::string(64, 'm') + "\" is longer than 4091 bytes"},
        {{"--metrics"}, 1, 0, 0, 0, true},
    };
    const std::string usage = scene_usage("/sbin/kivo_linkfan");
    for (const option_case &c : cases) {
        std::vector<std::string> words = {"/sbin/kivo_linkfan"};
        words.insert(words.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv = argv_of(words);
        linkfan_options options{7, 7, {{7, 7}, {}}, "stale"};
        recording_reset();
        optind = 0;  // glibc: start a fresh scan
        opterr = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = kivo_parse_commandline(static_cast<int>(words.size()), argv.data(), &options);
        std::fflush(stdout);
        std::fflush(stderr);
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        std::string where = words.size() > 1 ? words[1] : "(none)";
        EXPECT_EQ(result, c.result) << where;
        EXPECT_EQ(options.g_debug, c.debug) << where;
        EXPECT_EQ(options.g_multipath_routing, c.multipath) << where;
        strings sysctls;
        for (int k = 0; k < c.sysctl_pairs; k++) {
            sysctls.push_back("sysctl -w net.ipv4.fib_multipath_hash_policy=1");
            sysctls.push_back("sysctl -w net.ipv4.fib_multipath_use_neigh=1");
            sysctls.push_back("sysctl -w net.ipv6.fib_multipath_hash_policy=1");
        }
        EXPECT_EQ(recorded_commands, sysctls) << where;
        EXPECT_EQ(out.find(usage) != std::string::npos, c.usage) << where << ": " << out;
        if (!c.refusal.empty())
            EXPECT_EQ(err, std::string("/sbin/kivo_linkfan: ") + c.refusal + "\n") << where;
        else
            EXPECT_EQ(err, "") << where;
        strings targets;
        for (int family : {LINKFAN_IPV4, LINKFAN_IPV6})
            for (int k = 0; result == 0 && k < options.targets.count[family]; k++) {
                char text[INET6_ADDRSTRLEN];
                inet_ntop(family == LINKFAN_IPV4 ? AF_INET : AF_INET6,
                          options.targets.addr[family][k], text, sizeof text);
                targets.push_back(text);
            }
        EXPECT_EQ(targets, c.targets) << where;
        EXPECT_EQ(options.metrics_path, c.metrics) << where;
    }
    opterr = 1;
}

// ---------------------------------------------------------------- run log

TEST_F(LinkfanPhases, LogRecordHasTimeMicrosecondsAndTag)
{
    linkfan_log(LINKFAN_LOG_INFO, "one %s\n", "two");
    linkfan_log(LINKFAN_LOG_ERROR, "three\n");
    std::fflush(log_file);
    std::string text = sandbox_read_file(scene.work_dir / "linkfan.log");
    // 2024-05-01 12:00:00.000042 [INFO]: one two
    const char *shape = "dddd-dd-dd dd:dd:dd.dddddd ";
    size_t at = 0;
    for (const char *tail : {"[INFO]: one two\n", "[ERROR]: three\n"}) {
        for (size_t k = 0; shape[k]; k++) {
            char got = text[at + k];
            if (shape[k] == 'd')
                EXPECT_TRUE(got >= '0' && got <= '9') << text;
            else
                EXPECT_EQ(got, shape[k]) << text;
        }
        EXPECT_EQ(text.substr(at + 27, std::strlen(tail)), tail);
        at += 27 + std::strlen(tail);
    }
    EXPECT_EQ(at, text.size());
}

// ---------------------------------------------------------------- routing-table list

TEST_F(LinkfanPhases, ListRewriteNumbersLinksByName)
{
    state.g_array_info_new[0] = prepared(0);
    state.g_array_info_new[2] = prepared(2, false, false);
    state.g_array_info_new[5].txqueuelen = 7;  // a cleared-but-touched entry is no link
    state.g_multipath_routing = 1;
    ASSERT_EQ(linkfan_rt_tables_rewrite(state), 0);
    std::string expected = std::string(scene_rt_tables_head) + "6\tbalance\n10 ppp0\n30 ppp2\n";
    EXPECT_EQ(sandbox_read_file("rt_tables"), expected);
    EXPECT_EQ(system_list(), expected);
    EXPECT_EQ(recorded_commands, strings{"cp ./rt_tables /etc/iproute2/rt_tables"});
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>{50000});
    EXPECT_EQ(log_messages(), strings{"[INFO]: update file /etc/iproute2/rt_tables......"});
}

TEST_F(LinkfanPhases, ListRewriteWithoutLinksHasTheFixedLinesOnly)
{
    ASSERT_EQ(linkfan_rt_tables_rewrite(state), 0);
    EXPECT_EQ(system_list(), scene_rt_tables_head);
}

TEST_F(LinkfanPhases, ListRewriteOfAllLinks)
{
    for (unsigned n = 0; n < LINKFAN_MAX_LINKS; n++)
        state.g_array_info_new[n] = prepared(n);
    ASSERT_EQ(linkfan_rt_tables_rewrite(state), 0);
    std::string list = system_list();
    EXPECT_NE(list.find("\n10 ppp0\n20 ppp1\n"), std::string::npos);
    EXPECT_EQ(list.substr(list.size() - 12), "1280 ppp127\n");
    // The tool's own list must pass its own check, or it would rewrite every cycle.
    state.g_new_ppp = 0;
    ASSERT_EQ(linkfan_rt_tables_check(state, &state.g_new_ppp), 0);
    EXPECT_EQ(state.g_new_ppp, 0);
}

struct list_case {
    const char *name;
    std::string file;
    std::vector<unsigned> links;
    int new_ppp;
};

TEST_F(LinkfanPhases, ListCheckTable)
{
    const list_case cases[] = {
        {"every link listed, other numbers", "7 ppp1\n3 ppp0\n", {0, 1}, 0},
        {"no link present", "", {}, 0},
        {"one link missing", "10 ppp0\n", {0, 1}, 1},
        {"ppp11 does not list ppp1", "10 ppp11\n", {1}, 1},
        {"name needs its line feed", "10 ppp1", {1}, 1},
        // The key is "ppp0\n": it fits when its line feed is byte 4095, and is
        // cut when that line feed is byte 4096.
        {"key ending at byte 4095", std::string(4089, '#') + "\nppp0\n", {0}, 0},
        {"key ending at byte 4096", std::string(4090, '#') + "\nppp0\n", {0}, 1},
    };
    for (const list_case &c : cases) {
        sandbox_write_file("/etc/iproute2/rt_tables", c.file);
        std::memset(state.g_array_info_new, 0, sizeof state.g_array_info_new);
        for (unsigned n : c.links)
            state.g_array_info_new[n] = prepared(n);
        state.g_new_ppp = 0;
        EXPECT_EQ(linkfan_rt_tables_check(state, &state.g_new_ppp), 0) << c.name;
        EXPECT_EQ(state.g_new_ppp, c.new_ppp) << c.name;
    }
    EXPECT_TRUE(recorded_commands.empty());
}

TEST_F(LinkfanPhases, ListRewriteInAReadOnlyDirectoryEndsWithFive)
{
    ASSERT_EQ(sandbox_bind(scene.work_dir.path.c_str(), scene.work_dir.path.c_str(), true), 0);
    ASSERT_EQ(chdir("/") == 0 && chdir(scene.work_dir.path.c_str()) == 0, true);
    EXPECT_EQ(linkfan_rt_tables_rewrite(state), 5);
    EXPECT_TRUE(recorded_commands.empty());
    EXPECT_EQ(log_messages(), (strings{"[INFO]: update file /etc/iproute2/rt_tables......",
                                       "[ERROR]: could not open file : ./rt_tables!"}));
}

TEST_F(LinkfanPhases, ListRewriteOnAFullDiskKeepsTheSystemList)
{
    state.g_array_info_new[0] = prepared(0);
    std::string before = system_list();
    ASSERT_EQ(unlink("rt_tables") == 0 || errno == ENOENT, true);
    ASSERT_EQ(symlink("/dev/full", "rt_tables"), 0);
    EXPECT_EQ(linkfan_rt_tables_rewrite(state), 0);
    EXPECT_TRUE(recorded_commands.empty());
    EXPECT_EQ(system_list(), before);
    EXPECT_EQ(log_messages(), (strings{"[INFO]: update file /etc/iproute2/rt_tables......",
                                       "[ERROR]: could not write file : ./rt_tables!"}));
}

// ---------------------------------------------------------------- per-link routing

TEST_F(LinkfanPhases, FirstCycleRoutesEveryLinkInOrderByTheFamiliesItHas)
{
    // ppp3 was routed by its link-local address once: that rule goes.
    ASSERT_EQ(scene_add_mixed_box("ip -6 rule add to fe80::3/64 lookup 40 pref 200"), 0);
    sandbox_write_file("/etc/iproute2/rt_tables", "10 ppp0\n20 ppp1\n30 ppp2\n40 ppp3\n");
    for (unsigned n = 0; n < 4; n++)
        ASSERT_EQ(if_fetch(("ppp" + std::to_string(n)).c_str(), &state.g_array_info_new[n]), 0);
    state.g_chang_ip |= linkfan_link_route(state);
    linkfan_shell_settle();
    EXPECT_EQ(state.g_chang_ip, 1);
    // Such a box's commands, in order, are the recorded mixed box's (below).
    EXPECT_EQ(log_messages(),
              (strings{"[INFO]: update ppp0 route rule.", "[INFO]: update ppp0 ipv6 route rule.",
                       "[INFO]: update ppp1 route rule.", "[INFO]: clear ppp1 ipv6 route rule.",
                       "[INFO]: clear ppp2 route rule.", "[INFO]: update ppp2 ipv6 route rule.",
                       "[INFO]: update ppp3 route rule.", "[INFO]: clear ppp3 ipv6 route rule."}));

    // What the kernel holds afterwards.
    const std::string rules = sandbox_output("ip rule"), rules6 = sandbox_output("ip -6 rule");
    for (unsigned n : {0u, 1u, 3u})
        EXPECT_TRUE(has(rules, "1000:\tfrom " + scene_ipv4(n) + " lookup ppp" + std::to_string(n)))
            << rules;
    EXPECT_FALSE(has(rules, "lookup ppp2")) << rules;
    for (unsigned n : {0u, 2u})
        EXPECT_TRUE(has(rules6, "200:\tfrom all to " + scene_ipv6(n) + " lookup ppp" +
                                    std::to_string(n)))
            << rules6;
    EXPECT_FALSE(has(rules6, "fe80")) << rules6;
    EXPECT_FALSE(has(rules6, "ppp1")) << rules6;
    EXPECT_TRUE(has(sandbox_output("ip route show table ppp1"), "default dev ppp1"));
    EXPECT_TRUE(has(sandbox_output("ip -6 route show table ppp2"), "default dev ppp2"));
    for (unsigned n = 0; n < 4; n++)
        EXPECT_TRUE(has(sandbox_output("ip link show ppp" + std::to_string(n)), "qlen 1000")) << n;

    // Configuring again leaves one copy of each rule, not two.
    state.g_chang_ip |= linkfan_link_route(state);
    linkfan_shell_settle();
    std::string again = sandbox_output("ip rule") + sandbox_output("ip -6 rule");
    size_t count = 0;
    for (size_t at = again.find("lookup ppp0"); at != std::string::npos;
         at = again.find("lookup ppp0", at + 1))
        count++;
    EXPECT_EQ(count, 3u) << again;
}

struct change_case {
    const char *name;
    unsigned old_txqueuelen;
    const char *new_ip;
    const char *new_ipv6;
    int new_ifindex;  // the old interface has index 7
    size_t commands;  // 0: not configured
};

TEST_F(LinkfanPhases, LaterCyclesConfigureOnlyChangedLinks)
{
    const change_case cases[] = {
        {"unchanged", 1000, "10.0.0.2", "2001:db8::2/64", 7, 0},
        {"queue length not yet set", 500, "10.0.0.2", "2001:db8::2/64", 7, 12},
        {"new IPv4 address", 1000, "10.0.0.9", "2001:db8::2/64", 7, 12},
        {"new IPv6 address", 1000, "10.0.0.2", "2001:db8::9/64", 7, 12},
        {"re-created interface", 1000, "10.0.0.2", "2001:db8::2/64", 8, 12},
        // Its IPv4 routing, and the four deletions of its IPv6 rules.
        {"IPv6 address lost", 1000, "10.0.0.2", "", 7, 9},
        // Its IPv4 rule's deletion and the queue length, then its IPv6 routing.
        {"IPv4 address lost", 1000, "", "2001:db8::2/64", 7, 9},
    };
    for (const change_case &c : cases) {
        recording_reset();
        std::rewind(log_file);
        ASSERT_EQ(ftruncate(fileno(log_file), 0), 0);
        state.g_first = 0;
        state.g_chang_ip = 0;
        state.g_array_info[0] = prepared(0);
        state.g_array_info[0].txqueuelen = c.old_txqueuelen;
        state.g_array_info_new[0] = prepared(0);
        linkfan_text_copy(state.g_array_info_new[0].pppoe_ip, c.new_ip);
        linkfan_text_copy(state.g_array_info_new[0].pppoe_ipv6, c.new_ipv6);
        state.ifindex[0] = 7;
        state.ifindex_new[0] = c.new_ifindex;
        state.g_chang_ip |= linkfan_link_route(state);
        EXPECT_EQ(state.g_chang_ip, c.commands ? 1 : 0) << c.name;
        EXPECT_EQ(recorded_commands.size(), c.commands) << c.name;
        strings logged = log_messages();
        if (c.commands) {
            ASSERT_EQ(logged.size(), 3u) << c.name;
            EXPECT_EQ(logged[0], std::string("[INFO]: chang_ip, ppp0 : 10.0.0.2 -------> ") +
                                     c.new_ip + " | 2001:db8::2/64 ------> " + c.new_ipv6 + "!")
                << c.name;
        } else {
            EXPECT_TRUE(logged.empty()) << c.name;
        }
    }
}

// ---------------------------------------------------------------- default routes

TEST_F(LinkfanPhases, FindDefaultGatewayLooksForTheWordOnAnyLine)
{
    EXPECT_EQ(find_default_gateway("printf 'a b\\nx nodefaulty\\n'"), 1);
    EXPECT_EQ(find_default_gateway("printf 'a b\\nDefault\\n'"), 0);
    EXPECT_EQ(find_default_gateway("true"), 0);
    EXPECT_EQ(find_default_gateway("/nonexistent/command 2>/dev/null"), 0);
    // The search stops at the first match and does not wait for the rest.
    EXPECT_EQ(find_default_gateway("echo default; yes"), 1);
}

TEST_F(LinkfanPhases, CheckReportsMissingDefaultRoutes)
{
    state.g_multipath_routing = 1;
    state.g_chang_ip |= linkfan_default_route_check(state);
    EXPECT_EQ(state.g_chang_ip, 1);
    EXPECT_EQ(recorded_commands, (strings{"< ip route", "< ip route list table balance"}));
    EXPECT_EQ(log_messages(), (strings{"[ERROR]: not find in main table default route.\n",
                                       "[ERROR]: not find in balance table default route.\n"}));

    ASSERT_EQ(scene_add_link(0), 0);
    sandbox_write_file("/etc/iproute2/rt_tables", "6\tbalance\n");
    ASSERT_EQ(sandbox_sh("ip route add default dev ppp0 && ip route add default dev ppp0 table 6"),
              0);
    state.g_chang_ip = 0;
    state.g_chang_ip |= linkfan_default_route_check(state);
    EXPECT_EQ(state.g_chang_ip, 0);
    state.g_multipath_routing = 0;
    ASSERT_EQ(sandbox_sh("ip route flush table 6"), 0);
    state.g_chang_ip |= linkfan_default_route_check(state);
    EXPECT_EQ(state.g_chang_ip, 0);  // single-table mode never looks at "balance"
}

TEST_F(LinkfanPhases, SingleTableRebuildSpreadsOverEveryNextHop)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1, false), 0);
    for (unsigned n = 0; n < 2; n++)
        ASSERT_EQ(if_fetch(("ppp" + std::to_string(n)).c_str(), &state.g_array_info[n]), 0);
    state.g_array_info[3] = prepared(3, true, false);  // no gateway: no next hop
    linkfan_default_route_rebuild(state, &state.route);
    linkfan_shell_settle();
    const std::string route = "ip route replace default nexthop via 10.0.0.1 dev ppp0 weight 1 "
                              "nexthop via 10.0.1.1 dev ppp1 weight 1 ";
    EXPECT_EQ(recorded_commands, (strings{"ip route del default", route, "ip route flush cache"}));
    EXPECT_EQ(log_messages(), (strings{"[INFO]: update route table......\n",
                                       "[INFO]: set main route : " + route}));
    std::string main_table = sandbox_output("ip route");
    EXPECT_NE(main_table.find("nexthop via 10.0.0.1 dev ppp0 weight 1"), std::string::npos)
        << main_table;
    EXPECT_NE(main_table.find("nexthop via 10.0.1.1 dev ppp1 weight 1"), std::string::npos);
    EXPECT_TRUE(sandbox_output("iptables -t nat -S POSTROUTING").find("MASQUERADE") ==
                std::string::npos);
}

TEST_F(LinkfanPhases, MultipathRebuildLeadsWithTheFirstNextHopWithOrWithoutIpv6)
{
    ASSERT_EQ(scene_add_link(0, false), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    sandbox_write_file("/etc/iproute2/rt_tables", "6\tbalance\n");
    state.g_multipath_routing = 1;
    for (unsigned n = 0; n < 2; n++)
        ASSERT_EQ(if_fetch(("ppp" + std::to_string(n)).c_str(), &state.g_array_info[n]), 0);
    linkfan_default_route_rebuild(state, &state.route);
    linkfan_shell_settle();
    const std::string balance = "ip route replace table balance default "
                                "nexthop via 10.0.0.1 dev ppp0 weight 1 "
                                "nexthop via 10.0.1.1 dev ppp1 weight 1 ";
    EXPECT_EQ(recorded_commands,
              (strings{"iptables -t nat -D POSTROUTING -o ppp0 -j MASQUERADE",
                       "iptables -t nat -I POSTROUTING -o ppp0 -j MASQUERADE",
                       "iptables -t nat -D POSTROUTING -o ppp1 -j MASQUERADE",
                       "iptables -t nat -I POSTROUTING -o ppp1 -j MASQUERADE",
                       "ip route del default", "ip route replace default via 10.0.0.1 dev ppp0",
                       "ip route del table balance default", balance, "ip rule del priority 100",
                       "ip rule add from 10.0.0.2 dport 1-1023 ipproto tcp table balance "
                       "priority 100",
                       "ip route flush cache", "ip route flush cache table balance"}));
    EXPECT_NE(sandbox_output("ip route").find("default via 10.0.0.1 dev ppp0"), std::string::npos);
    EXPECT_NE(sandbox_output("ip rule").find("100:\tfrom 10.0.0.2 ipproto tcp dport 1-1023 lookup "
                                             "balance"),
              std::string::npos);
    // A second rebuild replaces rather than stacks.
    linkfan_default_route_rebuild(state, &state.route);
    linkfan_shell_settle();
    EXPECT_EQ(sandbox_output("iptables -t nat -S POSTROUTING"),
              "-P POSTROUTING ACCEPT\n-A POSTROUTING -o ppp1 -j MASQUERADE\n"
              "-A POSTROUTING -o ppp0 -j MASQUERADE\n");
    std::string rules = sandbox_output("ip rule");
    EXPECT_EQ(rules.find("100:"), rules.rfind("100:")) << rules;
}

TEST_F(LinkfanPhases, RebuildWithoutANextHopRunsNothing)
{
    state.g_array_info[0] = prepared(0, true, false);
    state.g_array_info[1] = prepared(1, false, false);
    for (int mode : {0, 1}) {
        state.g_multipath_routing = mode;
        linkfan_default_route_rebuild(state, &state.route);
    }
    EXPECT_TRUE(recorded_commands.empty());
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(LinkfanPhases, RebuildOverAllLinksKeepsEveryNextHop)
{
    for (unsigned n = 0; n < LINKFAN_MAX_LINKS; n++) {
        state.g_array_info[n] = prepared(n);
        linkfan_text_copy(state.g_array_info[n].gateway, "100.100.100.100");
    }
    linkfan_default_route_rebuild(state, &state.route);
    ASSERT_EQ(recorded_commands.size(), 3u);
    const std::string &route = recorded_commands[1];
    size_t clauses = 0;
    for (size_t at = route.find("nexthop via"); at != std::string::npos;
         at = route.find("nexthop via", at + 1))
        clauses++;
    EXPECT_EQ(clauses, 128u);
    EXPECT_EQ(route.substr(route.size() - 20), "dev ppp127 weight 1 ");
}

// ---------------------------------------------------------------- cycle

TEST_F(LinkfanPhases, DiscoveryRecordsALinkAgainWhenItsAddressChanges)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(sandbox_sh("ip tuntap add dev ppp1 mode tun && ip link set ppp1 up"), 0);
    int pauses = 0;
    pause_hook = [&pauses] {
        if (++pauses == 2)  // ppp0 and ppp1 each pause once per pass
            sandbox_sh("ip addr flush dev ppp0 && "
                       "ip addr add 10.0.0.7 peer 10.0.0.1 dev ppp0");
    };
    linkfan_discover(&state);
    EXPECT_STREQ(state.g_array_info[0].pppoe_ip, "10.0.0.7");
    const pppoe_info zero{};
    EXPECT_EQ(std::memcmp(&state.g_array_info[1], &zero, sizeof zero), 0);  // no address: not recorded
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>(6, 50000));
    strings logged = log_messages();
    ASSERT_EQ(logged.size(), 11u);
    EXPECT_EQ(logged[0], "[INFO]: Please wait ppp dev checking......");
    EXPECT_EQ(logged[2], "[INFO]: g_array_info[i].pppoe_ip = 10.0.0.2");
    EXPECT_EQ(logged[7], "[INFO]: g_array_info[i].pppoe_ip = 10.0.0.7");
    EXPECT_EQ(logged[10], "[INFO]: g_array_info[i].txqueuelen = 500");
}

TEST_F(LinkfanPhases, DiscoveryLooksNoFurtherThanPpp127AndSkipsWhatIsNoLink)
{
    ASSERT_EQ(scene_add_link(128), 0);
    // Named like a link, with addresses, but not point-to-point.
    ASSERT_EQ(sandbox_sh("ip tuntap add dev ppp5 mode tap && ip addr add 10.0.5.2/24 dev ppp5 && "
                         "ip link set ppp5 up"),
              0);
    linkfan_discover(&state);
    EXPECT_EQ(log_messages(), strings{"[INFO]: Please wait ppp dev checking......"});
    const pppoe_info zero{};
    EXPECT_EQ(std::memcmp(&state.g_array_info[5], &zero, sizeof zero), 0);
    // Only the existing ppp5 costs its pause, once per pass.
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>(3, 50000));
}

TEST_F(LinkfanPhases, TwoLinkMultipathRunInOrder)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    char arg0[] = "kivo_linkfan", arg1[] = "-m";
    char *argv[] = {arg0, arg1, nullptr};
    optind = 0;
    linkfan_options options;
    ASSERT_EQ(kivo_parse_commandline(2, argv, &options), 0);
    linkfan_cycle_init(&state, options.g_multipath_routing);
    linkfan_discover(&state);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    size_t second_cycle_end = recorded_commands.size();
    ASSERT_EQ(linkfan_cycle(&state), 0);

    // The third cycle only looks.
    strings expected = expected_two_link_multipath_run();
    EXPECT_EQ(second_cycle_end, expected.size());
    expected.push_back("< ip route");
    expected.push_back("< ip route list table balance");
    EXPECT_EQ(recorded_commands, expected);

    std::vector<unsigned long> pauses(6, 50000);
    pauses.push_back(50000);
    pauses.push_back(10000000);
    for (int cycle = 0; cycle < 2; cycle++) {
        pauses.insert(pauses.end(), 128, 20000);
        pauses.push_back(10000000);
    }
    EXPECT_EQ(recorded_pauses, pauses);
    EXPECT_EQ(total(recorded_pauses), 6 * 50000ul + 50000 + 3 * 10000000ul + 2 * 128 * 20000ul);

    strings logged = log_messages();
    const std::string same = "[INFO]: chang_ip, ppp0 : 10.0.0.2 -------> 10.0.0.2 | "
                             "2001:db8::2/64 ------> 2001:db8::2/64!";
    EXPECT_EQ(std::count(logged.begin(), logged.end(), same), 1);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "[INFO]: finish!!!!"), 3);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "[INFO]: Processing routing......"), 3);
    EXPECT_EQ(system_list(), std::string(scene_rt_tables_head) + "6\tbalance\n10 ppp0\n20 ppp1\n");
    EXPECT_EQ(state.g_first, 0);
    EXPECT_EQ(state.g_new_ppp, 0);
    EXPECT_EQ(state.g_chang_ip, 0);
}

TEST_F(LinkfanPhases, RescanFindsNewLinksAndKeepsNumbers)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    linkfan_discover(&state);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    ASSERT_EQ(linkfan_cycle(&state), 0);  // settles the queue lengths
    recording_reset();
    ASSERT_EQ(linkfan_cycle(&state), 0);
    EXPECT_EQ(recorded_commands, strings{"< ip route"});

    // ppp0 goes away and ppp2 comes up: its empty old entry calls for a rewrite.
    ASSERT_EQ(sandbox_sh("ip link del ppp0"), 0);
    ASSERT_EQ(scene_add_link(2), 0);
    recording_reset();
    ASSERT_EQ(linkfan_cycle(&state), 0);
    EXPECT_EQ(system_list(), std::string(scene_rt_tables_head) + "20 ppp1\n30 ppp2\n");
    // ppp1 kept its number, so setting up ppp2 left its table and rules alone.
    EXPECT_TRUE(has(sandbox_output("ip route show table ppp1"), "default dev ppp1"));
    EXPECT_TRUE(has(sandbox_output("ip rule"), "1000:\tfrom 10.0.1.2 lookup ppp1"));
    std::string rules6 = sandbox_output("ip -6 rule");
    EXPECT_TRUE(has(rules6, "200:\tfrom 2001:db8:1::2/64 lookup ppp1")) << rules6;
    EXPECT_TRUE(has(rules6, "200:\tfrom all to 2001:db8:1::2/64 lookup ppp1")) << rules6;
    EXPECT_TRUE(has(sandbox_output("ip rule"), "1000:\tfrom 10.0.2.2 lookup ppp2"));
    const strings expected = concat({{"cp ./rt_tables /etc/iproute2/rt_tables"},
                                     expected_link_commands(2),
                                     {"< ip route", "ip route del default",
                                      "ip route replace default nexthop via 10.0.1.1 dev ppp1 "
                                      "weight 1 nexthop via 10.0.2.1 dev ppp2 weight 1 ",
                                      "ip route flush cache", expected_ipv6_route({1, 2})}});
    EXPECT_EQ(recorded_commands, expected);
    const pppoe_info zero{};
    EXPECT_EQ(std::memcmp(&state.g_array_info[0], &zero, sizeof zero), 0);
}

TEST_F(LinkfanPhases, CycleWithoutLinksKeepsReportingTheMissingRoute)
{
    linkfan_discover(&state);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    EXPECT_EQ(recorded_commands,
              (strings{"cp ./rt_tables /etc/iproute2/rt_tables", "< ip route", "< ip route"}));
    EXPECT_EQ(system_list(), scene_rt_tables_head);
    const strings cycle = {"[INFO]: Processing routing......",
                           "[ERROR]: not find in main table default route.\n",
                           "[INFO]: finish!!!!"};
    strings expected = {"[INFO]: Please wait ppp dev checking......",
                        "[INFO]: Processing routing......",
                        "[INFO]: update file /etc/iproute2/rt_tables......",
                        "[ERROR]: not find in main table default route.\n", "[INFO]: finish!!!!"};
    expected.insert(expected.end(), cycle.begin(), cycle.end());
    EXPECT_EQ(log_messages(), expected);
}

TEST_F(LinkfanPhases, CycleEndsWithFourWhenTheSystemListVanishes)
{
    ASSERT_EQ(scene_add_link(0), 0);
    linkfan_discover(&state);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    ASSERT_EQ(unlink("/etc/iproute2/rt_tables"), 0);
    recording_reset();
    EXPECT_EQ(linkfan_cycle(&state), 4);
    EXPECT_TRUE(recorded_commands.empty());  // it stops before any routing
    EXPECT_EQ(log_messages().back(), "[ERROR]: could not open file : /etc/iproute2/rt_tables!");
}

}  // namespace

namespace {

// ---------------------------------------------------------------- recorded runs

struct golden_case {
    unsigned links;
    int multipath;
    const char *file;
    int track = 0;  // with -t: while every link is up, the same commands
    const char *families = "";  // as scene_add_links takes them
};

// The commands of the first two cycles, as recorded from the program before
// its command path was reworked (with the IPv6 default route since added,
// the last command of the first cycle): "# cycle 2" separates the cycles.
// The mixed box's links have IPv4 and IPv6, IPv4 only, IPv6 only, both.
TEST_F(LinkfanPhases, FirstTwoCyclesRunTheRecordedCommands)
{
    const golden_case cases[] = {
        {2, 1, "linkfan_2_links_multipath.txt"},
        {2, 0, "linkfan_2_links_single.txt"},
        {128, 1, "linkfan_128_links_multipath.txt"},
        {2, 1, "linkfan_2_links_multipath.txt", 1},
        {2, 0, "linkfan_2_links_single.txt", 1},
        {4, 1, "linkfan_mixed_box_multipath.txt", 0, "d46d"},
        {4, 1, "linkfan_mixed_box_multipath.txt", 1, "d46d"},
    };
    for (const golden_case &c : cases) {
        const strings want = scene_golden(c.file);
        ASSERT_FALSE(want.empty()) << c.file;
        // Each case in fresh namespaces: the links, rules and routes of one
        // case must not be there for the next.
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n"), 0);
        close(inet_sock);
        ASSERT_EQ(linkfan_probe_open(), 0);
        ASSERT_EQ(scene_add_links(c.links, c.families), 0);
        recording_reset();
        linkfan_cycle_init(&state, c.multipath);
        linkfan_publish_open(&state, "");
        linkfan_track_init(&state, c.track ? targets_of({"192.0.2.1", "2001:db8:ffff::1"})
                                           : targets_of({}));
        linkfan_discover(&state);
        strings got;
        for (int cycle = 1; cycle <= 2; cycle++) {
            if (cycle == 2)
                got.push_back("# cycle 2");
            recorded_commands.clear();
            ASSERT_EQ(linkfan_cycle(&state), 0) << c.file;
            got.insert(got.end(), recorded_commands.begin(), recorded_commands.end());
        }
        ASSERT_EQ(got.size(), want.size()) << c.file;
        for (size_t k = 0; k < want.size(); k++)
            ASSERT_EQ(got[k], want[k]) << c.file << ", command " << k + 1;
        if (c.track) {
            EXPECT_TRUE(S_ISREG(sandbox_mode_of(scene.work_dir / "linkfan.status"))) << c.file;
            EXPECT_GE(state.track.links[LINKFAN_IPV4][1].fd, 0) << c.file;
        }
    }
}

// ---------------------------------------------------------------- gateways and kernel reports

TEST_F(LinkfanPhases, ProbeRecordsTheInterfaceIndex)
{
    ASSERT_EQ(scene_add_link(2), 0);
    pppoe_info info;
    int ifindex = -1;
    ASSERT_EQ(if_fetch_indexed("ppp2", &info, &ifindex), 0);
    EXPECT_EQ(std::to_string(ifindex) + "\n", sandbox_output("ip -o link show ppp2 | cut -d: -f1"));
    ASSERT_EQ(sandbox_sh("ip link del ppp2"), 0);
    ASSERT_EQ(scene_add_link(2), 0);
    int again = -1;
    ASSERT_EQ(if_fetch_indexed("ppp2", &info, &again), 0);
    EXPECT_NE(again, ifindex);
    EXPECT_EQ(if_fetch_indexed("ppp3", &info, &again), -1);
    EXPECT_EQ(again, 0);
}

TEST_F(LinkfanPhases, GatewayCheckNamesEveryLinkWhosePeerChanged)
{
    for (unsigned n : {0u, 1u, 2u}) {
        state.g_array_info[n] = prepared(n);
        state.g_array_info_new[n] = prepared(n);
    }
    EXPECT_EQ(linkfan_gateway_check(state), 0);
    linkfan_text_copy(state.g_array_info_new[1].gateway, "10.0.1.9");
    state.g_array_info_new[2].gateway[0] = '\0';  // lost its peer
    state.g_array_info[5] = prepared(5);          // gone: the kernel took its routes
    state.g_array_info_new[6] = prepared(6);      // new: configured as such
    EXPECT_EQ(linkfan_gateway_check(state), 1);
    EXPECT_EQ(log_messages(), (strings{"[INFO]: chang_gateway, ppp1 : 10.0.1.1 -------> 10.0.1.9!",
                                       "[INFO]: chang_gateway, ppp2 : 10.0.2.1 -------> !"}));
    EXPECT_TRUE(recorded_commands.empty());
}

TEST_F(LinkfanPhases, ACycleSeesAChangedGatewayAndRebuilds)
{
    ASSERT_EQ(scene_add_link(0), 0);
    linkfan_discover(&state);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    recording_reset();
    ASSERT_EQ(sandbox_sh("ip addr add 10.0.0.2 peer 10.0.0.9 dev ppp0 && "
                         "ip addr del 10.0.0.2 peer 10.0.0.1 dev ppp0"),
              0);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    EXPECT_EQ(recorded_commands,
              (strings{"< ip route", "ip route del default",
                       "ip route replace default nexthop via 10.0.0.9 dev ppp0 weight 1 ",
                       "ip route flush cache"}));
    EXPECT_TRUE(has(sandbox_output("ip route show default"), "via 10.0.0.9 dev ppp0"));
}

// Kernel reports as the pause sees them, for links ppp0 and ppp1 that the
// tables hold.
class LinkfanEvents : public LinkfanPhases {
protected:
    void SetUp() override
    {
        LinkfanPhases::SetUp();
        ASSERT_EQ(scene_add_link(0), 0);
        ASSERT_EQ(scene_add_link(1), 0);
        for (int n = 0; n < 2; n++)
            ASSERT_EQ(if_fetch_indexed(("ppp" + std::to_string(n)).c_str(), &state.g_array_info[n],
                                       &state.ifindex[n]),
                      0);
        ASSERT_EQ(sandbox_sh("ip route add default dev ppp0 && ip route add default dev ppp1 "
                             "table 6 && ip route add default dev ppp1 table 7"),
                  0);
        ASSERT_EQ(linkfan_events_open(&state), 0);
    }

    void TearDown() override
    {
        close(state.events.fd);
        LinkfanPhases::TearDown();
    }

    // Some reports come from the kernel's work queue after ip has returned
    // (an IPv6 address's, once its duplicate check is skipped), so a case that
    // expects news waits for it, boundedly, before reading.
    int reported(const std::string &change, int routes_count, int expect_news)
    {
        EXPECT_EQ(sandbox_sh(change), 0) << change;
        if (expect_news) {
            struct pollfd ready = {state.events.fd, POLLIN, 0};
            poll(&ready, 1, 2000);
        }
        return linkfan_events_read(state, routes_count);
    }
};

struct event_case {
    const char *change;
    int multipath;
    int routes_count;
    int counts;
    int news = 0;  // a report comes that does not count: waited for all the same
};

TEST_F(LinkfanEvents, ReportsTable)
{
    const event_case cases[] = {
        {"true", 0, 1, 0},
        // The tool's own work on a known link.
        {"ip link set dev ppp0 txqueuelen 1000", 0, 1, 0},
        {"ip route flush table 7", 1, 1, 0},
        // Not a link: not point-to-point, or not a name the probe uses.
        {"ip tuntap add dev ppp5 mode tap && ip addr add 10.0.5.2/24 dev ppp5", 0, 1, 0},
        {"ip tuntap add dev ppp128 mode tun && ip addr add 10.1.28.2 peer 10.1.28.1 dev ppp128",
         0, 1, 0},
        {"ip tuntap add dev xppp3 mode tun && ip link del xppp3", 0, 1, 0},
        // The balance table counts only in multipath mode; the cycle's own
        // deletions (before the pause) never do.
        {"ip route del default table 6", 0, 1, 0},
        {"ip route add default dev ppp1 table 6 && ip route del default table 6", 1, 1, 1},
        {"ip route del default", 0, 0, 0},
        {"ip route add default dev ppp0 && ip route del default", 0, 1, 1},
        // Addresses and links.
        {"ip -6 addr add fe80::9/64 dev ppp1 nodad", 0, 0, 0, 1},  // routed by no link-local one
        {"ip -6 addr add 2001:db8:1::9/64 dev ppp1 nodad", 0, 0, 1},
        {"ip addr del 10.0.1.2 peer 10.0.1.1 dev ppp1", 0, 0, 1},
        {"ip tuntap add dev ppp9 mode tun", 0, 0, 1},
        {"ip addr add 10.0.9.2 peer 10.0.9.1 dev ppp9", 0, 0, 1},
        {"ip link del ppp0", 0, 0, 1},
    };
    for (const event_case &c : cases) {
        state.g_multipath_routing = c.multipath;
        EXPECT_EQ(reported(c.change, c.routes_count, c.counts || c.news), c.counts) << c.change;
    }
}

TEST_F(LinkfanEvents, PauseEndsAtOnceOnNewsButWakesAtMostOncePerSecond)
{
    // Nothing new: the whole pause.
    linkfan_events_pause(&state, 10000000);
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>{10000000});

    // News that came in while the cycle ran: no pause at all.
    recording_reset();
    ASSERT_EQ(sandbox_sh("ip link del ppp1"), 0);
    linkfan_events_pause(&state, 10000000);
    EXPECT_TRUE(recorded_pauses.empty());

    // News during the pause ends it; so soon after the last wake, only once
    // the second since then has passed.
    recording_reset();
    pause_hook = [] {
        if (recorded_pauses.size() == 1)
            sandbox_sh("ip link del ppp0");
    };
    linkfan_events_pause(&state, 10000000);
    ASSERT_EQ(recorded_pauses.size(), 2u);
    EXPECT_EQ(recorded_pauses[0], 10000000u);
    EXPECT_GT(recorded_pauses[1], 500000u);
    EXPECT_LE(recorded_pauses[1], 1000000u);
}

TEST_F(LinkfanEvents, ACycleWithoutTheSocketPausesAsAlways)
{
    close(state.events.fd);
    state.events.fd = -1;
    ASSERT_EQ(sandbox_sh("ip link del ppp1"), 0);
    linkfan_events_pause(&state, 10000000);
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>{10000000});
    state.events.fd = open("/dev/null", O_RDONLY);  // for TearDown
}

}  // namespace

namespace {

// ---------------------------------------------------------------- link health tracking

struct judge_case {
    const char *rounds;  // L lost, A answered, oldest first
    const char *states;  // u or d after each round
};

TEST(LinkfanTrack, JudgeTable)
{
    const judge_case cases[] = {
        {"LL", "uu"},
        {"LLL", "uud"},
        {"LALAL", "uuuud"},
        {"LAALAAL", "uuuuuuu"},
        {"AAAALLAL", "uuuuuuud"},
        {"LLLAAA", "uudddu"},
        {"LLLAALAAA", "uuddddddu"},
        // After 3 answered in a row at most 2 of the last 5 are lost: one more
        // lost round does not take it out again at once.
        {"LLLAAAL", "uuddduu"},
        {"LLLLLAAAL", "uuddddduu"},
        {"LLLAAALL", "uuddduuu"},
        {"LLLAAALLL", "uuddduuud"},
    };
    for (const judge_case &c : cases) {
        linkfan_track_link link{};
        std::string states;
        int downs = 0, ups = 0;
        for (const char *r = c.rounds; *r; r++) {
            int change = linkfan_track_judge(&link, *r == 'L');
            downs += change == 1;
            ups += change == 2;
            states += link.down ? 'd' : 'u';
        }
        EXPECT_EQ(states, c.states) << c.rounds;
        // Each change is reported once, as it happens.
        int want_downs = 0, want_ups = 0;
        for (size_t k = 0; k < states.size(); k++) {
            char before = k == 0 ? 'u' : states[k - 1];
            want_downs += before == 'u' && states[k] == 'd';
            want_ups += before == 'd' && states[k] == 'u';
        }
        EXPECT_EQ(downs, want_downs) << c.rounds;
        EXPECT_EQ(ups, want_ups) << c.rounds;
    }
}

class LinkfanTracked : public LinkfanPhases {
protected:
    int dummy = -1;

    void SetUp() override
    {
        LinkfanPhases::SetUp();
        linkfan_track_init(&state, targets_of({"192.0.2.1"}));
        dummy = open("/dev/null", O_RDONLY);
        ASSERT_GE(dummy, 0);
    }

    void TearDown() override
    {
        // The dummy descriptors stand for sockets; none is the tool's to close.
        close(dummy);
        LinkfanPhases::TearDown();
    }

    // Links 0..count-1 as the probe would give them, each tracked and up.
    void tracked(unsigned count)
    {
        for (unsigned n = 0; n < count; n++) {
            state.g_array_info[n] = prepared(n);
            state.track.links[LINKFAN_IPV4][n].fd = dummy;
            state.track.links[LINKFAN_IPV4][n].rtt_tenths = -1;
        }
    }
};

TEST_F(LinkfanTracked, ADownLinkIsNoNextHopAndTheNextUpLinkLeads)
{
    tracked(3);
    state.g_multipath_routing = 1;
    state.track.links[LINKFAN_IPV4][0].down = 1;
    linkfan_default_route_rebuild(state, &state.route);
    recording_reset();
    linkfan_default_route_rebuild(state, &state.route);
    strings want;
    for (unsigned n = 0; n < 3; n++) {
        // Masquerading stays for the down link too.
        std::string dev = "ppp" + std::to_string(n);
        want.push_back("iptables -t nat -D POSTROUTING -o " + dev + " -j MASQUERADE");
        want.push_back("iptables -t nat -I POSTROUTING -o " + dev + " -j MASQUERADE");
    }
    strings tail = {"ip route del default", "ip route replace default via 10.0.1.1 dev ppp1",
                    "ip route del table balance default",
                    "ip route replace table balance default nexthop via 10.0.1.1 dev ppp1 "
                    "weight 1 nexthop via 10.0.2.1 dev ppp2 weight 1 ",
                    "ip rule del priority 100",
                    "ip rule add from 10.0.1.2 dport 1-1023 ipproto tcp table balance priority 100",
                    "ip route flush cache", "ip route flush cache table balance"};
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(recorded_commands, want);

    // Single-table mode: the one default route leaves it out.
    state.g_multipath_routing = 0;
    state.track.links[LINKFAN_IPV4][0].down = 0;
    state.track.links[LINKFAN_IPV4][1].down = 1;
    recording_reset();
    linkfan_default_route_rebuild(state, &state.route);
    EXPECT_EQ(recorded_commands,
              (strings{"ip route del default",
                       "ip route replace default nexthop via 10.0.0.1 dev ppp0 weight 1 nexthop "
                       "via 10.0.2.1 dev ppp2 weight 1 ",
                       "ip route flush cache"}));
}

TEST_F(LinkfanTracked, EveryLinkDownKeepsThemAllAsWithoutTracking)
{
    tracked(3);
    state.g_multipath_routing = 1;
    for (unsigned n = 0; n < 3; n++)
        state.track.links[LINKFAN_IPV4][n].down = 1;
    state.track.all_down[LINKFAN_IPV4] = 1;
    recording_reset();
    linkfan_default_route_rebuild(state, &state.route);
    EXPECT_EQ(recorded_commands, expected_multipath_rebuild(3));
    // Not tracking at all: the same.
    state.track.targets.count[LINKFAN_IPV4] = 0;
    state.track.all_down[LINKFAN_IPV4] = 0;
    recording_reset();
    linkfan_default_route_rebuild(state, &state.route);
    EXPECT_EQ(recorded_commands, expected_multipath_rebuild(3));
}

TEST_F(LinkfanTracked, StatusFileHasOneLinePerLinkAndFamily)
{
    tracked(2);
    state.track.targets = targets_of({"192.0.2.1", "2001:db8:ffff::1"});
    state.g_array_info[2] = prepared(2, true, false);
    state.g_array_info[5] = prepared(5);
    state.g_array_info[5].pppoe_ip[0] = '\0';
    state.g_array_info[6] = prepared(6, true, false);
    state.g_array_info[6].pppoe_ip[0] = '\0';
    linkfan_text_copy(state.route.ipv6_gateway[0], "fe80::1");
    long long now = linkfan_monotonic_usec();
    linkfan_track_link &one = state.track.links[LINKFAN_IPV4][1];
    one.down = 1;
    one.history = 0x1c;
    one.rtt_tenths = 123;
    one.changed_usec = now - 7500000;
    state.track.links[LINKFAN_IPV4][0].history = 0x01;
    state.track.links[LINKFAN_IPV4][0].rtt_tenths = 4;
    state.track.links[LINKFAN_IPV4][0].changed_usec = now - 61000000;
    // ppp0's IPv6 upstream is silent, its IPv4 one answers.
    linkfan_track_link &six = state.track.links[LINKFAN_IPV6][0];
    six = state.track.links[LINKFAN_IPV4][0];
    six.down = 1;
    six.history = 0x07;
    six.changed_usec = now - 3000000;
    ASSERT_EQ(linkfan_status_write(state, &state.status, now), 0);
    EXPECT_EQ(sandbox_read_file(scene.work_dir / "linkfan.status"),
              "# name address gateway state lost_of_5 rtt_ms since_s family\n"
              "ppp0 10.0.0.2 10.0.0.1 up 1 0.4 61 ipv4\n"
              "ppp0 2001:db8::2 fe80::1 down 3 0.4 3 ipv6\n"
              "ppp1 10.0.1.2 10.0.1.1 down 3 12.3 7 ipv4\n"
              "ppp1 2001:db8:1::2 - untracked - - - ipv6\n"
              "ppp2 10.0.2.2 - untracked - - - ipv4\n"
              "ppp2 2001:db8:2::2 - untracked - - - ipv6\n"
              "ppp5 - 10.0.5.1 untracked - - - ipv4\n"
              "ppp5 2001:db8:5::2 - untracked - - - ipv6\n"
              "ppp6 2001:db8:6::2 - untracked - - - ipv6\n");
    EXPECT_EQ(sandbox_mode_of(scene.work_dir / "linkfan.status.tmp"), 0u);
    // awk '$4 == "down"' names the failing links.
    EXPECT_EQ(sandbox_output("awk '$4 == \"down\" {print $1, $8}' " + scene.work_dir.path +
                             "/linkfan.status"),
              "ppp0 ipv6\nppp1 ipv4\n");
}

TEST_F(LinkfanTracked, SyncOpensSocketsForNextHopsAndStartsARecreatedLinkUp)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1, false), 0);
    ASSERT_EQ(scene_add_link(2), 0);
    ASSERT_EQ(sandbox_sh("ip addr flush dev ppp2"), 0);
    for (unsigned n = 0; n < 3; n++)
        ASSERT_EQ(if_fetch_indexed(("ppp" + std::to_string(n)).c_str(), &state.g_array_info[n],
                                   &state.ifindex[n]),
                  0);
    long long now = linkfan_monotonic_usec();
    linkfan_track_sync(&state, now);
    const linkfan_track &track = state.track;
    EXPECT_GE(track.links[LINKFAN_IPV4][0].fd, 0);
    EXPECT_GE(track.links[LINKFAN_IPV4][1].fd, 0);  // no IPv6 needed to be a next hop
    EXPECT_EQ(track.links[LINKFAN_IPV4][2].fd, -1);
    EXPECT_NE(track.links[LINKFAN_IPV4][0].ident, track.links[LINKFAN_IPV4][1].ident);
    EXPECT_EQ(track.rebuild_due, 0);

    // Down, then re-created: a new interface index is a new link.
    state.track.links[LINKFAN_IPV4][0].down = 1;
    state.track.links[LINKFAN_IPV4][0].history = 0x1f;
    int old_fd = track.links[LINKFAN_IPV4][0].fd;
    ASSERT_EQ(sandbox_sh("ip link del ppp0"), 0);
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(if_fetch_indexed("ppp0", &state.g_array_info[0], &state.ifindex[0]), 0);
    linkfan_track_sync(&state, now + 1);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].down, 0);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].history, 0);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].changed_usec, now + 1);
    EXPECT_GE(track.links[LINKFAN_IPV4][0].fd, 0);
    EXPECT_EQ(fcntl(old_fd, F_GETFD) == -1 || track.links[LINKFAN_IPV4][0].fd == old_fd, true);
    EXPECT_EQ(track.rebuild_due, 1);
    // Up again: a change of state, as one judged.
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].changes, 1u);
    EXPECT_EQ(track.changed, 1);

    // Down, gone in one cycle and back in the next: the change counts as it
    // is tracked again.
    state.track.links[LINKFAN_IPV4][0].down = 1;
    const pppoe_info back = state.g_array_info[0];
    state.g_array_info[0].pppoe_ip[0] = '\0';
    linkfan_track_sync(&state, now + 2);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].fd, -1);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].changes, 1u);
    state.g_array_info[0] = back;
    linkfan_track_sync(&state, now + 3);
    EXPECT_GE(track.links[LINKFAN_IPV4][0].fd, 0);
    EXPECT_EQ(track.links[LINKFAN_IPV4][0].changes, 2u);
    EXPECT_EQ(track.links[LINKFAN_IPV4][1].changes, 0u) << "first seen is no change";

    // A link that is no next hop any more is not tracked.
    state.g_array_info[1].gateway[0] = '\0';
    linkfan_track_sync(&state, now + 4);
    EXPECT_EQ(track.links[LINKFAN_IPV4][1].fd, -1);
}

TEST_F(LinkfanTracked, UnansweredRoundsTakeALinkDownAndRebuildAtMostOnceASecond)
{
    // No far end: every request is lost on the way.
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(if_fetch_indexed("ppp0", &state.g_array_info[0], &state.ifindex[0]), 0);
    long long now = 1000000000;
    linkfan_track_sync(&state, now);
    ASSERT_GE(state.track.links[LINKFAN_IPV4][0].fd, 0);
    for (int round = 1; round <= 3; round++) {
        // Sent at once, judged a second later, the next one two seconds on.
        EXPECT_EQ(linkfan_track_service(&state, now), now + linkfan_answer_usec) << round;
        EXPECT_EQ(state.track.sequence, round);
        EXPECT_EQ(state.track.links[LINKFAN_IPV4][0].probed, 1);
        EXPECT_EQ(linkfan_track_service(&state, now + linkfan_answer_usec - 1),
                  now + linkfan_answer_usec);
        EXPECT_EQ(state.track.links[LINKFAN_IPV4][0].rounds, round - 1);
        long long next = linkfan_track_service(&state, now + linkfan_answer_usec);
        EXPECT_EQ(state.track.links[LINKFAN_IPV4][0].rounds, round);
        if (round < 3) {
            EXPECT_EQ(next, now + linkfan_round_usec) << round;
        }
        now += linkfan_round_usec;
    }
    EXPECT_EQ(state.track.links[LINKFAN_IPV4][0].down, 1);
    EXPECT_EQ(linkfan_track_lost(state.track.links[LINKFAN_IPV4][0]), 3);
    EXPECT_EQ(state.track.all_down[LINKFAN_IPV4], 1);
    strings messages = log_messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "[ERROR]: link ppp0 (10.0.0.2) is down: 3 of the last 5 rounds lost, last "
                        "round trip none"),
              messages.end());
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "[ERROR]: every tracked link is down: the default routes keep them all"),
              messages.end());
    const linkfan_track_link &link = state.track.links[LINKFAN_IPV4][0];
    EXPECT_EQ(link.requests, 3u);
    EXPECT_EQ(link.replies, 0u);
    EXPECT_EQ(link.changes, 1u);
    // The tracker only judges and says so: files and routes are the loop's.
    EXPECT_EQ(state.track.rebuild_due, 1);
    EXPECT_EQ(state.track.changed, 1);
    EXPECT_EQ(sandbox_read_file(scene.work_dir / "linkfan.status"), "");
    EXPECT_TRUE(recorded_commands.empty());

    // Early rebuilds: at once, then not again within the second.
    long long t = now + 5000000;
    EXPECT_EQ(linkfan_events_rebuild(&state, t), 1);
    EXPECT_EQ(linkfan_events_rebuild(&state, t + 1), 0);  // nothing due
    state.track.rebuild_due = 1;
    EXPECT_EQ(linkfan_events_rebuild(&state, t + 999999), 0);
    EXPECT_EQ(linkfan_events_rebuild(&state, t + 1000000), 1);
    EXPECT_EQ(state.track.rebuild_due, 0);
    EXPECT_EQ(state.tally.rebuilds[LINKFAN_CAUSE_HEALTH], 2u);

    // A rest tells the change at once and wakes when the rebuild is allowed,
    // not later; the recording runner lets no time pass, so it never is.
    long long real = linkfan_monotonic_usec();
    state.track.next_round_usec = real + 10000000;
    state.track.rebuild_due = 1;
    state.events.last_rebuild_usec = real - 500000;
    recording_reset();
    linkfan_events_rest(&state, 2000000);
    ASSERT_FALSE(recorded_pauses.empty());
    EXPECT_LE(recorded_pauses[0], 500000u);
    EXPECT_GT(recorded_pauses[0], 400000u);
    EXPECT_TRUE(recorded_commands.empty());
    EXPECT_EQ(state.track.changed, 0);
    EXPECT_TRUE(has(sandbox_read_file(scene.work_dir / "linkfan.status"),
                    "ppp0 10.0.0.2 10.0.0.1 down 3 - "));
    // Its second over, the rebuild runs as the rest begins.
    state.events.last_rebuild_usec = linkfan_monotonic_usec() - 1000000;
    recording_reset();
    linkfan_events_rest(&state, 20000);
    EXPECT_EQ(state.track.rebuild_due, 0);
    EXPECT_TRUE(has(recorded_commands.empty() ? "" : recorded_commands.back(), "flush cache"));
}

TEST_F(LinkfanTracked, WithoutTrackingTheRestIsAPlainPause)
{
    state.track.targets.count[LINKFAN_IPV4] = 0;
    linkfan_events_rest(&state, 20000);
    EXPECT_EQ(recorded_pauses, std::vector<unsigned long>{20000});
}

}  // namespace

namespace {

// ---------------------------------------------------------------- metrics

struct sample_case {
    const char *series;
    double value;  // NAN: the file holds no such sample
};

void expect_samples(const std::string &text, std::initializer_list<sample_case> cases)
{
    for (const sample_case &c : cases) {
        double value = 0;
        bool found = node_exporter_value(text, c.series, &value);
        if (std::isnan(c.value)) {
            EXPECT_FALSE(found) << c.series;
        } else {
            EXPECT_TRUE(found) << c.series;
            EXPECT_DOUBLE_EQ(value, c.value) << c.series;
        }
    }
}

// What the tracker has made of one link.
struct link_setup {
    int link;
    uint8_t down, history;
    int rtt_tenths;
    long long changed_at_usec;  // Unix time of its last change
    uint64_t requests, replies, changes;
};

TEST_F(LinkfanTracked, MetricsTellEveryLinkSeenAndTheCycle)
{
    tracked(2);
    state.g_array_info[2] = prepared(2, true, false);  // no gateway: untracked
    for (int i : {0, 1, 2, 5})
        state.tally.seen[i] = 1;  // ppp5 is gone
    long long now = linkfan_monotonic_usec();
    const link_setup setups[] = {
        {0, 0, 0x01, 4, 1765280000000000, 30, 29, 0},
        {1, 1, 0x1c, 123, 1765281234500000, 30, 21, 1},
        {5, 0, 0, -1, 0, 12, 12, 2},  // counted before it went
    };
    for (const link_setup &u : setups) {
        linkfan_track_link &link = state.track.links[LINKFAN_IPV4][u.link];
        link.down = u.down;
        link.history = u.history;
        link.rtt_tenths = u.rtt_tenths;
        link.changed_at_usec = u.changed_at_usec;
        link.requests = u.requests;
        link.replies = u.replies;
        link.changes = u.changes;
    }
    state.route.next_hop[0] = state.route.next_hop[5] = 1;
    state.route.ipv6_next_hop[1] = 1;
    state.tally.seen_ipv6[0] = state.tally.seen_ipv6[1] = 1;
    state.tally.cycles = 4;
    state.tally.rebuilds[LINKFAN_CAUSE_LINK] = 2;
    state.tally.rebuilds[LINKFAN_CAUSE_HEALTH] = 1;
    state.tally.rebuilds[LINKFAN_CAUSE_ROUTE] = 3;
    state.tally.cycle_usec = 2561234;
    linkfan_shell_cost.commands = 17;
    const std::string file = scene.work_dir / "kivo_linkfan.prom";
    ASSERT_EQ(linkfan_publish_open(&state, file.c_str()), 0);

    ASSERT_EQ(linkfan_metrics_write(state, &state.metrics, now), 0);
    std::string text = sandbox_read_file(file);
    EXPECT_TRUE(metrics_text_whole(text)) << text;
    // Ages go stale between writes; an identifier is no value.
    EXPECT_FALSE(has(text, "_since_") || has(text, "_table{")) << text;
    std::string lint;
    EXPECT_EQ(promtool_check_metrics(text, &lint), 0) << lint << text;
    expect_samples(text, {
        {"kivo_linkfan_cycles_total", 4},
        {"kivo_linkfan_cycle_duration_seconds", 2.561234},
        {"kivo_linkfan_default_route_rebuilds_total{cause=\"health_change\"}", 1},
        {"kivo_linkfan_default_route_rebuilds_total{cause=\"missing_route\"}", 3},
        {"kivo_linkfan_commands_total", 17},
        {"kivo_linkfan_link_present{link=\"ppp2\"}", 1},
        {"kivo_linkfan_link_present{link=\"ppp5\"}", 0},
        {"kivo_linkfan_link_present{link=\"ppp3\"}", NAN},  // never seen
        {"kivo_linkfan_link_next_hop{link=\"ppp0\",family=\"ipv4\"}", 1},
        {"kivo_linkfan_link_next_hop{link=\"ppp1\",family=\"ipv4\"}", 0},
        {"kivo_linkfan_link_next_hop{link=\"ppp5\",family=\"ipv4\"}", 0},  // gone, whatever was built
        {"kivo_linkfan_link_info{link=\"ppp2\",table=\"30\"}", 1},
        {"kivo_linkfan_link_info{link=\"ppp5\",table=\"60\"}", NAN},  // gone
        {"kivo_linkfan_link_up{link=\"ppp0\",family=\"ipv4\"}", 1},
        {"kivo_linkfan_link_up{link=\"ppp1\",family=\"ipv4\"}", 0},
        {"kivo_linkfan_link_up{link=\"ppp2\",family=\"ipv4\"}", 0},  // not tracked: no health known
        {"kivo_linkfan_link_lost_rounds{link=\"ppp1\",family=\"ipv4\"}", 3},
        {"kivo_linkfan_link_lost_rounds{link=\"ppp2\",family=\"ipv4\"}", NAN},
        {"kivo_linkfan_link_round_trip_seconds{link=\"ppp0\",family=\"ipv4\"}", 0.0004},
        {"kivo_linkfan_link_round_trip_seconds{link=\"ppp1\",family=\"ipv4\"}", 0.0123},
        {"kivo_linkfan_link_echo_requests_total{link=\"ppp1\",family=\"ipv4\"}", 30},
        {"kivo_linkfan_link_echo_replies_total{link=\"ppp1\",family=\"ipv4\"}", 21},
        {"kivo_linkfan_link_echo_replies_total{link=\"ppp5\",family=\"ipv4\"}", 12},
        {"kivo_linkfan_link_state_changes_total{link=\"ppp5\",family=\"ipv4\"}", 2},
        {"kivo_linkfan_link_last_change_timestamp_seconds{link=\"ppp1\",family=\"ipv4\"}",
         1765281234.5},
        {"kivo_linkfan_link_last_change_timestamp_seconds{link=\"ppp2\",family=\"ipv4\"}", NAN},
        // IPv6, which -t does not track here: its links count as up.
        {"kivo_linkfan_link_next_hop{link=\"ppp0\",family=\"ipv6\"}", 0},
        {"kivo_linkfan_link_next_hop{link=\"ppp1\",family=\"ipv6\"}", 1},
        {"kivo_linkfan_link_next_hop{link=\"ppp2\",family=\"ipv6\"}", NAN},
        {"kivo_linkfan_link_up{link=\"ppp1\",family=\"ipv6\"}", 1},
        {"kivo_linkfan_link_lost_rounds{link=\"ppp1\",family=\"ipv6\"}", NAN},
        {"kivo_linkfan_link_info{link=\"ppp1\",table=\"20\"}", 1},
    });
    EXPECT_TRUE(log_messages().empty());
}

TEST_F(LinkfanPhases, CyclesCountTheirRebuildsAndCommandsInTheMetrics)
{
    ASSERT_EQ(scene_add_link(0), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    const std::string file = scene.work_dir / "kivo_linkfan.prom";
    ASSERT_EQ(linkfan_publish_open(&state, file.c_str()), 0);
    linkfan_shell_cost = {};
    // The discovery rewrites the file once it is half a minute old, not before.
    for (long long age : {29, 31}) {
        state.metrics.written_usec = linkfan_monotonic_usec() - age * 1000000;
        linkfan_discover(&state);
        EXPECT_EQ(has(sandbox_read_file(file), "kivo_linkfan_cycles_total 0\n"), age > 30) << age;
    }
    // The first cycle builds the routes; the second configures the links
    // again (their queue length was not 1000 yet); the third has nothing to do.
    for (int cycle = 0; cycle < 3; cycle++)
        ASSERT_EQ(linkfan_cycle(&state), 0);
    // A default route gone.
    ASSERT_EQ(sandbox_sh("ip route del default"), 0);
    ASSERT_EQ(linkfan_cycle(&state), 0);
    std::string text = sandbox_read_file(file);
    EXPECT_EQ(promtool_check_metrics(text), 0) << text;
    expect_samples(text, {
        {"kivo_linkfan_cycles_total", 4},
        {"kivo_linkfan_default_route_rebuilds_total{cause=\"link_change\"}", 2},
        {"kivo_linkfan_default_route_rebuilds_total{cause=\"health_change\"}", 0},
        {"kivo_linkfan_default_route_rebuilds_total{cause=\"missing_route\"}", 1},
        {"kivo_linkfan_commands_total", static_cast<double>(recorded_commands.size())},
        {"kivo_linkfan_link_present{link=\"ppp1\"}", 1},
        {"kivo_linkfan_link_next_hop{link=\"ppp0\",family=\"ipv4\"}", 1},
        {"kivo_linkfan_link_next_hop{link=\"ppp1\",family=\"ipv4\"}", 1},
        {"kivo_linkfan_link_info{link=\"ppp0\",table=\"10\"}", 1},
        {"kivo_linkfan_link_up{link=\"ppp1\",family=\"ipv4\"}", 1},
    });
    double took = 0;
    ASSERT_TRUE(node_exporter_value(text, "kivo_linkfan_cycle_duration_seconds", &took));
    EXPECT_GT(took, 0);
    EXPECT_LT(took, 5);
}

}  // namespace
