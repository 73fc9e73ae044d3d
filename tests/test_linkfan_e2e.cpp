// kivo_linkfan end to end: the real program in namespaces of the test's own,
// over tun devices that look like PPPoE links, checked by the kernel's state,
// the files it writes and its run log.
#include "linkfan_scene.h"
#include "sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using strings = std::vector<std::string>;

struct tool_run {
    pid_t pid = -1;
    std::string out_path, err_path, log_path;
};

class LinkfanEndToEnd : public ::testing::Test {
protected:
    linkfan_scene scene;
    std::string capture_dir;
    tool_run run;

    void SetUp() override
    {
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n254\tmain\n"), 0);
        capture_dir = sandbox_tempdir("linkfan-out");
        ASSERT_FALSE(capture_dir.empty());
    }

    void TearDown() override { stop(); }

    // Starts the program (or `wrapper...` then the program) in the working
    // directory with its console captured; extra_env is "NAME=value" each.
    void start(const strings &args, const strings &wrapper = {}, const strings &extra_env = {},
               const std::string &binary = LINKFAN_BINARY)
    {
        run.out_path = capture_dir + "/stdout";
        run.err_path = capture_dir + "/stderr";
        run.log_path = scene.work_dir + "/linkfan.log";
        std::vector<std::string> words = wrapper;
        words.push_back(binary);
        words.insert(words.end(), args.begin(), args.end());
        run.pid = fork();
        ASSERT_GE(run.pid, 0);
        if (run.pid == 0) {
            int out = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || chdir(scene.work_dir.c_str()) != 0)
                _exit(120);
            dup2(out, 1);
            dup2(err, 2);
            for (const std::string &e : extra_env)
                putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> argv;
            for (std::string &w : words)
                argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(121);
        }
    }

    // Waits until the run log has `count` cycle ends; false on time-out or
    // when the program ended first.
    bool wait_cycles(int count, int seconds)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            strings logged = scene_log_messages(scene_read_file(run.log_path));
            if (std::count(logged.begin(), logged.end(), "[INFO]: finish!!!!") >= count)
                return true;
            int status;
            if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
                run.pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // The exit status once the program ends by itself, -1 on time-out.
    int wait_exit(int seconds)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            int status;
            if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
                run.pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    void stop()
    {
        if (run.pid > 0) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, nullptr, 0);
            run.pid = -1;
        }
    }

    strings log_messages() { return scene_log_messages(scene_read_file(run.log_path)); }
    std::string rt_tables() { return scene_read_file("/etc/iproute2/rt_tables"); }
};

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

bool logged(const strings &messages, const std::string &message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

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
    EXPECT_EQ(scene_read_file(scene.work_dir + "/rt_tables"), scene_rt_tables_head);
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
    EXPECT_EQ(sandbox_output("ip route"), "");
    // -d keeps the console: every record also on standard error, in green.
    std::string err = scene_read_file(run.err_path);
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
    EXPECT_EQ(scene_read_file(run.err_path), "");
    EXPECT_EQ(scene_read_file(run.out_path), "");

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
    std::string shim_dir = capture_dir + "/shims", shim_log = capture_dir + "/commands";
    std::string shim_calls = capture_dir + "/calls";
    ASSERT_EQ(sandbox_sh("mkdir " + shim_dir + " && for t in ip iptables sysctl cp; do ln -s " +
                         LINKFAN_SHIM + " " + shim_dir + "/$t; done"),
              0);
    const char *path = std::getenv("PATH");
    std::string real_path = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    start({"-m"}, {}, {"PATH=" + shim_dir + ":" + real_path, "LINKFAN_REAL_PATH=" + real_path,
                       "LINKFAN_SHIM_LOG=" + shim_log, "LINKFAN_SHIM_CALLS=" + shim_calls});
    ASSERT_TRUE(wait_cycles(2, 40));
    stop();

    // The shell drops the trailing space of the next-hop commands.
    strings expected = expected_two_link_multipath_run(2, "");
    for (std::string &cmd : expected)
        cmd.erase(cmd.find_last_not_of(' ') + 1);
    std::string want;
    for (const std::string &cmd : expected)
        want += cmd + "\n";
    EXPECT_EQ(scene_read_file(shim_log), want);
    // The processes behind them: one ip per run of one family's commands.
    strings per_link = {"ip -force -batch -", "ip -6 -force -batch -", "ip -force -batch -",
                        "ip -6 -force -batch -", "ip route", "ip route list table balance"};
    for (unsigned n = 0; n < 2; n++) {
        std::string dev = "ppp" + std::to_string(n);
        per_link.push_back("iptables -t nat -D POSTROUTING -o " + dev + " -j MASQUERADE");
        per_link.push_back("iptables -t nat -I POSTROUTING -o " + dev + " -j MASQUERADE");
    }
    per_link.push_back("ip -force -batch -");
    std::string calls = "sysctl -w net.ipv4.fib_multipath_hash_policy=1\n"
                        "sysctl -w net.ipv4.fib_multipath_use_neigh=1\n"
                        "cp ./rt_tables /etc/iproute2/rt_tables\n";
    for (int cycle = 0; cycle < 2; cycle++)
        for (const std::string &call : per_link)
            calls += call + "\n";
    EXPECT_EQ(scene_read_file(shim_calls), calls);

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
                             "net.ipv4.fib_multipath_use_neigh"),
              "1\n1\n");

    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: chang_ip, ppp1 : 10.0.1.2 -------> 10.0.1.2 | "
                                 "2001:db8:1::2/64 ------> 2001:db8:1::2/64!"));
    EXPECT_TRUE(logged(messages, "[INFO]: set main route : ip route replace default via 10.0.0.1 "
                                 "dev ppp0"));
}

