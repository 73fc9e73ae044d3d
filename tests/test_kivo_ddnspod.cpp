// The record client over real HTTPS against the DNSPod stand-in, in a private
// network namespace where dnsapi.cn is 127.0.0.1.
#include "kivo_ddnspod.h"

#include <gtest/gtest.h>

#include <string>

#include "ddns_standin.h"
#include "libkivo_log.h"

namespace {

constexpr char kToken[] = "40001,0123456789abcdef0123456789abcdef";
constexpr char kZone[] = "example.com";
constexpr char kUntouched = 99;

const std::string kListBody =
    std::string("login_token=") + kToken + "&format=json&domain=example.com&sub_domain=home";

std::string record_set(const char *value)
{
    return std::string("[{\"id\":1234567,\"domain\":\"example.com\",\"name\":\"home\","
                       "\"type\":\"A\",\"line\":\"默认\",\"value\":\"") +
           value + "\"}]";
}

class Ddnspod : public ::testing::Test {
protected:
    void start(const std::string &records, const std::string &control = "{}")
    {
        ASSERT_EQ(0, ddns_world_enter(world_, records, control));
        libkivo_log_init_just_for_debug();
        kivo_ddnspod_login_forget();
    }
    void TearDown() override
    {
        kivo_ddnspod_clock = real_clock_;
        ddns_world_leave(world_);
    }

    // One register call with its log records (standard error) as the result.
    std::string reg(const char *token, const char *ip, int *result)
    {
        testing::internal::CaptureStderr();
        kivo_ddnspod_register_domain_name(token, "home", kZone, ip, result);
        return testing::internal::GetCapturedStderr();
    }
    std::vector<ddns_request> api() { return ddns_world_requests(world_, "dnsapi.cn"); }

