// Which answers of an echo service count as an address.
#include "kivo_extern_ip.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr kivo_extern_ip_source kPlain = kivo_extern_ip[0];
constexpr kivo_extern_ip_source kJson = kivo_extern_ip[2];

struct take_case {
    const kivo_extern_ip_source *source;
    long status;
    std::string answer;
    const char *address; // nullptr: refused, field untouched
};

TEST(ExternIpAnswer, OnlyAnIpv4AddressCounts)
{
    const take_case cases[] = {
        {&kPlain, 200, "203.0.113.7\n", "203.0.113.7"},
        {&kPlain, 200, "203.0.113.7", "203.0.113.7"},
        {&kPlain, 200, "203.0.113.7\r\n", nullptr}, // only the line feed goes
        {&kPlain, 200, "203.0.113.7\n\n", nullptr},
        {&kPlain, 200, "", nullptr},
        {&kPlain, 200, "\n", nullptr},
        {&kPlain, 200, "<html><body>Service Unavailable</body></html>\n", nullptr},
        {&kPlain, 200, "0.0.0.0\n", nullptr},
        {&kPlain, 200, "2001:db8::7\n", nullptr},
        {&kPlain, 200, "203.0.113.256\n", nullptr},
        {&kPlain, 200, " 203.0.113.7\n", nullptr},
        {&kPlain, 200, std::string(511, '1'), nullptr},
        {&kPlain, 200, std::string("203.0.113.7\0garbage", 19), nullptr},
        {&kPlain, 200, std::string("203.0.113.7\n\0", 13), nullptr},
        {&kPlain, 503, "203.0.113.7\n", nullptr},
        {&kPlain, 0, "", nullptr},
        {&kJson, 200, "{\"ip\":\"198.51.100.4\"}", "198.51.100.4"},
        {&kJson, 200, "{\n  \"ip\": \"198.51.100.4\",\n  \"city\": \"Hangzhou\"\n}",
         "198.51.100.4"},
        {&kJson, 200, "{\"ip\":\"2001:db8::7\"}", nullptr},
        {&kJson, 200, "{\"ip\":3325256714}", nullptr},
        {&kJson, 200, "{\"ip\":\"198.51.100.4\"", nullptr}, // cut JSON
        {&kJson, 200, "{\"ip\":\"198.51.100.4" + std::string(40, '4') + "\"}", nullptr},
        {&kJson, 200, "{\"addr\":\"198.51.100.4\"}", nullptr},
        {&kJson, 200, "198.51.100.4\n", nullptr},
        {&kJson, 200, std::string("{\"ip\":\"198.51.100.4\"}\0garbage", 30), nullptr},
        {&kJson, 404, "{\"ip\":\"198.51.100.4\"}", nullptr},
    };
    for (const take_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " |" << c.answer << "|");
        char field[KIVO_EXTERN_IP_SIZE] = "192.0.2.99";
        std::string answer = c.answer;
        testing::internal::CaptureStdout();
        int taken = kivo_extern_ip_take_answer(c.source, c.status, answer.data(), answer.size(),
                                               field);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        if (c.address == nullptr) {
            EXPECT_EQ(0, taken);
            EXPECT_STREQ("192.0.2.99", field);
            EXPECT_EQ("", out);
            continue;
        }
        EXPECT_EQ(1, taken);
        EXPECT_STREQ(c.address, field);
        std::string line = c.source->is_json
                               ? std::string(c.source->url) + ", json, xml, extern_ip: " +
                                     c.address + "$$\n"
                               : std::string(c.source->url) + ", raw, extern_ip: |" + c.address +
                                     "|\n";
        EXPECT_EQ(line, out);
    }
}

