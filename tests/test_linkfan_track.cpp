// kivo_linkfan -t end to end: three links whose far ends a stand-in plays
// (it answers, swallows or closes each), the real program watched through
// the kernel's routes, its status file and its run log, and once traced
// within the limits of its service unit.
#include "child_process.h"
#include "linkfan_e2e.h"
#include "node_exporter.h"
#include "unit_check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

namespace {

using namespace linkfan_e2e;
using clock_type = std::chrono::steady_clock;

const char targets[] = "192.0.2.1,198.51.100.7";
const char both_targets[] = "198.51.100.1,2001:db8:ffff::1";

// One line of linkfan.status, by field.
struct status_line {
    std::string addr, gateway, state, lost, rtt, since, family;
};

class LinkfanTracking : public LinkfanEndToEnd {
protected:
    child_process carrier;

    void SetUp() override
    {
        LinkfanEndToEnd::SetUp();
        ASSERT_TRUE(child_start(&carrier, {LINKFAN_CARRIER}));
        ASSERT_TRUE(child_expect(&carrier, "ready", nullptr, 5000));
    }

    void tell(const std::string &what, unsigned n, const std::string &answer,
              const std::string &family = "")
    {
        child_tell(&carrier, what + " " + std::to_string(n) + (family.empty() ? "" : " " + family));
        std::string line;
        ASSERT_TRUE(child_expect(&carrier, answer + " " + std::to_string(n), &line, 10000))
            << what << " " << n;
    }

    void add_links(unsigned count, unsigned without_ipv6 = 128)
    {
        for (unsigned n = 0; n < count; n++) {
            child_tell(&carrier, "add " + std::to_string(n) + (n == without_ipv6 ? " noipv6" : ""));
            ASSERT_TRUE(child_expect(&carrier, "added " + std::to_string(n), nullptr, 10000));
        }
    }

    long requests(unsigned n)
    {
        child_tell(&carrier, "count " + std::to_string(n));
        std::string line;
        if (!child_expect(&carrier, "count " + std::to_string(n) + " ", &line, 5000))
            return -1;
        return std::stol(line.substr(line.rfind(' ') + 1));
    }

    // The lines of linkfan.status by link name, an IPv6 line's name followed
    // by " ipv6".
    std::map<std::string, status_line> status()
    {
        std::map<std::string, status_line> out;
        std::istringstream in(sandbox_read_file(scene.work_dir / "linkfan.status"));
        std::string row;
        while (std::getline(in, row)) {
            if (row.empty() || row[0] == '#')
                continue;
            std::istringstream fields(row);
            std::string name, extra;
            status_line s;
            fields >> name >> s.addr >> s.gateway >> s.state >> s.lost >> s.rtt >> s.since >>
                s.family;
            if (!s.family.empty() && !(fields >> extra))
                out[s.family == "ipv6" ? name + " ipv6" : name] = s;
        }
        return out;
    }

    std::string state_of(const std::string &name)
    {
        auto all = status();
        auto it = all.find(name);
        return it == all.end() ? "" : it->second.state;
    }

