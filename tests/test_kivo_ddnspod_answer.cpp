// Reading of Record.List answers shaped like DNSPod's own: the name's records of
// every type and line, whole, and answers cut or too long.
#include "kivo_ddnspod.h"
#include "kivo_metrics.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr int64_t kUnset = -77;

// Record.List as DNSPod answers it: status, domain and info objects, then the
// records with quoted ids. @PAD@ lies in the domain object, before "records",
// so a test can move any part of the records to the cut.
const std::string kStatusDone =
    "{\"status\":{\"code\":\"1\",\"message\":\"Action completed successful\","
    "\"created_at\":\"2026-12-08 10:00:00\"},";
const std::string kDomain =
    "\"domain\":{\"id\":\"87654321\",\"name\":\"example.com\",\"punycode\":\"example.com\","
    "\"grade\":\"DP_Free\",\"owner\":\"owner@example.com@PAD@\",\"ext_status\":\"\",\"ttl\":600,"
    "\"min_ttl\":600,\"dnspod_ns\":[\"f1g1ns1.dnspod.net\",\"f1g1ns2.dnspod.net\"],"
    "\"status\":\"enable\",\"can_handle_at_ns\":true},"
    "\"info\":{\"sub_domains\":\"2\",\"record_total\":\"2\",\"records_num\":\"2\"},";

std::string record(const char *id, const char *value, const char *type = "A",
                   const char *line = "默认")
{
    return std::string("{\"id\":\"") + id +
           "\",\"ttl\":\"600\",\"value\":\"" + value +
           "\",\"enabled\":\"1\",\"status\":\"enable\",\"updated_on\":\"2026-12-08 09:00:00\","
           "\"name\":\"home\",\"line\":\"" + line + "\",\"line_id\":\"0\",\"type\":\"" + type +
           "\",\"weight\":null,\"monitor_status\":\"\",\"remark\":\"\",\"use_aqb\":\"no\","
           "\"mx\":\"0\"}";
}

std::string list_answer(const std::string &records, const std::string &pad = "")
{
    std::string text = kStatusDone + kDomain + "\"records\":[" + records + "]}";
    return text.replace(text.find("@PAD@"), 5, pad);
}

const std::string kTwoRecords = record("1234567", "10.0.0.9") + "," + record("7654321", "10.0.0.1");

struct answer_case {
    const char *name;
    std::string answer;
    int32_t code;
    int64_t id; // kUnset: must stay untouched
};

int32_t read(const std::string &answer, int64_t *id, const char *address = "10.0.0.1")
{
    return kivo_ddnspod_read_list_answer(answer.c_str(), answer.size(), address, id);
}

// Sets the record the client keeps for the length of a scope.
struct record_kind {
    kivo_ddnspod_record saved = kivo_ddnspod_record_info;
    record_kind(const char *type, const char *line)
    {
        std::strcpy(kivo_ddnspod_record_info.type, type);
        std::strcpy(kivo_ddnspod_record_info.line, line);
    }
    ~record_kind() { kivo_ddnspod_record_info = saved; }
};

