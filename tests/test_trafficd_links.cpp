// kivo_trafficd's bytes per link: two uplinks ppp0 and ppp1 (veth pairs to a
// client namespace, each with its own addresses), one busybox httpd counted
// under kwai on every address of the box, and curl fetching different amounts
// through each. Then ppp0 redials: deleted, made anew with a new address, while
// ppp1 takes the address ppp0 had. Bytes counted before keep ppp0's name; the
// bytes after follow the addresses to their new links. The agent's reports are
// the same sums as before links were counted. Datagrams of a UDP server bound
// to 0.0.0.0 and :: count for the link each one came by and left by; links
// that came and went leave their slots free. A reading of the address table
// that failed is not taken as the table; the interfaces and addresses that
// the full tables refuse count once.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <map>

#include <cstdio>
#include <cstring>

#include "kivo_trafficd.h"
#include "node_exporter.h"
#include "temp_dir.h"
#include "trafficd_fixture.h"

namespace {

constexpr long long big_size = 1 << 20;

// The client's namespace, and the shell there.
struct client_side {
    child_process holder;  // sleeps in the namespace; its pid names it
    bool start()
    {
        return traffic_start(&holder,
                             {"/usr/bin/unshare", "--net", "--", "/bin/sh", "-c",
                              "ip link set lo up && echo ready && exec sleep 120"},
                             {}, false) &&
               child_expect(&holder, "ready", nullptr, 5000);
    }
    int sh(const std::string &cmd) const
    {
        return sandbox_sh("nsenter --target " + std::to_string(holder.pid) + " --net -- sh -c '" +
                          cmd + "'");
    }
};

// ppp<n> on the box (or the interface the shell word box names) and c<n> in
// the client's namespace, with the box's and the client's addresses in
// prefix.0/24 (IPv4) and, when given, prefix6::/64.
bool make_link(const client_side &client, int n, const std::string &prefix,
               const std::string &prefix6 = "", std::string box = "")
{
    if (box.empty())
        box = "ppp" + std::to_string(n);
    std::string far = "c" + std::to_string(n);
    std::string here = "ip link add " + box + " type veth peer name " + far + " netns " +
                       std::to_string(client.holder.pid) + " && ip addr add " + prefix +
                       ".1/24 dev " + box + " && ip link set " + box + " up";
    std::string there = "ip addr add " + prefix + ".2/24 dev " + far + " && ip link set " + far +
                        " up";
    if (!prefix6.empty()) {
        here += " && ip -6 addr add " + prefix6 + "::1/64 dev " + box + " nodad";
        there += " && ip -6 addr add " + prefix6 + "::2/64 dev " + far + " nodad";
    }
    return sandbox_sh(here) == 0 && client.sh(there) == 0;
}

// count fetches of big.bin from the client through url's address; what the
// server sent and received is added to *truth.
bool fetch(const client_side &client, const std::string &host, int count, traffic_sums *truth)
{
    trafficd_curl measured;
    std::vector<std::string> args;
    for (int i = 0; i < count; i++)
        args.insert(args.end(), {"-g", "-o", "/dev/null", "http://" + host + ":8082/big.bin"});
    if (!trafficd_run_curl(args, {}, &measured, false, client.holder.pid) ||
        measured.download != count * big_size)
        return false;
    truth->sent += measured.header + measured.download;
    truth->received += measured.request;
    return true;
}

// Waits for the daemon's notes that each of holds ("ppp0 holds 10.72.0.1").
bool wait_for_notes(child_process *daemon, std::vector<std::string> holds, int timeout_ms)
{
    long long deadline = child_monotonic_ms() + timeout_ms;
    std::string line;
    while (!holds.empty() &&
           child_next_line(daemon, &line, static_cast<int>(deadline - child_monotonic_ms())))
        for (size_t i = 0; i < holds.size(); i++)
            if (line == "kivo_trafficd: " + holds[i]) {
                holds.erase(holds.begin() + static_cast<long>(i));
                break;
            }
    return holds.empty();
}

// A UDP server bound to 0.0.0.0 and :: that answers each datagram from the
// address it came to (IP_PKTINFO, IPV6_PKTINFO), as QUIC and KCP servers do,
// from an event loop whose first read finds nothing.
constexpr char udp_server[] = R"(
import select, socket
v4 = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
v4.setsockopt(socket.SOL_IP, 8, 1)  # IP_PKTINFO
v4.bind(('0.0.0.0', 9000))
v6 = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
v6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_RECVPKTINFO, 1)
v6.bind(('::', 9000))
for s in v4, v6:
    s.setblocking(False)
    try: s.recv(1)
    except BlockingIOError: pass
