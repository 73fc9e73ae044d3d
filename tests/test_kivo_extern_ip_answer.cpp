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
        {&kJson, 404, "{\"ip\":\"198.51.100.4\"}", nullptr},
    };
    for (const take_case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " |" << c.answer << "|");
        char field[KIVO_EXTERN_IP_SIZE] = "192.0.2.99";
        std::string answer = c.answer;
        testing::internal::CaptureStdout();
        int taken = kivo_extern_ip_take_answer(c.source, c.status, answer.data(), field);
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

} // namespace