TEST(DdnspodAnswer, WholeAnswers)
{
    const answer_case cases[] = {
        {"first record holds the address", list_answer(record("1234567", "10.0.0.1")),
         KIVO_DDNSPOD_LIST_SAME, 1234567},
        {"first record differs, the second holding the address is not looked at",
         list_answer(kTwoRecords), KIVO_DDNSPOD_LIST_DIFF, 1234567},
        {"value that only starts with the address", list_answer(record("5", "10.0.0.11")),
         KIVO_DDNSPOD_LIST_DIFF, 5},
        {"empty record list", list_answer(""), KIVO_DDNSPOD_LIST_MISSING, kUnset},
        {"code 10, no records", "{\"status\":{\"code\":\"10\",\"message\":\"No records\"}," +
                                    kDomain.substr(0, kDomain.size() - 1) + "}",
         KIVO_DDNSPOD_LIST_MISSING, kUnset},
        {"bare code and id", "{\"status\":{\"code\":1,\"message\":\"ok\"},\"records\":[{\"id\":42,"
                             "\"type\":\"A\",\"line\":\"默认\",\"value\":\"10.0.0.1\"}]}",
         KIVO_DDNSPOD_LIST_SAME, 42},
        {"blanks and escapes", "{\"status\": {\"code\" : \"1\"}, \"records\": "
                               "[{\"id\": \"8\", \"type\": \"\\u0041\", "
                               "\"line\": \"\\u9ed8\\u8ba4\", "
                               "\"value\" : \"10.0.0.1\"}]}",
         KIVO_DDNSPOD_LIST_SAME, 8},
        {"AAAA record listed first", list_answer(record("11", "2001:db8::5", "AAAA") + "," +
                                                 record("12", "10.0.0.1")),
         KIVO_DDNSPOD_LIST_SAME, 12},
        {"record on another line first", list_answer(record("21", "10.0.0.9", "A", "电信") + "," +
                                                     record("22", "10.0.0.8")),
         KIVO_DDNSPOD_LIST_DIFF, 22},
        {"only other types and lines", list_answer(record("31", "mail.example.com.", "MX") + "," +
                                                   record("32", "10.0.0.1", "A", "联通") + "," +
                                                   record("33", "10.0.0.1", "a")),
         KIVO_DDNSPOD_LIST_MISSING, kUnset},
        {"an escaped NUL makes no answer", list_answer(record("41", "10.0.0.1", "A\\u0000X")),
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"id that is no number", list_answer(record("4x", "10.0.0.1")), KIVO_DDNSPOD_LIST_NONE,
         kUnset},
        {"id 0", list_answer(record("0", "10.0.0.1")), KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"records not an array", "{\"status\":{\"code\":\"1\"},\"records\":{\"id\":\"5\"}}",
         KIVO_DDNSPOD_LIST_MISSING, kUnset},
        {"status after the records is still read",
         "{\"records\":[" + record("51", "10.0.0.2") + "],\"status\":{\"code\":\"1\"}}",
         KIVO_DDNSPOD_LIST_DIFF, 51},
        {"JSON with trailing garbage", list_answer(record("61", "10.0.0.1")) + "x",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"record without a value",
         "{\"status\":{\"code\":\"1\"},\"records\":[{\"id\":\"9\",\"type\":\"A\",\"line\":\"默认\"}]}",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"refused login token", "{\"status\":{\"code\":\"-1\",\"message\":\"Login failed, "
                                "please check your login token\",\"created_at\":\"x\"}}",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"other API error with records", "{\"status\":{\"code\":\"6\",\"message\":\"Domain id "
                                         "invalid\"},\"records\":[]}",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"code 100 is not 10", "{\"status\":{\"code\":\"100\"}}", KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"status without a code", "{\"status\":{\"message\":\"x\"},\"records\":[]}",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"HTML error page", "<html><body><h1>502 Bad Gateway</h1></body></html>",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"no answer", "", KIVO_DDNSPOD_LIST_NONE, kUnset},
        {"value key without its text", "{\"status\":{\"code\":\"1\"},\"records\":[{\"id\":\"3\","
                                       "\"type\":\"A\",\"line\":\"默认\",\"value\":null}]}",
         KIVO_DDNSPOD_LIST_NONE, kUnset},
    };
    for (const answer_case &c : cases) {
        SCOPED_TRACE(c.name);
        int64_t id = kUnset;
        EXPECT_EQ(c.code, read(c.answer, &id));
        EXPECT_EQ(c.id, id);
    }
}