print('ready', flush=True)
while True:
    for s in select.select([v4, v6], [], [])[0]:
        data, info, _, peer = s.recvmsg(2048, 256)
        s.sendmsg([data], info, 0, peer)
)";

// From the client's namespace, count datagrams of 1000 bytes to each of
// hosts, each answer awaited (a burst of them queued first, when burst):
// what crossed is added to truth by the link that host is on.
bool exchange(const client_side &client, int count, bool burst,
              const std::map<std::string, std::string> &hosts,
              std::map<std::string, traffic_sums> *truth)
{
    const char *script = R"(
import socket, sys
count, burst = int(sys.argv[1]), sys.argv[2] == 'burst'
for host in sys.argv[3:]:
    c = socket.socket(socket.AF_INET6 if ':' in host else socket.AF_INET, socket.SOCK_DGRAM)
    c.settimeout(2)
    sent = received = 0
    for i in range(count):
        sent += c.sendto(b'x' * 1000, (host, 9000))
        if not burst: received += len(c.recv(2048))
    while burst and received < sent: received += len(c.recv(2048))
    print(host, sent, received, flush=True)
)";
    std::vector<std::string> argv = {"/usr/bin/nsenter", "--target",
                                     std::to_string(client.holder.pid), "--net", "--",
                                     "/usr/bin/python3", "-c", script, std::to_string(count),
                                     burst ? "burst" : "one"};
    for (const auto &[host, link] : hosts)
        argv.push_back(host);
    child_process run;
    if (!traffic_start(&run, argv, {}, false))
        return false;
    std::string line;
    size_t lines = 0;
    while (child_next_line(&run, &line, 10000)) {
        char host[64];
        long long sent = 0, received = 0;
        if (std::sscanf(line.c_str(), "%63s %lld %lld", host, &sent, &received) != 3)
            return false;
        // What the client sent the server received, and the other way round.
        (*truth)[hosts.at(host)].sent += received;
        (*truth)[hosts.at(host)].received += sent;
        lines++;
    }
    return child_wait(&run, 5000) == 0 && lines == hosts.size();
}

// A netlink message: an IPv4 address (RTM_NEWADDR, RTM_DELADDR),
// 198.18.(ifindex % 256).last_byte, of interface ifindex (or, when no
// interface has that index, of the one its label names, ppp(ifindex % 256));
// or the end of a reading (NLMSG_DONE, NLMSG_ERROR), with the flags given.
std::string netlink_message(int type, int flags, unsigned char last_byte = 0,
                            unsigned int ifindex = 1)
{
    alignas(nlmsghdr) char buf[NLMSG_SPACE(sizeof(ifaddrmsg) + RTA_SPACE(4) +
                                           RTA_SPACE(IFNAMSIZ))] = {};
    auto *h = reinterpret_cast<nlmsghdr *>(buf);
    h->nlmsg_type = static_cast<unsigned short>(type);
    h->nlmsg_flags = static_cast<unsigned short>(flags);
    h->nlmsg_len = NLMSG_LENGTH(sizeof(nlmsgerr));
    if (type == RTM_NEWADDR || type == RTM_DELADDR) {
        auto *a = static_cast<ifaddrmsg *>(NLMSG_DATA(h));
        a->ifa_family = AF_INET;
        a->ifa_index = ifindex;
        auto *rta = IFA_RTA(a);
        rta->rta_type = IFA_LOCAL;
        rta->rta_len = RTA_LENGTH(4);
        unsigned char address[4] = {198, 18, static_cast<unsigned char>(ifindex), last_byte};
        std::memcpy(RTA_DATA(rta), address, 4);
        rta = reinterpret_cast<rtattr *>(reinterpret_cast<char *>(rta) + RTA_SPACE(4));
        rta->rta_type = IFA_LABEL;
        rta->rta_len = RTA_LENGTH(IFNAMSIZ);
        std::snprintf(static_cast<char *>(RTA_DATA(rta)), IFNAMSIZ, "ppp%u", ifindex % 256);
        h->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg) + RTA_SPACE(4) + RTA_SPACE(IFNAMSIZ));
    }
    return std::string(buf, NLMSG_ALIGN(h->nlmsg_len));
}

} // namespace

