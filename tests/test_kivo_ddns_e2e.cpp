// kivo_ddns end to end: the address road, creation, the fallback token, the
// order of the echo services (the fixture is in support/ddns_e2e.h).
#include <netdb.h>
#include <sys/socket.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ddns_e2e.h"
#include "sandbox.h"

namespace {

TEST_F(e2e, AddressChangeIsModifiedConfirmedThenQuiet)
{
    start(record_set("198.51.100.1"), "{\"address\":\"198.51.100.2\"}");
    ASSERT_TRUE(api_reaches(3));
    ASSERT_TRUE(more_passes(3)); // discovery goes on, DNSPod hears nothing more
    ASSERT_EQ((std::vector<std::string>{"/Record.List", "/Record.Modify", "/Record.List"}),
              paths());
    std::vector<ddns_request> r = api();
    EXPECT_NE(std::string::npos, r[1].body.find("&value=198.51.100.2&record_id=1234567")) << r[1].body;
    for (const ddns_request &each : r)
        EXPECT_EQ(kPrimary, token_of(each));

    std::string log = err();
    size_t diff = log.find("exist and diff: home.example.com --> 198.51.100.2\n");
    size_t same = log.find("exist and same: home.example.com --> 198.51.100.2\n");
    ASSERT_NE(std::string::npos, diff) << log;
    ASSERT_NE(std::string::npos, same) << log;
    EXPECT_LT(diff, same);
    EXPECT_LE(4u, count(log, "interval: 1, ddnspod: home.example.com --> 198.51.100.2\n")) << log;
    EXPECT_NE(std::string::npos, out().find("http://members.3322.org/dyndns/getip, raw, "
                                            "extern_ip: |198.51.100.2|\n"));
    EXPECT_NE(std::string::npos, ddns_world_file(world_, "records.json").find("\"198.51.100.2\""));

    // The next address takes the same road.
    ddns_world_control(world_, "{\"address\":\"198.51.100.3\"}");
    ASSERT_TRUE(api_reaches(6));
    ASSERT_TRUE(more_passes(2));
    r = api();
    ASSERT_EQ(6u, r.size());
    EXPECT_EQ("/Record.Modify", r[4].path);
    EXPECT_NE(std::string::npos, r[4].body.find("&value=198.51.100.3&record_id=1234567"));
    EXPECT_NE(std::string::npos, err().find("exist and same: home.example.com --> 198.51.100.3\n"));
}

TEST_F(e2e, MissingRecordIsCreated)
{
    start("[]", "{\"address\":\"198.51.100.15\"}");
    ASSERT_TRUE(api_reaches(3));
    ASSERT_TRUE(more_passes(2));
    ASSERT_EQ((std::vector<std::string>{"/Record.List", "/Record.Create", "/Record.List"}),
              paths());
    EXPECT_NE(std::string::npos, api()[1].body.find("&record_type=A&record_line=\xE9\xBB\x98"
                                                    "\xE8\xAE\xA4&value=198.51.100.15"));
    std::string log = err();
    size_t create = log.find("create: home.example.com --> 198.51.100.15\n");
    ASSERT_NE(std::string::npos, create) << log;
    EXPECT_LT(create, log.find("exist and same: home.example.com --> 198.51.100.15\n"));
    std::string records = ddns_world_file(world_, "records.json");
    EXPECT_NE(std::string::npos, records.find("\"value\": \"198.51.100.15\"")) << records;
}

TEST_F(e2e, FallbackTokenWhenDnspodGivesNoAnswer)
{
    start(record_set("198.51.100.21"), "{\"address\":\"198.51.100.22\",\"dnspod\":\"drop\"}");
    ASSERT_TRUE(api_reaches(4));
    std::vector<ddns_request> r = api();
    const std::string fallback = token_of(r[1]);
    EXPECT_EQ(kPrimary, token_of(r[0]));
    EXPECT_NE(kPrimary, fallback);
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(kPrimary, token_of(r[2])); // every pass starts with the primary token again
    EXPECT_EQ(fallback, token_of(r[3]));
    for (const ddns_request &each : r)
        EXPECT_EQ("/Record.List", each.path);
    // Each pass logs the outcome of both tokens.
    const std::string error = "ERROR[4]: \033[0merror: home.example.com --> 198.51.100.22\n";
    EXPECT_TRUE(ddns_world_wait([&] { return count(err(), error) >= 4; }, 10)) << err();

    // DNSPod back, refusing the primary token: that is no record to create, and
    // the fallback token does the work.
    ddns_world_control(world_, std::string("{\"address\":\"198.51.100.22\",\"refused_tokens\":[\"") +
                                   kPrimary + "\"]}");
    ASSERT_TRUE(ddns_world_wait(
        [&] {
            for (const ddns_request &each : api())
                if (each.path == "/Record.Modify")
                    return true;
            return false;
        },
        20));
    ASSERT_TRUE(ddns_world_wait(
        [&] { return err().find("exist and same: home.example.com --> 198.51.100.22") !=
                     std::string::npos; },
        20));
    size_t before = api().size();
    ASSERT_TRUE(more_passes(2));
    EXPECT_EQ(before, api().size()); // confirmed: silence
    for (const ddns_request &each : api()) {
        EXPECT_NE("/Record.Create", each.path);
        if (each.path == "/Record.Modify") {
            EXPECT_EQ(fallback, token_of(each));
        }
    }
}

TEST_F(e2e, SourcesAreAskedInOrderUntilOneGivesAnAddress)
{
    start("[]", "{\"address\":\"198.51.100.34\",\"echo\":{\"members.3322.org\":\"drop\","
                "\"icanhazip.com\":\"status:503\",\"api.ipify.org\":\"html\"}}");
    ASSERT_TRUE(api_reaches(2));
    ASSERT_TRUE(more_passes(1));
    std::vector<std::string> asked;
    for (const ddns_request &r : ddns_world_requests(world_))
        if (r.host != "dnsapi.cn")
            asked.push_back(r.host);
    ASSERT_LE(5u, asked.size());
    EXPECT_EQ((std::vector<std::string>{"members.3322.org", "icanhazip.com", "api.ipify.org",
                                        "ipinfo.io", "members.3322.org"}),
              std::vector<std::string>(asked.begin(), asked.begin() + 5));
    for (const std::string &host : asked)
        EXPECT_NE("ifconfig.co", host);
    EXPECT_NE(std::string::npos, api()[1].body.find("&value=198.51.100.34")) << api()[1].body;

    std::string o = out();
    size_t first = o.find("ret == 0, buffer: ||\n");
    size_t second = o.find("ret == 503, buffer: |<html>");
    size_t third = o.find("ret == 200, buffer: |<!DOCTYPE html>");
    size_t found = o.find("http://ipinfo.io/json, json, xml, extern_ip: 198.51.100.34$$\n");
    ASSERT_NE(std::string::npos, found) << o;
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_LT(third, found);
}

TEST_F(e2e, NothingIsPublishedWithoutAnAddress)
{
    const std::string all_fail = "{\"echo\":{\"members.3322.org\":\"drop\",\"icanhazip.com\":"
                                 "\"drop\",\"api.ipify.org\":\"drop\",\"ipinfo.io\":\"drop\","
                                 "\"ifconfig.co\":\"drop\"}}";
    start("[]", all_fail, {"--extern_ip=not.an.address"});
    // Three passes logged, each with the field as discovery left it.
    EXPECT_TRUE(ddns_world_wait(
        [&] { return count(err(), "ddnspod: home.example.com --> not.an.address\n") >= 3; }, 20))
        << err();
    EXPECT_TRUE(api().empty());
}

TEST_F(e2e, NamesResolveThroughTheHostsFile)
{
    ASSERT_EQ(0, ddns_world_enter(world_, "[]", "{}"));
    for (const char *name : {"dnsapi.cn", "members.3322.org", "icanhazip.com", "api.ipify.org",
                             "ipinfo.io", "ifconfig.co"}) {
        SCOPED_TRACE(name);
        // As getent and every program here see it, through nsswitch's "hosts" line.
        EXPECT_EQ(0u, sandbox_output(std::string("getent hosts ") + name).find("127.0.0.1"));
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        ASSERT_EQ(0, getaddrinfo(name, "443", &hints, &found));
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr, text,
                  sizeof text);
        freeaddrinfo(found);
        EXPECT_STREQ("127.0.0.1", text);
    }
}

} // namespace