    // Seconds until done() holds, sampled ten times a second; -1 when it does
    // not within the time.
    double within(double seconds, const std::function<bool()> &done)
    {
        auto start = clock_type::now();
        while (std::chrono::duration<double>(clock_type::now() - start).count() < seconds) {
            if (done())
                return std::chrono::duration<double>(clock_type::now() - start).count();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
    }

    // Every link's IPv4 line, and its IPv6 line where that family is tracked,
    // up and answered.
    bool all_answered(unsigned count)
    {
        auto all = status();
        for (unsigned n = 0; n < count; n++) {
            auto it = all.find("ppp" + std::to_string(n));
            if (it == all.end() || it->second.state != "up" || it->second.rtt == "-")
                return false;
            it = all.find("ppp" + std::to_string(n) + " ipv6");
            if (it != all.end() && it->second.state != "untracked" &&
                (it->second.state != "up" || it->second.rtt == "-"))
                return false;
        }
        return true;
    }

    // Starts the program over three answering links and waits until every
    // link has been answered.
    void start_three(const strings &args, unsigned without_ipv6 = 128)
    {
        add_links(3, without_ipv6);
        start(args);
        // The status file is rewritten at the end of each cycle: the second
        // one's shows the answers of the first pause.
        ASSERT_TRUE(wait_cycles(2, 30));
        ASSERT_TRUE(all_answered(3))
            << sandbox_read_file(scene.work_dir / "linkfan.status");
    }
};

std::string main_default() { return sandbox_output("ip route show default"); }
std::string ipv6_default() { return sandbox_output("ip -6 route show default metric 512"); }
std::string balance_default() { return sandbox_output("ip route show table 6 default"); }

// A route through link n: a next hop of it, or its only one, which the
// kernel shows as a plain route.
bool hop(const std::string &route, unsigned n)
{
    return has(route, "via " + scene_peer(n) + " dev ppp" + std::to_string(n) + " ");
}

size_t count_of(const strings &messages, const std::string &prefix)
{
    return static_cast<size_t>(std::count_if(messages.begin(), messages.end(),
                                             [&prefix](const std::string &m) {
                                                 return m.compare(0, prefix.size(), prefix) == 0;
                                             }));
}

// A fault starts anywhere in a round: each run picks its own point.
void some_point_of_a_round()
{
    static std::random_device seed;
    std::this_thread::sleep_for(std::chrono::milliseconds(seed() % 2000));
}

struct family_case {
    const char *family, *other;  // the family whose far end goes silent, and the other
    const char *ip, *address, *gateway, *rule;  // ppp1's in that family
};

// Each family of ppp1 goes silent on its own: it leaves that family's default
// route only, keeps its table and rules, the status file and the metrics
// tell which, and it comes back.
TEST_F(LinkfanTracking, AFamilyGoneSilentLeavesOnlyItsOwnDefaultRouteAndComesBack)
{
    temp_dir folder("linkfan-metrics");
    const std::string file = folder / "kivo_linkfan.prom";
    start_three({"-t", both_targets, "--metrics=" + file});
    auto route = [](const std::string &family) {
        return family == "ipv6" ? ipv6_default() : main_default();
    };
    auto through = [&route](const std::string &family, unsigned n) {
        return has(route(family), " dev ppp" + std::to_string(n) + " ");
    };
    auto line = [this](const std::string &family) {
        return status()[family == "ipv6" ? "ppp1 ipv6" : "ppp1"];
    };
    auto up = [&file](const std::string &family) {
        double v = -1;
        node_exporter_value(sandbox_read_file(file),
                            "kivo_linkfan_link_up{link=\"ppp1\",family=\"" + family + "\"}", &v);
        return v;
    };
    const family_case cases[] = {
        {"ipv6", "ipv4", "ip -6", "2001:db8:1::2", "fe80::1",
         "200:\tfrom 2001:db8:1::2/64 lookup ppp1"},
        {"ipv4", "ipv6", "ip", "10.0.1.2", "10.0.1.1", "1000:\tfrom 10.0.1.2 lookup ppp1"},
    };
    for (const family_case &c : cases) {
        SCOPED_TRACE(c.family);
        ASSERT_TRUE(through(c.family, 1) && through(c.other, 1));
        some_point_of_a_round();
        tell("swallow", 1, "ok", c.family);
        double out = within(12, [&] { return !through(c.family, 1); });
        std::printf("ppp1 out of the %s default route after %.2f s\n", c.family, out);
        RecordProperty(std::string(c.family) + "_detection_ms", static_cast<int>(out * 1000));
        ASSERT_GE(out, 0) << route(c.family);
        EXPECT_LE(out, 8.0);
        EXPECT_TRUE(through(c.family, 0) && through(c.family, 2)) << route(c.family);
        EXPECT_TRUE(through(c.other, 1)) << route(c.other);
        const status_line s = line(c.family);
        EXPECT_EQ(s.state, "down");
        EXPECT_EQ(s.addr, c.address);
        EXPECT_EQ(s.gateway, c.gateway);
        EXPECT_GE(std::stoi(s.lost), 3);
        EXPECT_EQ(line(c.other).state, "up");
        EXPECT_GE(within(3, [&] { return up(c.family) == 0 && up(c.other) == 1; }), 0)
            << sandbox_read_file(file);
        // Its own table and rules stay: its address still leaves through it.
        EXPECT_TRUE(has(sandbox_output(std::string(c.ip) + " route show table ppp1"),
                        "default dev ppp1"));
        EXPECT_TRUE(has(sandbox_output(std::string(c.ip) + " rule"), c.rule));

        some_point_of_a_round();
        tell("answer", 1, "ok", c.family);
        double back = within(12, [&] { return through(c.family, 1); });
        std::printf("ppp1 back in the %s default route after %.2f s\n", c.family, back);
        RecordProperty(std::string(c.family) + "_recovery_ms", static_cast<int>(back * 1000));
        ASSERT_GE(back, 0) << route(c.family);
        EXPECT_LE(back, 8.0);
        EXPECT_GE(within(3, [&] { return line(c.family).state == "up"; }), 0);
    }
    stop();
    strings messages = log_messages();
    for (const std::string address : {"2001:db8:1::2", "10.0.1.2"}) {
        EXPECT_EQ(count_of(messages, "[ERROR]: link ppp1 (" + address + ") is down: "), 1u);
        EXPECT_EQ(count_of(messages, "[INFO]: link ppp1 (" + address + ") is up: "), 1u);
    }
    EXPECT_EQ(count_of(messages, "[ERROR]: link ppp0"), 0u);
    EXPECT_EQ(count_of(messages, "[ERROR]: every tracked link is down"), 0u);
}

// Every far end of a family silent: that family's default route keeps all
// links, as without -t, and the other's is left alone; one answering again is
// the only one used.
TEST_F(LinkfanTracking, WithEveryFarEndOfAFamilySilentItsRouteKeepsAllLinks)
{
    start_three({"-t", both_targets});
    const struct {
        const char *family, *suffix, *message;
    } cases[] = {
        {"ipv6", " ipv6",
         "[ERROR]: every tracked link is down for IPv6: the IPv6 default route keeps them all"},
        {"ipv4", "", "[ERROR]: every tracked link is down: the default routes keep them all"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.family);
        for (unsigned n = 0; n < 3; n++)
            tell("swallow", n, "ok", c.family);
        ASSERT_GE(within(14, [&] {
                      auto all = status();
                      for (unsigned n = 0; n < 3; n++)
                          if (all["ppp" + std::to_string(n) + c.suffix].state != "down")
                              return false;
                      return true;
                  }),
                  0)
            << sandbox_read_file(scene.work_dir / "linkfan.status");
        // Give a rebuild that should not happen its time.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        std::string route6 = ipv6_default(), route = main_default();
        for (unsigned n = 0; n < 3; n++) {
            EXPECT_TRUE(has(route6, " dev ppp" + std::to_string(n) + " ")) << route6;
            EXPECT_TRUE(hop(route, n)) << route;
            // IPv4 answered all along while IPv6 went silent.
            if (c.suffix[0] != '\0') {
                EXPECT_EQ(status()["ppp" + std::to_string(n)].state, "up") << n;
            }
        }
        EXPECT_EQ(count_of(log_messages(), c.message), 1u);
    }
    // One answering again: only it is used.
    tell("answer", 2, "ok", "ipv4");
    ASSERT_GE(within(12, [] { return !hop(main_default(), 0); }), 0) << main_default();
    const std::string route = main_default();
    EXPECT_TRUE(hop(route, 2) && !hop(route, 1)) << route;
}

TEST_F(LinkfanTracking, TheFirstLinkSwallowingHandsTheMainRouteAndPortRuleOn)
{
    start_three({"-m", "-t", targets});
    ASSERT_TRUE(has(main_default(), "default via 10.0.0.1 dev ppp0"));
    tell("swallow", 0, "ok");
    ASSERT_GE(within(12, [] { return has(main_default(), "default via 10.0.1.1 dev ppp1"); }), 0)
        << main_default();
    EXPECT_GE(within(3, [] { return !hop(balance_default(), 0); }), 0) << balance_default();
    std::string balance = balance_default();
    EXPECT_TRUE(hop(balance, 1) && hop(balance, 2)) << balance;
    std::string rules = sandbox_output("ip rule");
    EXPECT_TRUE(has(rules, "100:\tfrom 10.0.1.2 ipproto tcp dport 1-1023 lookup balance")) << rules;
    EXPECT_FALSE(has(rules, "from 10.0.0.2 ipproto tcp")) << rules;
    // The down link keeps its table, source rule and masquerading.
    EXPECT_TRUE(has(rules, "1000:\tfrom 10.0.0.2 lookup ppp0")) << rules;
    EXPECT_TRUE(has(sandbox_output("ip route show table ppp0"), "default dev ppp0"));
    EXPECT_TRUE(has(sandbox_output("iptables -t nat -S POSTROUTING"), "-o ppp0 -j MASQUERADE"));
    EXPECT_EQ(state_of("ppp0"), "down");
}

TEST_F(LinkfanTracking, ABlipOfOneAndAHalfSecondsTakesNoLinkOut)
{
    start_three({"-t", targets});
    tell("swallow", 1, "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    tell("answer", 1, "ok");
    // Longer than a detection takes.
    EXPECT_LT(within(10, [] { return !hop(main_default(), 1); }), 0) << main_default();
    EXPECT_EQ(state_of("ppp1"), "up");
    stop();
    EXPECT_EQ(count_of(log_messages(), "[ERROR]: link ppp1"), 0u);
}

TEST_F(LinkfanTracking, ALinkRecreatedWhileDownStartsUp)
{
    start_three({"-t", targets});
    tell("swallow", 1, "ok");
    ASSERT_GE(within(12, [this] { return state_of("ppp1") == "down"; }), 0);
    // A new session whose far end swallows too: it still starts up, with a
    // history of its own.
    tell("close", 1, "closed");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    child_tell(&carrier, "add 1");
    ASSERT_TRUE(child_expect(&carrier, "added 1", nullptr, 10000));
    tell("swallow", 1, "ok");
    double up = within(10, [this] {
        auto s = status()["ppp1"];
        return s.state == "up" && s.lost == "0" && s.rtt == "-";
    });
    EXPECT_GE(up, 0) << sandbox_read_file(scene.work_dir / "linkfan.status");
    EXPECT_GE(within(5, [] { return hop(main_default(), 1); }), 0) << main_default();
    // And it goes down by its own rounds.
    EXPECT_GE(within(12, [this] { return state_of("ppp1") == "down"; }), 0);
}

// The kernel's count of packets that reverse-path filtering dropped, in this
// namespace.
long reverse_path_drops()
{
    std::istringstream in(sandbox_read_file("/proc/net/netstat"));
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0)
            continue;
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value)
            if (name == "IPReversePathFilter")
                return std::stol(value);
    }
    return -1;
}