TEST(TrafficdLinks, AReadingThatFailsOrIsInterruptedIsNotTakenAsTheTable)
{
    struct {
        const char *what;
        std::string reading;
        int result;
        int addresses_after;
    } cases[] = {
        {"whole", netlink_message(RTM_NEWADDR, NLM_F_MULTI, 1) + netlink_message(NLMSG_DONE, 0),
         0, 1},
        {"error", netlink_message(RTM_NEWADDR, NLM_F_MULTI, 1) + netlink_message(NLMSG_ERROR, 0),
         -1, 2},
        {"interrupted",
         netlink_message(RTM_NEWADDR, NLM_F_MULTI | NLM_F_DUMP_INTR, 1) +
             netlink_message(NLMSG_DONE, NLM_F_DUMP_INTR),
         -1, 2},
        {"more to come", netlink_message(RTM_NEWADDR, NLM_F_MULTI, 1), 1, 2},
    };
    for (const auto &c : cases) {
        // News of two addresses, then a reading that holds only the first.
        trafficd_links.address_count = 0;
        std::string news = netlink_message(RTM_NEWADDR, 0, 1) + netlink_message(RTM_NEWADDR, 0, 2);
        EXPECT_EQ(trafficd_links_dump_part(news.data(), news.size()), 1) << c.what;
        trafficd_links_dump_begin();
        int result = trafficd_links_dump_part(c.reading.data(), c.reading.size());
        EXPECT_EQ(result, c.result) << c.what;
        if (result == 0)
            trafficd_links_dump_end();
        EXPECT_EQ(trafficd_links.address_count, c.addresses_after) << c.what;
    }
}

// More uplinks than link slots, more addresses than the table holds: each
// interface and address refused counts once in the metrics, however often
// its news come again.
TEST(TrafficdLinks, WhatTheFullTablesRefuseCountsOnceInTheMetrics)
{
    temp_dir dir("trafficd-full");
    ASSERT_TRUE(trafficd_metrics_set_file((dir / "k.prom").c_str()));
    trafficd_links.address_count = 0;  // what another case left
    // 40 interfaces of 30 addresses: 30 take the slots, 1024 addresses the table.
    std::string all;
    for (unsigned int i = 100000; i < 100040; i++)
        for (unsigned char k = 1; k <= 30; k++)
            all += netlink_message(RTM_NEWADDR, NLM_F_MULTI, k, i);
    const struct {
        const char *what;
        std::string news;
        int addresses;
    } steps[] = {
        {"every address", all, 176},
        {"their lifetimes refreshed", all, 176},
        {"a whole reading", all + netlink_message(NLMSG_DONE, 0), 176},
        {"a refused address gone and back",
         netlink_message(RTM_DELADDR, 0, 30, 100039) + netlink_message(RTM_NEWADDR, 0, 30, 100039),
         177},
    };
    for (const auto &step : steps) {
        trafficd_links_dump_begin();
        if (trafficd_links_dump_part(step.news.data(), step.news.size()) == 0)
            trafficd_links_dump_end();
        trafficd_metrics_write();
        std::string text = sandbox_read_file(dir / "k.prom");
        EXPECT_NE(text.find("{map=\"addresses\"} " + std::to_string(step.addresses) +
                            "\nkivo_trafficd_map_full_total{map=\"links\"} 10\n"),
                  std::string::npos)
            << step.what << "\n" << text;
    }
}

