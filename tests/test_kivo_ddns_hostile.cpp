// kivo_ddns end to end under broken and hostile peers: echo services and a
// DNSPod that send endless, huge or cut answers, addresses nobody can reach,
// and API answers that refuse what was asked (the fixture is in
// support/ddns_e2e.h).
#include <cstdio>
#include <cstdlib>
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

// A text as a JSON string, quotes included.
std::string json_text(const std::string &text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        char escaped[8];
        if (c == '"' || c == '\\' || c < 0x20) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            quoted += escaped;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
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
        std::printf("%s: peak %ld KiB, normal %ld KiB\n", peer.what, peak, normal);
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

// Three passes in which every echo service answers with an address nobody can
// reach (one of each refused block, plain and JSON), an address with a NUL and
// garbage after it, or terminal escapes; then a public one. Only the starting
// address and the public one may reach DNSPod.
TEST_F(e2e, OnlyPublicAddressesArePublished)
{
    const char *hosts[] = {"members.3322.org", "icanhazip.com", "api.ipify.org", "ipinfo.io",
                           "ifconfig.co"};
    auto plain = [](const char *a) { return std::string("body:") + a + "\n"; };
    auto json = [](const char *a) { return std::string("body:{\"ip\":\"") + a + "\"}"; };
    const std::string answers[3][5] = {
        {plain("0.1.2.3"), plain("10.0.0.1"), json("100.64.0.1"), json("127.0.0.1"),
         json("169.254.1.1")},
        {plain("172.16.0.1"), plain("192.0.0.1"), json("192.168.1.1"), json("198.18.0.1"),
         json("224.0.0.1")},
        {std::string("body:1.2.3.4\0garbage", 20), plain("\x1b[2J\x1b]0;owned\x07" "240.0.0.1"),
         std::string("body:{\"ip\":\"1.2.3.5\"}\0garbage", 29), json("255.255.255.255"),
         plain("1.2.3.6\x1b[8m")},
    };
    std::string control = "{\"address\":\"203.0.113.77\",\"echo\":{";
    for (int h = 0; h < 5; ++h) {
        control += std::string(h ? "," : "") + "\"" + hosts[h] + "\":[";
        for (int pass = 0; pass < 3; ++pass)
            control += json_text(answers[pass][h]) + ",";
        control += "\"ok\"]";
    }
    start("[]", control + "}}", {"--extern_ip=192.0.2.1"});
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 203.0.113.77\n") !=
                     std::string::npos; },
        30));
    EXPECT_EQ((std::vector<std::string>{"192.0.2.1", "203.0.113.77"}), published(api()));

    // Every refused answer was shown, its control bytes escaped; no success line
    // but the public address's.
    std::string o = out();
    EXPECT_EQ(std::string::npos, o.find('\x1b'));
    EXPECT_EQ(std::string::npos, o.find('\x07'));
    EXPECT_NE(std::string::npos, o.find("ret == 200, buffer: |1.2.3.4\\x00garbage|\n")) << o;
    EXPECT_NE(std::string::npos,
              o.find("ret == 200, buffer: |\\x1b[2J\\x1b]0;owned\\x07240.0.0.1\n|\n"));
    EXPECT_NE(std::string::npos, o.find("ret == 200, buffer: |{\"ip\":\"127.0.0.1\"}|\n"));
    EXPECT_EQ(count(o, "extern_ip: "), count(o, "extern_ip: |203.0.113.77|\n")) << o;
    EXPECT_NE(std::string::npos, o.find("http://members.3322.org/dyndns/getip, raw, extern_ip: "
                                        "|203.0.113.77|\n"));
}

// DNSPod answers every modify with code 104, record locked: each pass says so
// in an ERROR record, and lists again; once unlocked the record is modified
// and confirmed.
TEST_F(e2e, LockedRecordIsAnErrorEveryPass)
{
    start(record_set("198.51.100.1"),
          "{\"address\":\"203.0.113.7\",\"dnspod_codes\":{\"/Record.Modify\":\"104\"}}");
    const std::string refused = "ERROR[4]: \033[0mmodify refused: home.example.com --> "
                                "203.0.113.7, code 104: Record is locked\n";
    ASSERT_TRUE(ddns_world_wait([&] { return count(err(), refused) >= 4; }, 15)) << err();
    size_t lists = 0, modifies = 0;
    for (const ddns_request &r : api()) {
        lists += r.path == "/Record.List";
        modifies += r.path == "/Record.Modify";
    }
    EXPECT_LE(4u, modifies);
    EXPECT_LE(modifies, lists); // every modify follows a list of its own
    EXPECT_EQ(std::string::npos, err().find("exist and same"));

    ddns_world_control(world_, "{\"address\":\"203.0.113.7\"}");
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 203.0.113.7\n") !=
                     std::string::npos; },
        15));
    EXPECT_NE(std::string::npos, ddns_world_file(world_, "records.json").find("\"203.0.113.7\""));
}

