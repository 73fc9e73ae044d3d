// JSON getters over real jansson, and the address cache file on a real file system.
#include "libkivo_json.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "sandbox.h"
#include "temp_dir.h"

namespace {

// What no getter may leave behind when it fails.
constexpr char kUntouched[] = "untouched";

TEST(Json, StringIsCopiedAndCutToTheBuffer)
{
    std::string forty(40, 'a');
    std::string text = "{\"ip\":\"" + forty + "\"}";
    char out[32];
    EXPECT_EQ(-1, kivo_json_get_string(text.c_str(), "ip", out, sizeof out));
    EXPECT_EQ(std::string(31, 'a'), out);

    EXPECT_EQ(-1, kivo_json_get_string("{\"ip\":\"1.2.3.4\"}", "ip", out, 8));
    EXPECT_STREQ("1.2.3.4", out); // exactly size - 1 characters: whole
    EXPECT_EQ(-1, kivo_json_get_string("{\"ip\":\"1.2.3.45\"}", "ip", out, 8));
    EXPECT_STREQ("1.2.3.4", out); // one more: cut
    EXPECT_EQ(-1, kivo_json_get_string("{\"ip\":\"1.2.3.4\"}", "ip", out, 1));
    EXPECT_STREQ("", out);

    EXPECT_EQ(-1, kivo_json_get_string("{\"m\":\"100%s %d %n\"}", "m", out, sizeof out));
    EXPECT_STREQ("100%s %d %n", out);
}

TEST(Json, StringFromObjectIsBoundedToo)
{
    std::string text = "{\"data\":{\"ip\":\"" + std::string(100, '9') + "\"},\"ip\":\"x\"}";
    char out[16];
    std::memset(out, 'z', sizeof out);
    char guard[8];
    std::memset(guard, 'g', sizeof guard);
    EXPECT_EQ(-1, kivo_json_get_string_from_object(text.c_str(), "data", "ip", out, sizeof out));
    EXPECT_EQ(std::string(15, '9'), out);
    EXPECT_EQ(std::string(8, 'g'), std::string(guard, sizeof guard));

    char keep[16] = "untouched";
    EXPECT_EQ(0, kivo_json_get_string_from_object(text.c_str(), "ip", "ip", keep, sizeof keep));
    EXPECT_EQ(0, kivo_json_get_string_from_object(text.c_str(), "none", "ip", keep, sizeof keep));
    EXPECT_EQ(0, kivo_json_get_string_from_object(text.c_str(), nullptr, "ip", keep, sizeof keep));
    EXPECT_EQ(0, kivo_json_get_string_from_object("{\"data\":{\"ip\":5}}", "data", "ip", keep,
                                                  sizeof keep));
    EXPECT_STREQ(kUntouched, keep);
}

// One row per getter call that must fail and leave its output alone.
struct refused_case {
    const char *text;
    const char *key;
};

constexpr refused_case kRefused[] = {
    {"[\"ip\", 1]", "ip"},     // a root that is no object has no members
    {"", "ip"},                // empty text
    {"ip: 1.2.3.4", "ip"},     // not JSON
    {"{\"ip\":", "ip"},        // cut JSON
    {"{\"IP\":\"1.2.3.4\"}", "ip"}, // keys are compared exactly
    {"{\"other\":1}", "ip"},
    {"\"ip\"", "ip"},
};

TEST(Json, EveryGetterRefusesWhatIsNoMemberOfAnObject)
{
    for (const refused_case &c : kRefused) {
        SCOPED_TRACE(c.text);
        char s[16] = "untouched";
        double d = 7.5;
        int64_t l = 77;
        int32_t i = 7;
        int b = 7;
        EXPECT_EQ(0, kivo_json_get_string(c.text, c.key, s, sizeof s));
        EXPECT_EQ(0, kivo_json_get_double(c.text, c.key, &d));
        EXPECT_EQ(0, kivo_json_get_long(c.text, c.key, &l));
        EXPECT_EQ(0, kivo_json_get_int(c.text, c.key, &i));
        EXPECT_EQ(0, kivo_json_get_bool(c.text, c.key, &b));
        EXPECT_STREQ(kUntouched, s);
        EXPECT_EQ(7.5, d);
        EXPECT_EQ(77, l);
        EXPECT_EQ(7, i);
        EXPECT_EQ(7, b);
    }
}

TEST(Json, NumbersKeepTheirKind)
{
    double d = 0;
    EXPECT_EQ(0, kivo_json_get_double("{\"v\":5}", "v", &d));
    EXPECT_EQ(0.0, d);
    EXPECT_EQ(-1, kivo_json_get_double("{\"v\":5.0}", "v", &d));
    EXPECT_EQ(5.0, d);
    EXPECT_EQ(-1, kivo_json_get_double("{\"v\":-2.5e3}", "v", &d));
    EXPECT_EQ(-2500.0, d);

    int64_t l = 0;
    EXPECT_EQ(0, kivo_json_get_long("{\"v\":5.0}", "v", &l));
    EXPECT_EQ(0, kivo_json_get_long("{\"v\":\"5\"}", "v", &l));
    EXPECT_EQ(0, l);
    EXPECT_EQ(-1, kivo_json_get_long("{\"v\":-9223372036854775807}", "v", &l));
    EXPECT_EQ(-9223372036854775807LL, l);

    int32_t i = 0;
    EXPECT_EQ(-1, kivo_json_get_int("{\"v\":4294967297}", "v", &i));
    EXPECT_EQ(1, i);
    EXPECT_EQ(-1, kivo_json_get_int("{\"v\":4294967295}", "v", &i));
    EXPECT_EQ(-1, i);
    EXPECT_EQ(-1, kivo_json_get_int("{\"v\":-7}", "v", &i));
    EXPECT_EQ(-7, i);

    char s[8] = "keep";
    EXPECT_EQ(0, kivo_json_get_string("{\"ip\":1234}", "ip", s, sizeof s));
    EXPECT_STREQ("keep", s);
}

TEST(Json, BoolIsOnlyTrueOrFalse)
{
    int b = 7;
    EXPECT_EQ(0, kivo_json_get_bool("{\"v\":null}", "v", &b));
    EXPECT_EQ(0, kivo_json_get_bool("{\"v\":\"true\"}", "v", &b));
    EXPECT_EQ(0, kivo_json_get_bool("{\"v\":1}", "v", &b));
    EXPECT_EQ(0, kivo_json_get_bool("{\"w\":true}", "v", &b));
    EXPECT_EQ(7, b);
    EXPECT_EQ(-1, kivo_json_get_bool("{\"v\":false}", "v", &b));
    EXPECT_EQ(0, b);
    EXPECT_EQ(-1, kivo_json_get_bool("{\"v\":true}", "v", &b));
    EXPECT_EQ(1, b);
    EXPECT_EQ(0, kivo_json_get_bool("{\"v\":true}", "v", nullptr));
}

class JsonCacheFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        path_ = dir_ + "/extern_ip.json";
    }

    void write(const std::string &content) { ASSERT_TRUE(sandbox_write_file(path_, content)); }
    std::string read() { return sandbox_read_file(path_); }

    temp_dir scratch_{"json"};  // removed with the fixture
    std::string dir_ = scratch_.path;
    std::string path_;
};

