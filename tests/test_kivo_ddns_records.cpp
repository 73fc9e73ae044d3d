// kivo_ddns end to end on names that hold more than the box's record: other
// types, other lines, long answers. Only the program's own record may change.
#include <gtest/gtest.h>
#include <jansson.h>

#include <string>
#include <vector>

#include "ddns_e2e.h"

namespace {

struct stored_record {
    std::string id, type, line, value;
    bool operator==(const stored_record &) const = default;
};

std::string text_of(json_t *object, const char *key)
{
    json_t *v = json_object_get(object, key);
    if (json_is_integer(v))
        return std::to_string(json_integer_value(v));
    return json_is_string(v) ? json_string_value(v) : "";
}

// The stand-in's record set as it stands now.
std::vector<stored_record> stored(const ddns_world &w)
{
    std::vector<stored_record> out;
    json_error_t error;
    json_t *all = json_loads(ddns_world_file(w, "records.json").c_str(), 0, &error);
    size_t i;
    json_t *r;
    json_array_foreach(all, i, r)
    {
        out.push_back({text_of(r, "id"), text_of(r, "type"), text_of(r, "line"),
                       text_of(r, "value")});
    }
    json_decref(all);
    return out;
}

std::string records_json(const std::vector<stored_record> &records)
{
    std::string text = "[";
    for (const stored_record &r : records) {
        if (text.size() > 1)
            text += ",";
        text += "{\"id\":" + r.id + ",\"domain\":\"example.com\",\"name\":\"home\",\"type\":\"" +
                r.type + "\",\"line\":\"" + r.line + "\",\"value\":\"" + r.value + "\"}";
    }
    return text + "]";
}

TEST_F(e2e, AaaaRecordListedFirstIsLeftAlone)
{
    const std::vector<stored_record> before = {{"501", "AAAA", "默认", "2001:db8::5"},
                                               {"502", "A", "默认", "198.51.100.7"}};
    ASSERT_NO_FATAL_FAILURE(start_until_confirmed(records_json(before), "203.0.113.5"));
    EXPECT_EQ((std::vector<stored_record>{{"501", "AAAA", "默认", "2001:db8::5"},
                                          {"502", "A", "默认", "203.0.113.5"}}),
              stored(world_));
    EXPECT_EQ((std::vector<std::string>{"/Record.List", "/Record.Modify", "/Record.List"}),
              paths());
    EXPECT_NE(std::string::npos, api()[1].body.find("&record_type=A&record_line=\xE9\xBB\x98"
                                                    "\xE8\xAE\xA4&value=203.0.113.5"
                                                    "&record_id=502"))
        << api()[1].body;
}

TEST_F(e2e, RecordOnAnotherLineListedFirstIsLeftAlone)
{
    const std::vector<stored_record> before = {{"601", "A", "电信", "198.51.100.8"},
                                               {"602", "A", "默认", "198.51.100.9"}};
    ASSERT_NO_FATAL_FAILURE(start_until_confirmed(records_json(before), "203.0.113.6"));
    EXPECT_EQ((std::vector<stored_record>{{"601", "A", "电信", "198.51.100.8"},
                                          {"602", "A", "默认", "203.0.113.6"}}),
              stored(world_));
}

TEST_F(e2e, RecordBeyondTheFirstKilobyteIsFound)
{
    // An MX and a long TXT first: the list answer is about 1.6 KB.
    const std::vector<stored_record> before = {
        {"701", "MX", "默认", "mail.example.com."},
        {"702", "TXT", "默认", "v=spf1 " + std::string(600, 'a')},
        {"703", "A", "默认", "198.51.100.10"}};
    ASSERT_NO_FATAL_FAILURE(start_until_confirmed(records_json(before), "203.0.113.7"));
    std::vector<stored_record> after = before;
    after[2].value = "203.0.113.7";
    EXPECT_EQ(after, stored(world_));
    ASSERT_LE(2u, api().size());
    EXPECT_EQ("/Record.Modify", api()[1].path);
}

TEST_F(e2e, OnlyOtherKindsMeansCreate)
{
    const std::vector<stored_record> before = {{"801", "AAAA", "默认", "2001:db8::8"},
                                               {"802", "A", "联通", "198.51.100.8"}};
    ASSERT_NO_FATAL_FAILURE(start_until_confirmed(records_json(before), "203.0.113.8"));
    std::vector<stored_record> after = stored(world_);
    ASSERT_EQ(3u, after.size());
    EXPECT_EQ(before[0], after[0]);
    EXPECT_EQ(before[1], after[1]);
    EXPECT_EQ("A", after[2].type);
    EXPECT_EQ("默认", after[2].line);
    EXPECT_EQ("203.0.113.8", after[2].value);
    EXPECT_EQ((std::vector<std::string>{"/Record.List", "/Record.Create", "/Record.List"}),
              paths());
}

} // namespace