// A record name with the characters a form decoder reads otherwise: the name
// DNSPod sees is the one given, not "a" with stray keys.
TEST_F(e2e, RecordNameIsSentAsGiven)
{
    start("[]", "{\"address\":\"203.0.113.7\"}", {"--sub_domain=a&b=c+d%41 e"});
    ASSERT_TRUE(api_reaches(3));
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: a&b=c+d%41 e.example.com --> 203.0.113.7\n") !=
                     std::string::npos; },
        10))
        << err();
    std::vector<ddns_request> r = api();
    EXPECT_EQ("login_token=" + std::string(kPrimary) +
                  "&format=json&domain=example.com&sub_domain=a%26b%3Dc%2Bd%2541%20e",
              r[0].body);
    EXPECT_NE(std::string::npos,
              ddns_world_file(world_, "records.json").find("\"name\": \"a&b=c+d%41 e\""));
}

// DNSPod refuses both tokens at --interval=1: each is sent once, and then rests
// its minute while the passes go on (the minutes beyond are the unit test's).
TEST_F(e2e, RefusedLoginsAreNotRepeatedEveryPass)
{
    start("[]", "{\"address\":\"203.0.113.7\",\"accepted_tokens\":[\"nobody\"]}");
    ASSERT_TRUE(api_reaches(2));
    // Five passes by their log record, written after the pass's last request.
    const char *const pass = "interval: 1, ddnspod: home.example.com --> 203.0.113.7\n";
    ASSERT_TRUE(ddns_world_wait([&] { return count(err(), pass) >= 5; }, 25)) << err();
    std::vector<ddns_request> r = api();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(kPrimary, token_of(r[0]));
    EXPECT_NE(kPrimary, token_of(r[1])); // the fallback token
    std::string log = err();
    EXPECT_EQ(1u, count(log, "login refused: home.example.com --> 203.0.113.7, token 50001 "
                             "rests 60 s, until "))
        << log;
    EXPECT_EQ(2u, count(log, "login refused: ")) << log;
}

// The program with the environment its service unit gives it: the stand-ins'
// self-signed certificate is refused, so neither the login token nor the
// request for an address goes over TLS to them; plain HTTP still works.
TEST_F(e2e, ServiceEnvironmentRefusesASelfSignedCertificate)
{
    std::string unit = sandbox_read_file(KIVO_DDNS_UNIT);
    std::vector<std::string> set;
    for (size_t at = unit.find("\nEnvironment="); at != std::string::npos;
         at = unit.find("\nEnvironment=", at + 1)) {
        std::string assignment = unit.substr(at + 13, unit.find('\n', at + 1) - at - 13);
        size_t eq = assignment.find('=');
        ASSERT_NE(std::string::npos, eq) << assignment;
        setenv(assignment.substr(0, eq).c_str(), assignment.substr(eq + 1).c_str(), 1);
        set.push_back(assignment);
    }
    ASSERT_EQ(std::vector<std::string>{"KIVO_TLS_VERIFY=1"}, set);
    start("[]", "{\"address\":\"203.0.113.7\",\"echo\":{\"members.3322.org\":\"drop\","
                "\"icanhazip.com\":\"drop\"}}");
    unsetenv("KIVO_TLS_VERIFY");
    ASSERT_TRUE(ddns_world_wait(
        [&] { return count(err(), "error: home.example.com --> 203.0.113.7\n") >= 4; }, 30))
        << err();
    EXPECT_TRUE(api().empty());
    EXPECT_TRUE(ddns_world_requests(world_, "api.ipify.org").empty());
    EXPECT_NE(std::string::npos, out().find("ret == 0, buffer: ||\nret == 200, buffer: |{\n"))
        << out();
    EXPECT_NE(std::string::npos, out().find("http://ipinfo.io/json, json, xml, extern_ip: "
                                            "203.0.113.7$$\n"));
}

} // namespace