// Reverse-path filtering, loose or strict, must not drop what the probes see,
// not even for a link with no source rule of its own (taken away here) that
// in multipath mode carries no main default route.
class LinkfanTrackingFilter : public LinkfanTracking,
                              public ::testing::WithParamInterface<int> {};

TEST_P(LinkfanTrackingFilter, ProbesAreAnsweredAtOneRequestPerTargetAndRound)
{
    add_links(3, 2);
    std::string mode = std::to_string(GetParam());
    ASSERT_EQ(sandbox_sh("for c in all default ppp0 ppp1 ppp2; do sysctl -qw "
                         "net.ipv4.conf.$c.rp_filter=" + mode + "; done"),
              0);
    start({"-m", "-t", targets});
    ASSERT_TRUE(wait_cycles(2, 30));
    EXPECT_TRUE(all_answered(3))
        << sandbox_read_file(scene.work_dir / "linkfan.status");
    ASSERT_EQ(sandbox_sh("ip rule del table ppp2"), 0);
    long before[3];
    for (unsigned n = 0; n < 3; n++)
        before[n] = requests(n);
    std::this_thread::sleep_for(std::chrono::seconds(10));
    for (unsigned n = 0; n < 3; n++) {
        // Five rounds of two requests, give or take the round at either end.
        long sent = requests(n) - before[n];
        EXPECT_GE(sent, 8) << n;
        EXPECT_LE(sent, 12) << n;
    }
    auto all = status();
    for (unsigned n = 0; n < 3; n++) {
        const status_line &s = all["ppp" + std::to_string(n)];
        EXPECT_EQ(s.state, "up") << n;
        EXPECT_EQ(s.lost, "0") << n;
    }
    EXPECT_TRUE(hop(balance_default(), 2)) << balance_default();
    // Strict filtering drops ppp2's replies in the kernel (no route leads back
    // through it): the probes must have taken them before.
    if (GetParam() == 1) {
        EXPECT_GT(reverse_path_drops(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(ReversePath, LinkfanTrackingFilter, ::testing::Values(0, 1, 2));

// Reads a file in a tight loop, on a thread of its own, while the tool writes
// and replaces it: how often, how often it was not whole, and how many
// versions (inodes) of it were seen. Stops when it goes out of scope.
struct tight_reader {
    std::atomic<bool> reading{true};
    long reads = 0, torn = 0;
    std::set<ino_t> versions;
    std::thread thread;

    explicit tight_reader(const std::string &path) : thread([this, path] { loop(path); }) {}
    ~tight_reader() { stop(); }

    void stop()
    {
        reading = false;
        if (thread.joinable())
            thread.join();
    }

    void loop(const std::string &path)
    {
        std::string text;
        char buffer[4096];
        while (reading) {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            struct stat st;
            if (fstat(fd, &st) == 0)
                versions.insert(st.st_ino);
            text.clear();
            ssize_t got;
            while ((got = read(fd, buffer, sizeof buffer)) > 0)
                text.append(buffer, static_cast<size_t>(got));
            close(fd);
            reads++;
            torn += !metrics_text_whole(text);
        }
    }
};

TEST_F(LinkfanTracking, MetricsThroughTheNodeExporterShowTheSwallowingLinkDown)
{
    temp_dir folder("linkfan-metrics");
    const std::string file = folder / "kivo_linkfan.prom";
    const int port = 9100;  // in this test's own network namespace
    child_process exporter;
    ASSERT_TRUE(node_exporter_start(&exporter, folder.path, port));

    tight_reader reader(file);
    start_three({"-t", targets, "--metrics=" + file});
    tell("swallow", 1, "ok");
    std::string page;
    auto value = [&page](const std::string &series) {
        double v = -1;
        return node_exporter_value(page, series, &v) ? v : -1;
    };
    double out = within(12, [&] {
        page = node_exporter_scrape(port);
        return value("kivo_linkfan_link_up{link=\"ppp1\",family=\"ipv4\"}") == 0 &&
               value("kivo_linkfan_link_next_hop{link=\"ppp1\",family=\"ipv4\"}") == 0;
    });
    reader.stop();
    std::printf("metrics file read whole %ld times of %ld, in %zu versions\n",
                reader.reads - reader.torn, reader.reads, reader.versions.size());
    ASSERT_GE(out, 0) << page;
    EXPECT_GT(reader.reads, 100);
    EXPECT_EQ(reader.torn, 0);
    EXPECT_GE(reader.versions.size(), 2u);  // it was replaced while read

    EXPECT_EQ(value("node_textfile_scrape_error"), 0) << page;
    for (unsigned n = 0; n < 3; n++) {
        std::string link = "{link=\"ppp" + std::to_string(n) + "\"}";
        std::string ipv4 = "{link=\"ppp" + std::to_string(n) + "\",family=\"ipv4\"}";
        std::string ipv6 = "{link=\"ppp" + std::to_string(n) + "\",family=\"ipv6\"}";
        EXPECT_EQ(value("kivo_linkfan_link_present" + link), 1) << n;
        EXPECT_EQ(value("kivo_linkfan_link_info{link=\"ppp" + std::to_string(n) + "\",table=\"" +
                        std::to_string(10 * (n + 1)) + "\"}"),
                  1)
            << n;
        EXPECT_EQ(value("kivo_linkfan_link_up" + ipv4), n == 1 ? 0 : 1) << n;
        EXPECT_EQ(value("kivo_linkfan_link_next_hop" + ipv4), n == 1 ? 0 : 1) << n;
        EXPECT_GT(value("kivo_linkfan_link_echo_requests_total" + ipv4), 0) << n;
        EXPECT_GT(value("kivo_linkfan_link_echo_replies_total" + ipv4), 0) << n;
        EXPECT_EQ(value("kivo_linkfan_link_state_changes_total" + ipv4), n == 1 ? 1 : 0) << n;
        // IPv6, untracked here: every link with it up and a next hop.
        EXPECT_EQ(value("kivo_linkfan_link_up" + ipv6), 1) << n;
        EXPECT_EQ(value("kivo_linkfan_link_next_hop" + ipv6), 1) << n;
        EXPECT_EQ(value("kivo_linkfan_link_echo_requests_total" + ipv6), -1) << n;
    }
    EXPECT_GE(value("kivo_linkfan_link_lost_rounds{link=\"ppp1\",family=\"ipv4\"}"), 3);
    EXPECT_GE(value("kivo_linkfan_default_route_rebuilds_total{cause=\"health_change\"}"), 1);
    EXPECT_GE(value("kivo_linkfan_cycles_total"), 2);
    std::string lint;
    EXPECT_EQ(promtool_check_metrics(sandbox_read_file(file), &lint), 0) << lint;
}

TEST_F(LinkfanTracking, WithoutTrackNoEchoRequestLeavesAndNoStatusIsWritten)
{
    add_links(3);
    start({"-m"});
    ASSERT_TRUE(wait_cycles(1, 20));
    std::this_thread::sleep_for(std::chrono::seconds(5));
    for (unsigned n = 0; n < 3; n++)
        EXPECT_EQ(requests(n), 0) << n;
    struct stat st;
    EXPECT_NE(stat((scene.work_dir / "linkfan.status").c_str(), &st), 0);
}

TEST_F(LinkfanTracking, ABadListIsRefusedBeforeAnythingRuns)
{
    start({"-m", "--track=192.0.2.1,ns.example"});
    EXPECT_EQ(wait_exit(10), 1);
    EXPECT_EQ(sandbox_read_file(run.err_path),
              std::string(LINKFAN_BINARY) +
                  ": bad -t list: \"ns.example\" is not an IPv4 address in dotted-quad form\n");
    EXPECT_EQ(sandbox_read_file(run.out_path).rfind(std::string("Usage: ") + LINKFAN_BINARY, 0),
              0u);
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_hash_policy"), "0\n");
    EXPECT_EQ(rt_tables(), "255\tlocal\n254\tmain\n");
}

// The paths a traced run opened for writing or created, renamed, removed or
// changed, as its calls name them; relative ones in the working directory.
strings written_paths(const std::string &log, const std::string &work)
{
    static const std::set<std::string> changing = {
        "creat", "truncate", "rename", "renameat", "renameat2", "unlink", "unlinkat",
        "mkdir", "mkdirat",  "rmdir",  "link",     "linkat",    "symlink", "symlinkat",
        "mknod", "mknodat",  "chmod",  "fchmodat", "chown",     "fchownat", "utimensat"};
    strings paths;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        // strace pads a short process id with blanks.
        size_t call = line.find_first_not_of(' ', line.find(' ')), open = line.find('(');
        if (call == std::string::npos || open == std::string::npos || open < call)
            continue;
        std::string name = line.substr(call, open - call);
        bool opens = name.rfind("open", 0) == 0 &&
                     (has(line, "O_WRONLY") || has(line, "O_RDWR") || has(line, "O_CREAT"));
        if (!opens && !changing.count(name))
            continue;
        for (size_t at = line.find('"', open); at != std::string::npos;) {
            size_t end = line.find('"', at + 1);
            if (end == std::string::npos)
                break;
            std::string path = line.substr(at + 1, end - at - 1);
            paths.push_back(path[0] == '/' ? path : work + "/" + path);
            at = line.find('"', end + 1);
        }
    }
    return paths;
}

// The address families of the sockets a traced run made ("AF_INET" ...).
std::set<std::string> socket_families(const std::string &log)
{
    std::set<std::string> families;
    for (size_t at = log.find(" socket(AF_"); at != std::string::npos;
         at = log.find(" socket(AF_", at + 1))
        families.insert(log.substr(at + 8, log.find_first_of(",)", at) - at - 8));
    return families;
}

// The paths the unit leaves writable, with the test's stand-ins for its
// state directory (the working directory) and node_exporter's folder.
strings unit_writable(const std::string &unit, const std::string &work, const std::string &metrics)
{
    const std::map<std::string, std::string> stand_in = {
        {"/var/lib/kivo_linkfan", work}, {"/var/lib/prometheus/node-exporter", metrics}};
    strings writable = {"/dev/null"};
    for (const char *directive : {"StateDirectory", "ReadWritePaths"})
        for (const std::string &value : unit_values(unit, directive)) {
            std::istringstream words(value);
            for (std::string path; words >> path;) {
                // "-" and "+" go; a state directory is named under /var/lib.
                path = path.find('/') == std::string::npos ? "/var/lib/" + path
                                                           : path.substr(path.find('/'));
                auto it = stand_in.find(path);
                writable.push_back(it == stand_in.end() ? path : it->second);
            }
        }
    return writable;
}

// The unit as systemd reads it with the multipath drop-in, run as it runs the
// tool (its bounding set, no new privileges, its umask) with the drop-in's -m
// and -t under strace: every call of the tool and its children in the unit's
// filter, every socket of a family it allows, every write in a path it leaves
// writable, nothing refused for want of a capability, and the files others
// read still readable.
TEST_F(LinkfanTracking, TheUnitAllowsEverythingARunDoes)
{
    temp_dir own("linkfan-unit");
    const std::string unit =
        sandbox_read_file(LINKFAN_UNIT) + sandbox_read_file(LINKFAN_MULTIPATH_DROP_IN);
    strings wrapper = unit_setpriv(unit), trace = strace_words(own / "trace");
    wrapper.insert(wrapper.end(), trace.begin(), trace.end());
    strings unit_umask = unit_values(unit, "UMask");
    ASSERT_EQ(unit_umask.size(), 1u);
    add_links(3);
    mode_t test_umask = umask(static_cast<mode_t>(std::stoul(unit_umask[0], nullptr, 8)));
    start({"-m", "-t", std::string(targets) + ",2001:db8:ffff::1",
           "--metrics=" + (own / "kivo_linkfan.prom")},
          wrapper);
    umask(test_umask);
    ASSERT_TRUE(wait_cycles(2, 30)) << sandbox_read_file(run.err_path);
    EXPECT_TRUE(all_answered(3)) << sandbox_read_file(scene.work_dir / "linkfan.status");
    stop();
    EXPECT_TRUE(has(sandbox_output("iptables -t nat -S POSTROUTING"), "-o ppp2 -j MASQUERADE"));
    EXPECT_EQ(sandbox_output("sysctl -n net.ipv4.fib_multipath_hash_policy "
                             "net.ipv6.fib_multipath_hash_policy"),
              "1\n1\n");
    EXPECT_TRUE(has(sandbox_output("ip link show ppp2"), "qlen 1000"));
    EXPECT_TRUE(has(ipv6_default(), "dev ppp2 "));
    EXPECT_TRUE(has(rt_tables(), "30 ppp2\n"));
    // Every user's ip reads rt_tables, node_exporter the metrics file.
    for (const std::string &path : strings{"/etc/iproute2/rt_tables", own / "kivo_linkfan.prom"}) {
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0644u) << path;
    }

    std::string log = sandbox_read_file(own / "trace");
    std::set<std::string> made = strace_calls(log), allowed;
    ASSERT_TRUE(made.count("execve") && made.count("sendmsg") && made.count("rename"))
        << "no trace";
    ASSERT_TRUE(unit_allowed_calls(unit, &allowed));
    EXPECT_EQ(strings{}, calls_outside(allowed, made));
    // A call refused for want of a capability, or a netlink request answered so.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_FALSE(has(line, "EPERM") || has(line, "EACCES")) << "refused: " << line;
    strings families = unit_values(unit, "RestrictAddressFamilies");
    ASSERT_EQ(families.size(), 1u);
    for (const std::string &family : socket_families(log))
        EXPECT_TRUE(has(" " + families[0] + " ", " " + family + " ")) << "a socket of " << family;
    strings writable = unit_writable(unit, scene.work_dir.path, own.path);
    strings written = written_paths(log, scene.work_dir.path);
    ASSERT_EQ(std::count(written.begin(), written.end(), "/etc/iproute2/rt_tables"), 1)
        << "no write traced";
    for (const std::string &path : written) {
        auto holds = [&path](const std::string &root) {
            return path == root || path.rfind(root + "/", 0) == 0;
        };
        bool inside = std::any_of(writable.begin(), writable.end(), holds);
        EXPECT_TRUE(inside) << "a write to " << path;
    }
}

}  // namespace