    ddns_world world_;
    long (*real_clock_)(void) = kivo_ddnspod_clock;
};

// The rationing's clock in tests: seconds that the test sets.
long test_now = 0;
long test_clock(void)
{
    return test_now;
}

// Each test uses addresses of its own: the last confirmed address lives as long
// as the process, and the tests may share one.

TEST_F(Ddnspod, ChangedAddressIsModifiedThenConfirmedThenLeftAlone)
{
    start(record_set("10.1.0.1"));
    int result = kUntouched;
    std::string log = reg(kToken, "10.1.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_MODIFIED, result);
    EXPECT_NE(std::string::npos, log.find("kivo_ddnspod_register_domain_name 175 INFO[1]: "
                                          "\033[0mexist and diff: home.example.com --> 10.1.0.2\n"))
        << log;

    std::vector<ddns_request> r = api();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("https", r[0].scheme);
    EXPECT_EQ("POST", r[0].method);
    EXPECT_EQ("/Record.List", r[0].path);
    EXPECT_EQ(kListBody, r[0].body);
    EXPECT_EQ("kivoedge/2.0", r[0].user_agent);
    EXPECT_EQ("application/x-www-form-urlencoded", r[0].content_type);
    EXPECT_EQ("/Record.Modify", r[1].path);
    EXPECT_EQ(kListBody + "&record_type=A&record_line=\xE9\xBB\x98\xE8\xAE\xA4&value=10.1.0.2"
                          "&record_id=1234567",
              r[1].body);
    EXPECT_NE(std::string::npos, ddns_world_file(world_, "records.json").find("\"10.1.0.2\""));

    log = reg(kToken, "10.1.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_SAME, result);
    EXPECT_NE(std::string::npos, log.find(" 168 INFO[1]: \033[0mexist and same: "
                                          "home.example.com --> 10.1.0.2\n"))
        << log;
    EXPECT_EQ(3u, api().size());

    // Confirmed: nothing is sent, nothing logged, the result left as it was.
    result = kUntouched;
    EXPECT_EQ("", reg(kToken, "10.1.0.2", &result));
    EXPECT_EQ(kUntouched, result);
    EXPECT_EQ(3u, api().size());
}

TEST_F(Ddnspod, MissingRecordIsCreated)
{
    start("[]");
    int result = kUntouched;
    std::string log = reg(kToken, "10.2.0.1", &result);
    EXPECT_EQ(KIVO_REGISTER_CREATED, result);
    EXPECT_NE(std::string::npos,
              log.find(" 161 INFO[1]: \033[0mcreate: home.example.com --> 10.2.0.1\n"))
        << log;
    std::vector<ddns_request> r = api();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("/Record.List", r[0].path);
    EXPECT_EQ("/Record.Create", r[1].path);
    EXPECT_EQ(kListBody + "&record_type=A&record_line=\xE9\xBB\x98\xE8\xAE\xA4&value=10.2.0.1",
              r[1].body);
    EXPECT_EQ("kivoedge/2.0", r[1].user_agent);

    log = reg(kToken, "10.2.0.1", &result);
    EXPECT_EQ(KIVO_REGISTER_SAME, result);
    EXPECT_NE(std::string::npos, log.find("exist and same: home.example.com --> 10.2.0.1")) << log;
    EXPECT_EQ(3u, api().size());
}

TEST_F(Ddnspod, RefusedTokenCreatesNothing)
{
    start(record_set("10.3.0.1"), std::string("{\"refused_tokens\":[\"") + kToken + "\"]}");
    int result = kUntouched;
    std::string log = reg(kToken, "10.3.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_NONE, result);
    EXPECT_NE(std::string::npos,
              log.find(" 181 ERROR[4]: \033[0merror: home.example.com --> 10.3.0.2\n"))
        << log;
    std::vector<ddns_request> r = api();
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ("/Record.List", r[0].path);

    // Another token is heard: the refusal was not taken for a confirmed address.
    reg("40002,fedcba9876543210fedcba9876543210", "10.3.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_MODIFIED, result);
}

TEST_F(Ddnspod, RefusedCreateOrModifyIsAnErrorAndConfirmsNothing)
{
    start(record_set("10.7.0.1"), "{\"dnspod_codes\":{\"/Record.Modify\":\"104\"}}");
    int result = kUntouched;
    std::string log = reg(kToken, "10.7.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_NONE, result); // the caller may try its other token
    size_t info = log.find(" 175 INFO[1]: \033[0mexist and diff: home.example.com --> 10.7.0.2\n");
    size_t error = log.find(" ERROR[4]: \033[0mmodify refused: home.example.com --> 10.7.0.2, "
                            "code 104: Record is locked\n");
    ASSERT_NE(std::string::npos, info) << log;
    ASSERT_NE(std::string::npos, error) << log;
    EXPECT_LT(info, error);
    EXPECT_NE(std::string::npos, log.find("kivo_ddnspod_register_domain_name 188 ERROR[4]")) << log;

    // Not taken as done: the next call lists and modifies again, and once
    // DNSPod does it, the record is confirmed.
    ddns_world_control(world_, "{}");
    reg(kToken, "10.7.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_MODIFIED, result);
    reg(kToken, "10.7.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_SAME, result);
    std::vector<std::string> paths;
    for (const ddns_request &r : api())
        paths.push_back(r.path);
    EXPECT_EQ((std::vector<std::string>{"/Record.List", "/Record.Modify", "/Record.List",
                                        "/Record.Modify", "/Record.List"}),
              paths);

    // A refused create; modifies still go through.
    ddns_world_control(world_, "{\"dnspod_codes\":{\"/Record.Create\":\"-15\"}}");
    reg(kToken, "10.7.0.3", &result);
    EXPECT_EQ(KIVO_REGISTER_MODIFIED, result);
    result = kUntouched;
    testing::internal::CaptureStderr();
    kivo_ddnspod_register_domain_name(kToken, "other", kZone, "10.7.0.3", &result); // no record
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(KIVO_REGISTER_NONE, result);
    EXPECT_NE(std::string::npos, log.find("create: other.example.com --> 10.7.0.3\n")) << log;
    EXPECT_NE(std::string::npos, log.find("create refused: other.example.com --> 10.7.0.3, "
                                          "code -15: Failed\n"))
        << log;
}

// Ten simulated minutes of one-second passes with a refused token: it is sent
// once a minute at most, and never more than five times in five minutes; each
// refusal says when the token goes out again. Another token is not held back.
TEST_F(Ddnspod, RefusedLoginsAreRationed)
{
    const char kOther[] = "40003,00000000000000000000000000000003";
    start(record_set("10.8.0.1"), std::string("{\"refused_tokens\":[\"") + kToken + "\"]}");
    kivo_ddnspod_clock = test_clock;
    std::vector<long> sent;
    std::string log;
    for (test_now = 1000; test_now < 1600; ++test_now) {
        size_t before = api().size();
        int result = kUntouched;
        log += reg(kToken, "10.8.0.2", &result);
        if (api().size() > before)
            sent.push_back(test_now);
        else
            EXPECT_EQ(kUntouched, result) << test_now; // resting: nothing done, nothing set
    }
    ASSERT_LE(3u, sent.size());
    EXPECT_EQ(1000, sent[0]);
    EXPECT_EQ(1060, sent[1]);
    EXPECT_EQ(1120, sent[2]); // 3 logins in the first two minutes (and a second)
    for (size_t i = 1; i < sent.size(); ++i)
        EXPECT_LE(KIVO_DDNSPOD_LOGIN_REST, sent[i] - sent[i - 1]);
    for (size_t i = KIVO_DDNSPOD_LOGIN_MAX; i < sent.size(); ++i)
        EXPECT_LT(KIVO_DDNSPOD_LOGIN_WINDOW, sent[i] - sent[i - KIVO_DDNSPOD_LOGIN_MAX]) << i;
    EXPECT_EQ(10u, sent.size()); // 0, 60, ..., 240, then 301, 361, ..., 541
    EXPECT_EQ(sent.size(), count(log, "INFO[1]: \033[0mlogin refused: home.example.com --> "
                                      "10.8.0.2, token 40001 rests "));
    EXPECT_NE(std::string::npos, log.find("token 40001 rests 60 s, until ")) << log;
    EXPECT_NE(std::string::npos, log.find("token 40001 rests 61 s, until ")) << log;
    EXPECT_EQ(std::string::npos, log.find("0123456789abcdef")); // never the whole token

    // Another token goes out at once; the refused one, accepted now, after its rest.
    ddns_world_control(world_, "{}");
    int result = kUntouched;
    reg(kOther, "10.8.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_MODIFIED, result);
    test_now = 1600 + kivo_ddnspod_login_wait(kToken, 1600);
    EXPECT_EQ(1602, test_now); // the failure at 1301 leaves the window at 1602
    result = kUntouched;
    reg(kToken, "10.8.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_SAME, result);
}

TEST_F(Ddnspod, NoAnswerIsAnError)
{
    start(record_set("10.4.0.1"), "{\"dnspod\":\"drop\"}");
    int result = kUntouched;
    std::string log = reg(kToken, "10.4.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_NONE, result);
    EXPECT_NE(std::string::npos, log.find("error: home.example.com --> 10.4.0.2")) << log;
    EXPECT_EQ(1u, api().size());

    // An error page is no API answer either.
    ddns_world_control(world_, "{\"dnspod\":\"status:502\"}");
    result = kUntouched;
    reg(kToken, "10.4.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_NONE, result);
    EXPECT_EQ(2u, api().size());
}

TEST_F(Ddnspod, OverlongRequestIsNotSent)
{
    start("[]");
    // The modify body with a 20-digit record id, 95 bytes of form besides the
    // values, is the longest: 255 + 122 + 11 + 8 + 20 + 95 = 511 bytes just fit.
    std::string token(255, 't');
    std::string sub(123, 's');
    int result = kUntouched;
    testing::internal::CaptureStderr();
    kivo_ddnspod_register_domain_name(token.c_str(), sub.c_str(), kZone, "10.5.0.2", &result);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(KIVO_REGISTER_NONE, result);
    EXPECT_NE(std::string::npos, log.find("error: " + sub + ".example.com --> 10.5.0.2")) << log;
    EXPECT_NE(std::string::npos, log.find("longer than 511 bytes")) << log;
    EXPECT_TRUE(api().empty());

    sub.pop_back();
    kivo_ddnspod_register_domain_name(token.c_str(), sub.c_str(), kZone, "10.5.0.2", &result);
    EXPECT_EQ(KIVO_REGISTER_CREATED, result);
    std::vector<ddns_request> r = api();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ("login_token=" + token + "&format=json&domain=example.com&sub_domain=" + sub +
                  "&record_type=A&record_line=\xE9\xBB\x98\xE8\xAE\xA4&value=10.5.0.2",
              r[1].body); // sent whole
}

TEST_F(Ddnspod, OnlyAnAddressIsPublished)
{
    start("[]");
    for (const char *ip : {"0.0.0.0", "", "10.6.0.1\r", "not.an.address", "2001:db8::1",
                           "10.6.0.256"}) {
        SCOPED_TRACE(ip);
        int result = kUntouched;
        EXPECT_EQ("", reg(kToken, ip, &result));
        EXPECT_EQ(kUntouched, result);
    }
    EXPECT_TRUE(api().empty());
}

} // namespace