TEST(ExternIpAnswer, OnlyAGlobalIpv6AddressCountsInCanonicalForm)
{
    const kivo_extern_ip_source *source = &kivo_extern_ip6[1];
    const struct {
        long status;
        std::string answer;
        const char *address; // nullptr: refused, field untouched
    } cases[] = {
        {200, "2001:db8::7\n", "2001:db8::7"},
        {200, "2001:DB8:0:0:0:0:0:7", "2001:db8::7"},
        {200, "2400:cb00:2048:0001:0000:0000:6ca2:c665\n", "2400:cb00:2048:1::6ca2:c665"},
        {200, "3fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff\n",
         "3fff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
        {200, "2001:db8:0:0:0:0:0:0007" + std::string(40, ' '), nullptr},
        {200, "1fff:ffff::1\n", nullptr},        // below 2000::/3
        {200, "4000::1\n", nullptr},             // above it
        {200, "fe80::1\n", nullptr},             // link-local
        {200, "fd00:1::1\n", nullptr},           // unique local
        {200, "::ffff:198.51.100.7\n", nullptr}, // IPv4-mapped
        {200, "::1\n", nullptr},
        {200, "ff02::1\n", nullptr},
        {200, "198.51.100.7\n", nullptr},
        {200, "2001:db8::7\r\n", nullptr},
        {200, std::string("2001:db8::7\0x", 13), nullptr},
        {503, "2001:db8::7\n", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        char field[KIVO_EXTERN_IP_SIZE] = "2001:db8::99";
        std::string answer = c.answer;
        testing::internal::CaptureStdout();
        int taken = kivo_extern_ip6_take_answer(source, c.status, answer.data(), answer.size(),
                                                field);
        std::fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(c.address != nullptr, taken == 1);
        EXPECT_STREQ(c.address != nullptr ? c.address : "2001:db8::99", field);
        EXPECT_EQ(c.address != nullptr
                      ? std::string(source->url) + ", raw, extern_ip: |" + c.address + "|\n"
                      : "",
                  out);
    }
}

// Every refused block by its edges, with the accepted neighbours around it, in
// both answer forms. The documentation blocks are accepted.
TEST(ExternIpAnswer, OnlyAddressesThatCanBePublicCount)
{
    const struct {
        const char *address;
        bool accepted;
    } cases[] = {
        {"0.0.0.0", false},         {"0.1.2.3", false},       {"0.255.255.255", false},
        {"1.0.0.0", true},          {"9.255.255.255", true},  {"10.0.0.0", false},
        {"10.0.0.1", false},        {"10.255.255.255", false}, {"11.0.0.0", true},
        {"100.63.255.255", true},   {"100.64.0.0", false},    {"100.64.0.1", false},
        {"100.127.255.255", false}, {"100.128.0.0", true},    {"126.255.255.255", true},
        {"127.0.0.1", false},       {"127.255.255.255", false}, {"128.0.0.0", true},
        {"169.253.255.255", true},  {"169.254.1.1", false},   {"169.254.255.255", false},
        {"169.255.0.0", true},      {"172.15.255.255", true}, {"172.16.0.1", false},
        {"172.31.255.255", false},  {"172.32.0.0", true},     {"191.255.255.255", true},
        {"192.0.0.0", false},       {"192.0.0.255", false},   {"192.0.1.0", true},
        {"192.0.2.1", true},        {"192.167.255.255", true}, {"192.168.1.1", false},
        {"192.168.255.255", false}, {"192.169.0.0", true},    {"198.17.255.255", true},
        {"198.18.0.1", false},      {"198.19.255.255", false}, {"198.20.0.0", true},
        {"198.51.100.1", true},     {"203.0.113.7", true},    {"223.255.255.255", true},
        {"224.0.0.1", false},       {"239.255.255.255", false}, {"240.0.0.1", false},
        {"255.255.255.254", false}, {"255.255.255.255", false},
    };
    for (const auto &c : cases) {
        for (const kivo_extern_ip_source *source : {&kPlain, &kJson}) {
            SCOPED_TRACE(testing::Message() << c.address << (source->is_json ? " json" : " plain"));
            std::string answer = source->is_json ? std::string("{\"ip\":\"") + c.address + "\"}"
                                                 : std::string(c.address) + "\n";
            char field[KIVO_EXTERN_IP_SIZE] = "192.0.2.99";
            testing::internal::CaptureStdout();
            int taken = kivo_extern_ip_take_answer(source, 200, answer.data(), answer.size(),
                                                   field);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(c.accepted ? 1 : 0, taken);
            EXPECT_STREQ(c.accepted ? c.address : "192.0.2.99", field);
        }
    }
}

TEST(ExternIpAnswer, StatusLineEscapesControlBytes)
{
    const struct {
        std::string answer;
        const char *line;
    } cases[] = {
        {"203.0.113.7\n", "ret == 200, buffer: |203.0.113.7\n|\n"},
        {"", "ret == 200, buffer: ||\n"},
        {"\x1b[2J\x1b]0;owned\x07ok\r\n", "ret == 200, buffer: |\\x1b[2J\\x1b]0;owned\\x07ok\\x0d\n|\n"},
        {std::string("1.2.3.4\0garbage", 15), "ret == 200, buffer: |1.2.3.4\\x00garbage|\n"},
        {"tab\there\x7f\x1f~ \xe9\xbb\x98", "ret == 200, buffer: |tab\\x09here\\x7f\\x1f~ \xe9\xbb\x98|\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        testing::internal::CaptureStdout();
        kivo_extern_ip_print_status(200, c.answer.data(), c.answer.size());
        std::fflush(stdout);
        EXPECT_EQ(c.line, testing::internal::GetCapturedStdout());
    }
}

} // namespace
