// kivo_linkfan's command path: ip commands batched per family, NAT rule
// changes in one restore, everything else on its own, checked by the processes that stand-in
// tools see start and by what the kernel holds afterwards.
#include "linkfan_scene.h"
#include "linkfan_shell.h"
#include "sandbox.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

namespace {

using strings = std::vector<std::string>;

int collect(const char *text, void *ctx)
{
    *static_cast<std::string *>(ctx) += text;
    return 0;
}

class LinkfanShell : public ::testing::Test {
protected:
    linkfan_scene scene;
    temp_dir dir{"linkfan-shims"};
    std::string commands = dir / "commands", calls = dir / "calls", saved_path;

    void SetUp() override
    {
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n"), 0);
        const char *path = getenv("PATH");
        saved_path = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
        strings env = scene_shim_tools(dir.path, {"ip", "iptables", "iptables-restore"});
        ASSERT_FALSE(env.empty());
        for (const std::string &entry : env) {
            size_t eq = entry.find('=');
            setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
        }
        linkfan_shell_cost = {};
    }

    void TearDown() override
    {
        linkfan_shell_settle();
        setenv("PATH", saved_path.c_str(), 1);
        unsetenv("LINKFAN_SHIM_CALLS");
    }

    static std::string lines(const strings &rows)
    {
        std::string out;
        for (const std::string &r : rows)
            out += r + "\n";
        return out;
    }
};

TEST_F(LinkfanShell, EachFamilysIpCommandsShareOneProcessInTheirOrder)
{
    std::string nexthops;
    for (int k = 0; k < 20; k++)
        nexthops += "nexthop via 10.2.0." + std::to_string(k + 1) + " dev dummy0 weight 1 ";
    const strings run = {
        "ip tuntap add dev dummy0 mode tun",
        "ip link set dummy0 up",
        "ip addr add 10.2.0.100/16 dev dummy0",
        "ip -6 addr add 2001:db8::1/64 dev dummy0 nodad",
        "ip -6 rule add from 2001:db8::1/64 table 100 pref 200",
        "ip rule add from 10.1.1.1 table 100 priority 1000",
        "iptables -t nat -I POSTROUTING -o dummy0 -j MASQUERADE",
        "ip route add 10.3.0.0/16 dev dummy0",
        "ip rule del table 999",  // fails; -force goes on
        "ip route add 10.4.0.0/16 dev dummy0",
    };
    for (const std::string &line : run)
        linkfan_shell_run(line.c_str());
    std::string routes;
    EXPECT_EQ(linkfan_shell_read("ip route", collect, &routes), 0);
    // Too many words for a batch line: it runs on its own.
    const std::string wide = "ip route replace default " + nexthops;
    linkfan_shell_run(wide.c_str());
    linkfan_shell_run("ip route add 10.5.0.0/16 dev dummy0");
    linkfan_shell_settle();

    // The IPv4 batch, the IPv6 one, the NAT batch (which reads the table
    // before its restore), the IPv4 batch after it.
    strings expected = {run[0], run[1], run[2], run[5], run[3], run[4], "iptables -t nat -S",
                        run[6], run[7], run[8], run[9]};
    expected.push_back("ip route");
    expected.push_back(wide.substr(0, wide.size() - 1));
    expected.push_back("ip route add 10.5.0.0/16 dev dummy0");
    EXPECT_EQ(sandbox_read_file(commands), lines(expected));
    EXPECT_EQ(sandbox_read_file(calls),
              lines({"ip -force -batch -", "ip -6 -force -batch -", "iptables -t nat -S",
                     "iptables-restore --noflush", "ip -force -batch -", "ip route",
                     wide.substr(0, wide.size() - 1), "ip -force -batch -"}));
    EXPECT_EQ(linkfan_shell_cost.batches, 4u);
    // Four ip batches, the NAT table's listing and restore, the wide route
    // started directly, and the read through the shell.
    EXPECT_EQ(linkfan_shell_cost.processes, 4u + 2 + 1 + 2);

    // The read saw both routes of the batch before it, the failure between them
    // included.
    EXPECT_TRUE(has(routes, "10.3.0.0/16 dev dummy0")) << routes;
    EXPECT_TRUE(has(routes, "10.4.0.0/16 dev dummy0")) << routes;
    std::string after = sandbox_output("ip route");
    EXPECT_TRUE(has(after, "nexthop via 10.2.0.20 dev dummy0 weight 1")) << after;
    EXPECT_TRUE(has(after, "10.5.0.0/16 dev dummy0")) << after;
    EXPECT_TRUE(has(sandbox_output("ip rule"), "1000:\tfrom 10.1.1.1 lookup 100"));
    EXPECT_TRUE(has(sandbox_output("ip -6 rule"), "200:\tfrom 2001:db8::1/64 lookup 100"));
    EXPECT_TRUE(has(sandbox_output("iptables -t nat -S POSTROUTING"), "-o dummy0 -j MASQUERADE"));
}

struct nat_case {
    const char *name;
    strings before;  // rules of POSTROUTING to start from, as -A lines
    strings run;     // the rule changes, after "iptables -t nat "
    bool restored;   // in one restore, not one by one
};

// A NAT batch leaves the rules that its lines leave when each runs alone.
TEST_F(LinkfanShell, NatRuleChangesLeaveWhatTheyLeaveOneByOne)
{
    const strings rebuild = {"-D POSTROUTING -o ppp0 -j MASQUERADE",
                             "-I POSTROUTING -o ppp0 -j MASQUERADE",
                             "-D POSTROUTING -o ppp1 -j MASQUERADE",
                             "-I POSTROUTING -o ppp1 -j MASQUERADE"};
    const std::string ppp0 = "-A POSTROUTING -o ppp0 -j MASQUERADE";
    const std::string ppp1 = "-A POSTROUTING -o ppp1 -j MASQUERADE";
    const std::string other = "-A POSTROUTING -o eth9 -j MASQUERADE";
    const nat_case cases[] = {
        {"a fresh box", {}, rebuild, true},
        {"a restart, another rule between", {ppp1, other, ppp0}, rebuild, true},
        {"a second copy stays a second copy", {ppp0, other, ppp0}, rebuild, true},
        {"a deletion of what the batch added", {other},
         {"-I POSTROUTING -o ppp0 -j MASQUERADE", "-D POSTROUTING -o ppp0 -j MASQUERADE"}, true},
        {"a line the restore refuses", {ppp0},
         {"-D POSTROUTING -o ppp0 -j MASQUERADE", "-I POSTROUTING -o ppp0 -j NOSUCHTARGET",
          "-I POSTROUTING -o ppp1 -j MASQUERADE"},
         false},
    };
    auto start_from = [](const strings &rules) {
        std::string cmd = "iptables -t nat -F POSTROUTING";
        for (const std::string &rule : rules)
            cmd += " && iptables -t nat " + rule;
        return sandbox_sh(cmd) == 0;
    };
    for (const nat_case &c : cases) {
        ASSERT_TRUE(start_from(c.before)) << c.name;
        for (const std::string &line : c.run)
            ASSERT_EQ(sandbox_sh("iptables -t nat " + line + " 2>/dev/null || true"), 0);
        const std::string alone = sandbox_output("iptables -t nat -S POSTROUTING");
        ASSERT_TRUE(start_from(c.before)) << c.name;
        sandbox_write_file(calls, "");
        for (const std::string &line : c.run)
            linkfan_shell_run(("iptables -t nat " + line).c_str());
        linkfan_shell_settle();
        EXPECT_EQ(sandbox_output("iptables -t nat -S POSTROUTING"), alone) << c.name;
        std::string called = sandbox_read_file(calls);
        EXPECT_EQ(has(called, "iptables-restore --noflush\n"), true) << c.name;
        EXPECT_EQ(has(called, "iptables -t nat -I "), !c.restored) << c.name << called;
    }
}

TEST_F(LinkfanShell, LinesTheShellWouldReadOtherwiseRunThroughTheShell)
{
    // Each means something else to the shell than to ip's batch reader or to
    // a split at blanks.
    const strings shell = {
        "ip tuntap add dev dummy1 mode tun && ip link set dummy1 up",
        "ip link show dummy1 # a comment",
        "ip route add 10.6.0.0/16 dev 'dummy1'",
    };
    for (const std::string &line : shell)
        linkfan_shell_run(line.c_str());
    // Another option than -6 cannot go into a batch either, but needs no shell.
    linkfan_shell_run("ip -4 route show table main");
    linkfan_shell_settle();
    EXPECT_EQ(linkfan_shell_cost.batches, 0u);
    EXPECT_EQ(linkfan_shell_cost.processes, 2u * shell.size() + 1);
    EXPECT_TRUE(has(sandbox_output("ip route"), "10.6.0.0/16 dev dummy1"));
    EXPECT_FALSE(has(sandbox_read_file(calls), "-batch"));
}

TEST_F(LinkfanShell, SettlingWithNothingPendingStartsNothing)
{
    linkfan_shell_settle();
    linkfan_shell_settle();
    EXPECT_EQ(linkfan_shell_cost.processes, 0u);
    EXPECT_EQ(sandbox_read_file(calls), "");
}

}  // namespace