TEST_F(TrafficdTest, DatagramsCountForTheLinkEachCameAndWentByAndGoneLinksFreeTheirSlots)
{
    temp_dir site("trafficd-datagrams");
    const std::string file = site / "kivo_trafficd.prom";
    client_side client;
    ASSERT_TRUE(client.start());
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon, server;
    ASSERT_TRUE(trafficd_start_daemon(&daemon, {"--metrics=" + file}));
    long long started = child_monotonic_ms();
    ASSERT_TRUE(traffic_start(&server, {"/usr/bin/python3", "-c", udp_server}, {"KIVO_CP=kwai"},
                              false));
    ASSERT_TRUE(child_expect(&server, "ready", nullptr, 10000));
    // Its first reads had the daemon attach the queue hook.
    ASSERT_TRUE(wait_for_notes(&daemon,
                               {"datagrams come to a socket bound to no address: each one's "
                                "destination is noted as it is queued"},
                               5000));

    // 40 interfaces with link-local addresses only, and 30 with uplinks'
    // addresses (every slot there is) come and go; ppp9 carries datagrams.
    std::map<std::string, traffic_sums> truth;
    ASSERT_TRUE(make_link(client, 9, "10.79.0"));
    const std::string far = " type veth peer netns " + std::to_string(client.holder.pid);
    ASSERT_EQ(0, sandbox_sh("for i in $(seq 40); do ip link add ll$i" + far + " name l$i && "
                            "ip addr add 169.254.$i.1/16 dev ll$i && "
                            "ip -6 addr add fe80::$i/64 dev ll$i nodad || exit 1; done; "
                            "for i in $(seq 29); do ip link add up$i" + far + " name u$i && "
                            "ip addr add 10.99.$i.1/24 dev up$i || exit 1; done"));
    ASSERT_TRUE(wait_for_notes(&daemon, {"up29 holds 10.99.29.1"}, 5000));
    ASSERT_TRUE(exchange(client, 100, false, {{"10.79.0.1", "ppp9"}}, &truth));
    ASSERT_EQ(0, sandbox_sh("ip link del ppp9 && for i in $(seq 40); do ip link del ll$i; done && "
                            "for i in $(seq 29); do ip link del up$i; done"));
    // The first cycle folds their bytes into the metrics and frees the slots.
    traffic_agent_report first;
    ASSERT_TRUE(traffic_next_report(&agent, &first, 25000));

    ASSERT_TRUE(make_link(client, 0, "10.70.0"));
    ASSERT_TRUE(make_link(client, 1, "10.71.0", "fd00:71"));
    ASSERT_TRUE(wait_for_notes(&daemon, {"ppp0 holds 10.70.0.1", "ppp1 holds fd00:71::1"}, 5000));
    std::map<std::string, std::string> uplinks = {
        {"10.70.0.1", "ppp0"}, {"10.71.0.1", "ppp1"}, {"fd00:71::1", "ppp1"}};
    ASSERT_TRUE(exchange(client, 300, false, uplinks, &truth));
    // Datagrams of both links wait in the queue together.
    ASSERT_TRUE(exchange(client, 50, true, uplinks, &truth));

    // The agent's reports are the server's sums, as before links were counted.
    traffic_sums all;
    for (const auto &[link, sums] : truth) {
        all.sent += sums.sent;
        all.received += sums.received;
    }
    traffic_sums rest = {all.sent - first.sb, all.received - first.rb, 0};
    traffic_sums_by_name reported = trafficd_collect(&agent, {{"kwai", rest}},
                                                     started + 20000 + trafficd_first_cycle_limit_ms);
    trafficd_print("kwai, second cycle's reports", rest, reported["kwai"]);
    EXPECT_TRUE(trafficd_within(rest, reported["kwai"], 1.0));
    std::string text = sandbox_read_file(file);
    for (const auto &[link, want] : truth) {
        std::string labels = "{cp=\"kwai\",link=\"" + link + "\"}";
        double sent = -1, received = -1;
        EXPECT_TRUE(node_exporter_value(text, "kivo_trafficd_sent_bytes_total" + labels, &sent) &&
                    node_exporter_value(text, "kivo_trafficd_received_bytes_total" + labels,
                                        &received))
            << link << "\n" << text;
        traffic_sums got = {static_cast<long long>(sent), static_cast<long long>(received), 0};
        trafficd_print("kwai over " + link, want, got);
        EXPECT_TRUE(trafficd_within(want, got, 1.0)) << link;
    }
    double other_sent = 0, other_received = 0;
    node_exporter_value(text, "kivo_trafficd_sent_bytes_total{cp=\"kwai\",link=\"other\"}",
                        &other_sent);
    node_exporter_value(text, "kivo_trafficd_received_bytes_total{cp=\"kwai\",link=\"other\"}",
                        &other_received);
    EXPECT_LE(other_sent, 0.01 * static_cast<double>(all.sent)) << text;
    EXPECT_LE(other_received, 0.01 * static_cast<double>(all.received)) << text;
}