TEST_F(JsonCacheFile, RoundTripKeepsTimeStampAndAddress)
{
    ASSERT_EQ(-1, kivo_json_put_ip_to_file(path_.c_str(), 1733650000, "203.0.113.7"));
    EXPECT_EQ("{\"t\":1733650000, \"ip\":\"203.0.113.7\"}", read());
    int64_t t = 0;
    char ip[32] = "";
    ASSERT_EQ(-1, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    EXPECT_EQ(1733650000, t);
    EXPECT_STREQ("203.0.113.7", ip);

    // The widest record: a 20-character time stamp and a 31-character address.
    std::string wide(31, '1');
    ASSERT_EQ(-1, kivo_json_put_ip_to_file(path_.c_str(), INT64_MIN, wide.c_str()));
    EXPECT_EQ(66u, read().size());
    ASSERT_EQ(-1, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    EXPECT_EQ(INT64_MIN, t);
    EXPECT_EQ(wide, ip);
}

TEST_F(JsonCacheFile, AnAddressTooLongToComeBackWholeIsRefused)
{
    ASSERT_EQ(-1, kivo_json_put_ip_to_file(path_.c_str(), 1, "192.0.2.1"));
    EXPECT_EQ(0, kivo_json_put_ip_to_file(path_.c_str(), 2, std::string(32, '1').c_str()));
    EXPECT_EQ("{\"t\":1, \"ip\":\"192.0.2.1\"}", read()); // the old file stays
}

TEST_F(JsonCacheFile, TimeStampWithoutAddressFailsAfterStoringIt)
{
    write("{\"t\":42}");
    int64_t t = 0;
    char ip[32] = "keep";
    EXPECT_EQ(0, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    EXPECT_EQ(42, t);
    EXPECT_STREQ("keep", ip);
}

TEST_F(JsonCacheFile, MissingEmptyOrOverlongFilesFail)
{
    int64_t t = 5;
    char ip[32] = "keep";
    EXPECT_EQ(0, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    write("");
    EXPECT_EQ(0, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    // Only 127 bytes are read: the closing brace lies beyond them.
    write("{\"t\":1, \"ip\":\"1.2.3.4\", \"pad\":\"" + std::string(120, 'p') + "\"}");
    EXPECT_EQ(0, kivo_json_get_ip_from_file(path_.c_str(), &t, ip));
    EXPECT_EQ(5, t);
    EXPECT_STREQ("keep", ip);
    EXPECT_EQ(0, kivo_json_put_ip_to_file((dir_ + "/no/such/dir").c_str(), 1, "1.2.3.4"));
}

} // namespace
