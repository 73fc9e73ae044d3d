// kivo_ddns end to end under broken and hostile peers: echo services and a
// DNSPod that send endless, huge or cut answers, addresses nobody can reach,
// and API answers that refuse what was asked (the fixture is in
// support/ddns_e2e.h).
#include <string>
#include <vector>

#include "ddns_e2e.h"

namespace {

// The values sent to DNSPod in create and modify requests, in order.
std::vector<std::string> published(const std::vector<ddns_request> &api)
{
    std::vector<std::string> values;
    for (const ddns_request &r : api) {
        size_t at = r.body.find("&value=");
        if (at == std::string::npos)
            continue;
        at += 7;
        values.push_back(r.body.substr(at, r.body.find('&', at) - at));
    }
    return values;
}

TEST_F(e2e, MemoryStaysBoundedWhateverThePeersSend)
{
    start("[]", "{\"address\":\"203.0.113.7\"}");
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 203.0.113.7") !=
                     std::string::npos; },
        20));
    ASSERT_TRUE(more_passes(1));
    const long normal = peak_kib();
    ASSERT_GT(normal, 0);

    // The first echo service answers 200 MiB, then an endless body at 50 MiB/s;
    // DNSPod answers 200 MiB to a new address. Only the first 511 (echo) or 1023
    // (DNSPod) bytes are ever read, so no more than that may be kept.
    const struct {
        const char *control;
        const char *what;
    } peers[] = {
        {"{\"address\":\"203.0.113.7\",\"echo\":{\"members.3322.org\":\"bytes:209715200\"}}",
         "a 200 MiB echo answer"},
        {"{\"address\":\"203.0.113.7\",\"echo\":{\"members.3322.org\":\"endless:50\"}}",
         "an endless echo answer"},
        {"{\"address\":\"203.0.113.8\",\"dnspod\":\"bytes:209715200\"}",
         "a 200 MiB DNSPod answer"},
    };
    for (const auto &peer : peers) {
        SCOPED_TRACE(peer.what);
        ddns_world_control(world_, peer.control);
        size_t asked = api().size();
        ASSERT_TRUE(more_passes(2));
        long peak = peak_kib();
        EXPECT_LT(peak - normal, 1024) << "peak " << peak << " KiB, normal " << normal << " KiB";
        if (std::string(peer.control).find("dnspod") != std::string::npos) {
            EXPECT_LT(asked, api().size()); // DNSPod was asked, and answered at length
        }
    }
    // What was kept of the long echo answer is still shown, and refused.
    EXPECT_NE(std::string::npos, out().find("ret == 200, buffer: |" + std::string(511, 'x') +
                                            "|\nret == 200, buffer: |203.0.113.7\n|\n"));
}

TEST_F(e2e, CutAnswersAreNoAnswers)
{
    // The first echo service announces 13 bytes and sends 11 before it closes;
    // DNSPod's list answer is cut inside its status. Neither may be read as a
    // whole answer: not 203.0.113.7 published, not a record created.
    start("[]", "{\"address\":\"203.0.113.77\",\"dnspod\":\"cut:400:{\\\"status\\\":{\\\"code\\\":"
                "\\\"10\\\",\\\"message\\\":\\\"No records\\\"\","
                "\"echo\":{\"members.3322.org\":\"cut:13:203.0.113.7\"}}");
    ASSERT_TRUE(api_reaches(4));
    for (const ddns_request &r : api())
        EXPECT_EQ("/Record.List", r.path);
    EXPECT_TRUE(ddns_world_wait(
        [&] { return count(err(), "error: home.example.com --> 203.0.113.77\n") >= 2; }, 10));
    std::string o = out();
    EXPECT_NE(std::string::npos, o.find("ret == 200, buffer: ||\nret == 200, buffer: "
                                        "|203.0.113.77\n|\nhttp://icanhazip.com, raw, "
                                        "extern_ip: |203.0.113.77|\n"))
        << o;

    ddns_world_control(world_, "{\"address\":\"203.0.113.77\",\"echo\":{\"members.3322.org\":"
                               "\"cut:13:203.0.113.7\"}}");
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 203.0.113.77\n") !=
                     std::string::npos; },
        20));
    EXPECT_EQ(std::vector<std::string>{"203.0.113.77"}, published(api()));
}

} // namespace