TEST(DdnspodAnswer, StatusCodeAndMessage)
{
    const struct {
        std::string answer;
        int found;
        const char *code, *message;
    } cases[] = {
        {kStatusDone + "\"record\":{\"id\":\"1\"}}", 1, "1", "Action completed successful"},
        {"{\"status\":{\"code\":\"104\",\"message\":\"Record is locked\"}}", 1, "104",
         "Record is locked"},
        {"{\"status\":{\"code\":-1,\"message\":\"Login failed\"}}", 1, "-1", "Login failed"},
        {"{\"status\" : { \"code\" : 1 }}", 1, "1", ""},
        {"{\"status\":{\"code\":\"8\",\"message\":\"a\x1b[2Jb\\u001b\"}}", 1, "8", "a?[2Jb\\u001b"},
        {"{\"status\":{\"code\":\"1\",\"message\":\"" + std::string(300, 'm') + "\"}}", 1, "1",
         nullptr},
        {"{\"status\":{\"code\":\"1x\"}}", 0, "", ""},
        {"{\"status\":{\"code\":\"\"}}", 0, "", ""},
        {"{\"status\":{\"code\":10", 0, "", ""}, // digits that may go on
        {"{\"code\":\"1\"}", 0, "", ""},
        {"", 0, "", ""},
        {"<html>502 Bad Gateway</html>", 0, "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.answer);
        kivo_ddnspod_status status;
        std::memset(&status, 'z', sizeof status);
        EXPECT_EQ(c.found, kivo_ddnspod_read_status(c.answer.c_str(), &status));
        EXPECT_STREQ(c.code, status.code);
        if (c.message != nullptr)
            EXPECT_STREQ(c.message, status.message);
        else
            EXPECT_EQ(std::string(sizeof status.message - 1, 'm'), status.message);
    }
}

TEST(DdnspodForm, OperatorValuesArePercentEncoded)
{
    const struct {
        std::string value;
        const char *form;
    } cases[] = {
        {"home", "home"},
        {"50001,00112233445566778899aabbccddeeff", "50001,00112233445566778899aabbccddeeff"},
        {"@", "@"},
        {"*", "*"},
        {"*.edge-1_a.example.com", "*.edge-1_a.example.com"},
        {"a&b", "a%26b"},
        {"a=b", "a%3Db"},
        {"a+b", "a%2Bb"},
        {"a%41b", "a%2541b"},
        {"a b", "a%20b"},
        {"a\tb\r\n", "a%09b%0D%0A"},
        {"\x7f~", "%7F~"},
        {"默认", "%E9%BB%98%E8%AE%A4"},
        {"", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        char out[64];
        EXPECT_EQ(std::strlen(c.form), kivo_ddnspod_form_value(out, sizeof out, c.value.c_str()));
        EXPECT_STREQ(c.form, out);
    }
    // Cut only between whole escapes, and counted whole.
    char small[6];
    EXPECT_EQ(7u, kivo_ddnspod_form_value(small, sizeof small, "abc&d"));
    EXPECT_STREQ("abc", small);
    EXPECT_EQ(7u, kivo_ddnspod_form_value(small, sizeof small, "ab&cd"));
    EXPECT_STREQ("ab%26", small);
    EXPECT_EQ(6u, kivo_ddnspod_form_value(small, sizeof small, "abcdef"));
    EXPECT_STREQ("abcde", small);
}

TEST(DdnspodForm, LengthCheckCountsTheEncodedBody)
{
    // 255 + 122 + 11 + 8 + 20 + 95 = 511 bytes just fit (as with plain values);
    // one value byte that needs encoding adds two.
    std::string token(255, 't'), sub(122, 's');
    EXPECT_TRUE(kivo_ddnspod_bodies_fit(token.c_str(), sub.c_str(), "example.com", "10.5.0.2"));
    sub.replace(0, 1, "&");
    EXPECT_FALSE(kivo_ddnspod_bodies_fit(token.c_str(), sub.c_str(), "example.com", "10.5.0.2"));
    sub.resize(120);
    EXPECT_TRUE(kivo_ddnspod_bodies_fit(token.c_str(), sub.c_str(), "example.com", "10.5.0.2"));
}

TEST(DdnspodAnswer, CutOrOverlongAnswersDecideNothing)
{
    // Cut anywhere, even after the program's record, an answer is no JSON.
    const std::string whole = list_answer(record("1234567", "10.0.0.1") + "," +
                                          record("7654321", "10.0.0.2", "AAAA"));
    for (size_t keep : {size_t{1}, whole.find("\"records\"") + 11, whole.find("\"7654321\""),
                        whole.size() - 1}) {
        SCOPED_TRACE(keep);
        int64_t id = kUnset;
        EXPECT_EQ(KIVO_DDNSPOD_LIST_NONE, read(whole.substr(0, keep), &id));
        EXPECT_EQ(kUnset, id);
    }

    // The record far beyond the first kilobyte is found; an answer up to
    // 64 KiB is read whole, one byte more is no answer.
    std::string others;
    while (others.size() < 3000)
        others += record("99", "v=spf1 -all", "TXT") + ",";
    const std::string late = list_answer(others + record("1234567", "10.0.0.1"));
    int64_t id = kUnset;
    EXPECT_EQ(KIVO_DDNSPOD_LIST_SAME, read(late, &id));
    EXPECT_EQ(1234567, id);

    const std::string bare = list_answer(record("1234567", "10.0.0.1"));
    std::string full = list_answer(record("1234567", "10.0.0.1"),
                                   std::string(KIVO_DDNSPOD_LIST_ANSWER_MAX - bare.size(), 'x'));
    ASSERT_EQ(size_t{KIVO_DDNSPOD_LIST_ANSWER_MAX}, full.size());
    id = kUnset;
    EXPECT_EQ(KIVO_DDNSPOD_LIST_SAME, read(full, &id));
    full.insert(full.find("@example.com") + 1, "x");
    id = kUnset;
    EXPECT_EQ(KIVO_DDNSPOD_LIST_NONE, read(full, &id));
    EXPECT_EQ(kUnset, id);
}

TEST(DdnspodAnswer, RecordOfTheProgramsTypeAndLine)
{
    const std::string answer =
        list_answer(record("1", "10.0.0.1") + "," + record("2", "2001:db8::5", "AAAA") + "," +
                    record("3", "10.0.0.7", "A", "电信") + "," +
                    record("4", "2001:DB8:0:0:0:0:0:9", "AAAA", "电信"));
    struct kind_case {
        const char *type, *line, *address;
        int32_t code;
        int64_t id;
    } cases[] = {
        {"AAAA", "默认", "2001:db8::5", KIVO_DDNSPOD_LIST_SAME, 2},
        {"AAAA", "默认", "2001:db8::6", KIVO_DDNSPOD_LIST_DIFF, 2},
        {"A", "电信", "10.0.0.7", KIVO_DDNSPOD_LIST_SAME, 3},
        // The same address in another spelling is the same AAAA value.
        {"AAAA", "电信", "2001:db8::9", KIVO_DDNSPOD_LIST_SAME, 4},
        {"AAAA", "联通", "2001:db8::9", KIVO_DDNSPOD_LIST_MISSING, kUnset},
    };
    for (const kind_case &c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.line + " " + c.address);
        record_kind kind(c.type, c.line);
        int64_t id = kUnset;
        EXPECT_EQ(c.code, read(answer, &id, c.address));
        EXPECT_EQ(c.id, id);
    }
}

TEST(DdnspodAnswer, BodyLimitCountsTheWidestRecordId)
{
    // login_token=&format=json&domain=&sub_domain=&record_type=A&record_line=默认
    // &value=&record_id= is 95 bytes; with a 20-character id and a 15-character
    // address, 511 bytes leave 381 for the token and the two names.
    std::string names(127, 'n');
    std::string token(381 - 2 * names.size(), 't');
    const char *ip = "255.255.255.255";
    EXPECT_NE(0, kivo_ddnspod_bodies_fit(token.c_str(), names.c_str(), names.c_str(), ip));
    token += 't';
    EXPECT_EQ(0, kivo_ddnspod_bodies_fit(token.c_str(), names.c_str(), names.c_str(), ip));
    std::string longest_token(255, 't');
    EXPECT_EQ(0, kivo_ddnspod_bodies_fit(longest_token.c_str(), names.c_str(), names.c_str(), ip));
}

// Each (action, code) pair DNSPod answered is a row of its own; once the rows
// are full, later pairs count under action "other", each by what came of it.
TEST(DdnspodAnswer, CodesBeyondTheMetricsRowsCountAsOtherByOutcome)
{
    kivo_metrics_info = kivo_metrics_record{};
    kivo_metrics_init("", "home", "example.com", "A", "默认", 300);
    for (int code = 100; code < 100 + KIVO_METRICS_DNSPOD_ROWS; code++)
        kivo_metrics_dnspod(KIVO_METRICS_LIST, std::to_string(code).c_str());
    kivo_metrics_dnspod(KIVO_METRICS_LIST, "100");
    kivo_metrics_dnspod(KIVO_METRICS_CREATE, "1");
    kivo_metrics_dnspod(KIVO_METRICS_MODIFY, "7");
    kivo_metrics_dnspod(KIVO_METRICS_MODIFY, "8");
    kivo_metrics_dnspod(KIVO_METRICS_LIST, "");
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    ASSERT_NE(nullptr, out);
    kivo_metrics_print(out, &kivo_metrics_info);
    std::fclose(out);
    const std::string page(text, size);
    std::free(text);
    const std::string series = "kivo_ddns_dnspod_requests_total{record=\"home.example.com\","
                               "type=\"A\",line=\"默认\",action=\"";
    for (const char *sample : {"list\",outcome=\"refused\",code=\"100\"} 2\n",
                               "list\",outcome=\"refused\",code=\"123\"} 1\n",
                               "other\",outcome=\"ok\",code=\"other\"} 1\n",
                               "other\",outcome=\"refused\",code=\"other\"} 2\n",
                               "other\",outcome=\"no_answer\",code=\"other\"} 1\n"})
        EXPECT_NE(std::string::npos, page.find(series + sample)) << sample << page;
    EXPECT_EQ(std::string::npos, page.find("action=\"create\"")) << page;
    EXPECT_EQ(std::string::npos, page.find("action=\"modify\"")) << page;
}

} // namespace
