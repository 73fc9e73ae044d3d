// kivo_trafficd's bytes per link: two uplinks ppp0 and ppp1 (veth pairs to a
// client namespace, each with its own addresses), one busybox httpd counted
// under kwai on every address of the box, and curl fetching different amounts
// through each. Then ppp0 redials: deleted, made anew with a new address, while
// ppp1 takes the address ppp0 had. Bytes counted before keep ppp0's name; the
// bytes after follow the addresses to their new links. The agent's reports are
// the same sums as before links were counted.
#include <map>

#include "node_exporter.h"
#include "temp_dir.h"
#include "trafficd_fixture.h"

namespace {

constexpr long long big_size = 1 << 20;

// The client's namespace, and the shell there.
struct client_side {
    child_process holder;  // sleeps in the namespace; its pid names it
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

} // namespace

TEST_F(TrafficdTest, BytesCountForTheLinkThatHeldTheLocalAddressWhenTheyWereCounted)
{
    temp_dir site("trafficd-links");
    const std::string &dir = site.path;
    ASSERT_TRUE(trafficd_site(dir));
    const std::string file = dir + "/kivo_trafficd.prom";
    client_side client;
    ASSERT_TRUE(traffic_start(&client.holder,
                              {"/usr/bin/unshare", "--net", "--", "/bin/sh", "-c",
                               "ip link set lo up && echo ready && exec sleep 120"},
                              {}, false));
    ASSERT_TRUE(child_expect(&client.holder, "ready", nullptr, 5000));
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
    // A datagram from a socket with no local address of its own.
    child_process udp;
    ASSERT_TRUE(traffic_start(&udp,
                              {"/usr/bin/python3", "-c",
                               "import socket; socket.socket(socket.AF_INET, socket.SOCK_DGRAM)"
                               ".sendto(b'x' * 1000, ('10.71.0.2', 9))"},
                              {"KIVO_CP=kwai"}, false));
    ASSERT_EQ(child_wait(&udp, 10000), 0);
    truth["other"] = {1000, 0, 0};

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