TEST_F(TrafficdTest, BytesCountForTheLinkThatHeldTheLocalAddressWhenTheyWereCounted)
{
    temp_dir site("trafficd-links");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    const std::string file = dir + "/kivo_trafficd.prom";
    client_side client;
    ASSERT_TRUE(client.start());
    ASSERT_TRUE(make_link(client, 0, "10.70.0"));
    ASSERT_TRUE(make_link(client, 1, "10.71.0", "fd00:71"));

    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process daemon;
    std::string start_log;
    ASSERT_TRUE(trafficd_start_daemon(&daemon, {"--metrics=" + file}, &start_log));
    long long started = child_monotonic_ms();
    EXPECT_NE(start_log.find("kivo_trafficd: ppp1 holds fd00:71::1\n"), std::string::npos)
        << "the address table read at the start:\n" << start_log;
    child_process busybox;
    ASSERT_TRUE(trafficd_start_busybox(&busybox, dir, 8082, "kwai", ""));

    std::map<std::string, traffic_sums> truth;
    ASSERT_TRUE(fetch(client, "10.70.0.1", 2, &truth["ppp0"]));
    ASSERT_TRUE(fetch(client, "10.71.0.1", 3, &truth["ppp1"]));
    ASSERT_TRUE(fetch(client, "[fd00:71::1]", 1, &truth["ppp1"]));
    traffic_sums from_box = trafficd_fetch_three(8082);
    ASSERT_GT(from_box.sent, 0);
    truth["lo"] = from_box;
    // Datagrams from a socket with no local address of its own: their sources'.
    child_process udp;
    ASSERT_TRUE(traffic_start(&udp,
                              {"/usr/bin/python3", "-c",
                               "import socket; s = socket.socket(socket.AF_INET, "
                               "socket.SOCK_DGRAM); s.sendto(b'x' * 1000, ('10.71.0.2', 9)); "
                               "s.sendto(b'x' * 1000, ('127.0.0.1', 9))"},
                              {"KIVO_CP=kwai"}, false));
    ASSERT_EQ(child_wait(&udp, 10000), 0);
    truth["ppp1"].sent += 1000;
    truth["lo"].sent += 1000;

    // ppp0 redials with a new address; ppp1 takes the one ppp0 had.
    ASSERT_EQ(sandbox_sh("ip link del ppp0"), 0);
    ASSERT_TRUE(make_link(client, 0, "10.72.0"));
    ASSERT_EQ(sandbox_sh("ip addr add 10.70.0.1/24 dev ppp1"), 0);
    ASSERT_EQ(client.sh("ip addr add 10.70.0.2/24 dev c1"), 0);
    ASSERT_TRUE(wait_for_notes(&daemon, {"ppp0 holds 10.72.0.1", "ppp1 holds 10.70.0.1"}, 5000));
    ASSERT_TRUE(fetch(client, "10.72.0.1", 4, &truth["ppp0"]));
    ASSERT_TRUE(fetch(client, "10.70.0.1", 1, &truth["ppp1"]));
    // A name that is not UTF-8 (any byte but '/', ':' and blanks may be in
    // one) shows with U+FFFD, and the file stays readable.
    ASSERT_TRUE(make_link(client, 2, "10.73.0", "", "\"$(printf 'q\\042\\377')\""));
    ASSERT_TRUE(wait_for_notes(&daemon, {"q\"\xff holds 10.73.0.1"}, 5000));
    ASSERT_TRUE(fetch(client, "10.73.0.1", 1, &truth[std::string("q\\\"") + "\xef\xbf\xbd"]));
    ASSERT_LT(child_monotonic_ms() - started, 18000) << "the load ran into the first cycle";

    traffic_sums all;
    for (const auto &[link, sums] : truth) {
        all.sent += sums.sent;
        all.received += sums.received;
    }
    traffic_sums_by_name reported =
        trafficd_collect(&agent, {{"kwai", all}}, started + trafficd_first_cycle_limit_ms);
    trafficd_print("kwai, reports", all, reported["kwai"]);
    EXPECT_EQ(reported["kwai"].sent, all.sent);
    EXPECT_EQ(reported["kwai"].received, all.received);

    std::string text = sandbox_read_file(file);
    std::string lint;
    EXPECT_EQ(promtool_check_metrics(text, &lint), 0) << lint << text;
    traffic_sums summed;
    for (const auto &[link, want] : truth) {
        std::string labels = "{cp=\"kwai\",link=\"" + link + "\"}";
        double sent = -1, received = -1;
        EXPECT_TRUE(node_exporter_value(text, "kivo_trafficd_sent_bytes_total" + labels, &sent))
            << link << "\n" << text;
        EXPECT_TRUE(node_exporter_value(text, "kivo_trafficd_received_bytes_total" + labels,
                                        &received))
            << link;
        traffic_sums got = {static_cast<long long>(sent), static_cast<long long>(received), 0};
        trafficd_print("kwai over " + link, want, got);
        EXPECT_TRUE(trafficd_within(want, got, 1.0)) << link;
        summed.sent += got.sent;
        summed.received += got.received;
    }
    // No series beyond these links, and together they are what the agent took.
    size_t series = 0;
    for (size_t at = text.find("\nkivo_trafficd_sent_bytes_total{"); at != std::string::npos;
         at = text.find("\nkivo_trafficd_sent_bytes_total{", at + 1))
        series++;
    EXPECT_EQ(series, truth.size()) << text;
    EXPECT_EQ(summed.sent, reported["kwai"].sent);
    EXPECT_EQ(summed.received, reported["kwai"].received);
}
