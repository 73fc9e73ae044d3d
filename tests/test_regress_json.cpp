// The address cache file: what the cache-file fuzzer found.
#include <gtest/gtest.h>

#include "sandbox.h"
#include "temp_dir.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "libkivo_json.h"

namespace {

class RegressCacheFile : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.empty()); }

    std::string write(const char *name, const std::string &text)
    {
        std::string path = dir_ + "/" + name;
        sandbox_write_file(path, text);
        return path;
    }

    temp_dir scratch_{"regress-json"};  // removed with the fixture
    std::string dir_ = scratch_.path;
};

} // namespace

// A cache file whose address holds an escaped quote reads back as a text with
// a quote in it. Written again, it went between the quotes as it was: the
// write said success and left a file that no reader parses. Such a text, and
// every other that needs an escape, is now refused and the old file kept.
TEST_F(RegressCacheFile, TextThatNeedsAnEscapeIsRefusedNotWrittenBroken)
{
    std::string source = write("source", R"({"t":7, "ip":"1.2.3.4\""})");
    int64_t t = 0;
    char ip[32] = "";
    ASSERT_EQ(-1, kivo_json_get_ip_from_file(source.c_str(), &t, ip));
    ASSERT_STREQ("1.2.3.4\"", ip);

    const std::string kept = R"({"t":1, "ip":"192.0.2.1"})";
    std::string cache = write("cache", kept);
    const char *refused[] = {ip, "1.2.3.4\\", "1.2.3.4\n", "1.2.3.\x01", "1.2.3.\xc3\xa9"};
    for (const char *text : refused) {
        SCOPED_TRACE(text);
        EXPECT_EQ(0, kivo_json_put_ip_to_file(cache.c_str(), 8, text));
        EXPECT_EQ(kept, sandbox_read_file(cache));
    }
    // A plain address still goes in and comes back.
    ASSERT_EQ(-1, kivo_json_put_ip_to_file(cache.c_str(), 9, "198.51.100.4"));
    ASSERT_EQ(-1, kivo_json_get_ip_from_file(cache.c_str(), &t, ip));
    EXPECT_EQ(9, t);
    EXPECT_STREQ("198.51.100.4", ip);
}