TEST_F(LinkfanEndToEnd, ALinkWithoutIpv6IsOnlyANextHop)
{
    ASSERT_EQ(scene_add_link(0, false), 0);
    ASSERT_EQ(scene_add_link(1), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    stop();
    std::string rules = sandbox_output("ip rule");
    EXPECT_FALSE(has(rules, "10.0.0.2")) << rules;
    EXPECT_TRUE(has(rules, "1000:\tfrom 10.0.1.2 lookup ppp1")) << rules;
    EXPECT_TRUE(has(sandbox_output("ip link show ppp0"), "qlen 500"));
    EXPECT_EQ(sandbox_output("ip route show table ppp0"), "");
    std::string route = sandbox_output("ip route show default");
    EXPECT_TRUE(has(route, "nexthop via 10.0.0.1 dev ppp0 weight 1")) << route;
    EXPECT_TRUE(has(route, "nexthop via 10.0.1.1 dev ppp1 weight 1")) << route;
    EXPECT_TRUE(logged(log_messages(), "[INFO]: g_array_info[i].pppoe_ipv6 = "));
}

TEST_F(LinkfanEndToEnd, RescanFindsALateLinkAndAChangedAddress)
{
    ASSERT_EQ(scene_add_link(0), 0);
    start({});
    ASSERT_TRUE(wait_cycles(1, 20));
    ASSERT_EQ(sandbox_sh("ip -4 addr flush dev ppp0 && ip addr add 10.0.0.9 peer 10.0.0.1 dev ppp0"),
              0);
    ASSERT_EQ(scene_add_link(1), 0);
    ASSERT_TRUE(wait_cycles(2, 40));
    stop();

    strings messages = log_messages();
    EXPECT_TRUE(logged(messages, "[INFO]: chang_ip, ppp0 : 10.0.0.2 -------> 10.0.0.9 | "
                                 "2001:db8::2/64 ------> 2001:db8::2/64!"));
    // The new link had an empty old entry: the list is rewritten and the
    // link configured without a change record of its own.
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
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

// ---------------------------------------------------------------- start-up

TEST_F(LinkfanEndToEnd, HelpPrintsTheUsageAndEndsWithOne)
{
    start({"-h", "-d"});
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(scene_read_file(run.out_path),
              std::string("Usage: ") + LINKFAN_BINARY +
                  " [options] \n\nOptions:\n"
                  "  -h, --help               Print this help and exit\n"
                  "  -d, --debug              debug mode\n"
                  "  -m, --multipath-routing  enable multipath routing\n"
                  "  example: ./kivo_linkfan -d -m\n");
    EXPECT_EQ(scene_read_file(run.log_path), "");  // created, and truncated
    // -m before -h has already set the sysctls.
    start({"-m", "--help"});
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_use_neigh"), "1\n");
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
}

TEST_F(LinkfanEndToEnd, NonRootEndsWithOneOnTheConsole)
{
    // The unprivileged user must reach the program and write its log.
    std::string bin_dir = sandbox_tempdir("linkfan-bin");
    ASSERT_EQ(sandbox_sh("cp " LINKFAN_BINARY " " + bin_dir + "/kivo_linkfan && chmod 755 " +
                         bin_dir + " && chmod 777 " + scene.work_dir),
              0);
    start({}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, {},
          bin_dir + "/kivo_linkfan");
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(scene_read_file(run.out_path), "Permission denied! Must be root user!\n");
    struct stat st;
    ASSERT_EQ(stat(run.log_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0);
}

TEST_F(LinkfanEndToEnd, UnopenableDevNullEndsWithThreeOnTheConsole)
{
    // A read-only file over /dev/null (in this test's own mount namespace)
    // cannot be opened for writing, not even by root.
    std::string not_a_device = capture_dir + "/not-a-device";
    scene_write_file(not_a_device, "");
    ASSERT_EQ(sandbox_bind(not_a_device.c_str(), "/dev/null", true), 0);
    ASSERT_EQ(scene_add_link(0), 0);
    start({});
    EXPECT_EQ(wait_exit(10), 3);
    EXPECT_EQ(scene_read_file(run.out_path), "open file /dev/null failed!\n");
    EXPECT_EQ(scene_read_file(run.log_path), "");
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
    ASSERT_EQ(sandbox_bind(scene.work_dir.c_str(), scene.work_dir.c_str(), true), 0);
    start({});
    EXPECT_EQ(wait_exit(20), 5);
    EXPECT_EQ(scene_read_file(run.err_path), "Open log file linkfan.log error!");
    EXPECT_EQ(rt_tables(), "255\tlocal\n254\tmain\n");
    EXPECT_EQ(sandbox_output("ip rule"), default_rules);
}

TEST_F(LinkfanEndToEnd, LostRoutingTableListEndsWithFourInTheSecondCycle)
{
    // An empty, read-only /etc/iproute2: the first cycle's copy fails unseen,
    // the second cycle's check cannot read the list.
    std::string empty = sandbox_tempdir("linkfan-empty");
    ASSERT_EQ(sandbox_bind(empty.c_str(), "/etc/iproute2", true), 0);
    start({});
    EXPECT_EQ(wait_exit(40), 4);
    strings messages = log_messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.back(), "[ERROR]: could not open file : /etc/iproute2/rt_tables!");
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "[INFO]: finish!!!!"), 1);
    EXPECT_EQ(scene_read_file(scene.work_dir + "/rt_tables"), scene_rt_tables_head);
}

}  // namespace
