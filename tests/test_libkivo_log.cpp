// The buffered file log: record format, write-out rules, rotation, levels, console copy.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>

#include "libkivo_log.h"
#include "sandbox.h"
#include "temp_dir.h"

namespace {

// 2026-03-04 05:06:07 UTC; the tests run with TZ=UTC.
constexpr time_t kStart = 1772600767;
time_t fake_now = kStart;

time_t fake_clock(time_t *out)
{
    if (out)
        *out = fake_now;
    return fake_now;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The text of one file record, as the log must format it.
std::string record(const char *stamp, const char *function, int line, const char *name, int level,
                   const std::string &message)
{
    return std::string(stamp) + " " + function + " " + std::to_string(line) + " " + name + "[" +
           std::to_string(level) + "]: " + message;
}

class LibkivoLog : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        fake_now = kStart;
        libkivo_log_clock = fake_clock;
        std::memset(&libkivo_log_info, 0, sizeof libkivo_log_info);
        libkivo_log_info.level = 6;
        path = dir + "/ddns.log";
    }
    void TearDown() override
    {
        libkivo_log_clock = time;
    }
    temp_dir scratch{"kivo-log"};  // removed with the fixture
    std::string dir = scratch.path;
    std::string path;
};

} // namespace

TEST_F(LibkivoLog, RecordsWaitForThePeriodThenGoOutTogether)
{
    libkivo_log_init(0, 1, dir.c_str(), "ddns.log");
    EXPECT_EQ(std::string(libkivo_log_info.path), path);
    EXPECT_EQ(libkivo_log_info.last_flush, kStart);

    int first = __LINE__ + 1;
    libkivo_log_write("INFO", 1, "interval: %d, ddnspod: %s\n", 300, "a.example.com");
    fake_now = kStart + 30; // exactly 30 seconds: not more than 30
    int second = __LINE__ + 1;
    libkivo_log_write("ERROR", 4, "second %s\n", "record");
    EXPECT_FALSE(exists(path));

    fake_now = kStart + 31;
    int third = __LINE__ + 1;
    libkivo_log_write("INFO", 1, "third\n");
    std::string expected =
        record("2026-03-04 05:06:07", "TestBody", first, "INFO", 1,
               "interval: 300, ddnspod: a.example.com\n") +
        record("2026-03-04 05:06:37", "TestBody", second, "ERROR", 4, "second record\n") +
        record("2026-03-04 05:06:38", "TestBody", third, "INFO", 1, "third\n");
    EXPECT_EQ(sandbox_read_file(path), expected);
    EXPECT_EQ(libkivo_log_info.length, 0);
    EXPECT_EQ(libkivo_log_info.last_flush, kStart + 31);

    // The next period starts at the write-out; the buffer is reused from its start.
    fake_now = kStart + 61;
    libkivo_log_write("INFO", 1, "fourth\n");
    EXPECT_EQ(sandbox_read_file(path), expected);
    fake_now = kStart + 62;
    libkivo_log_write("INFO", 1, "fifth\n");
    std::string all = sandbox_read_file(path);
    EXPECT_EQ(all.substr(0, expected.size()), expected);
    EXPECT_NE(all.find("]: fourth\n"), std::string::npos);
    EXPECT_EQ(all.substr(all.size() - 6), "fifth\n");
}

TEST_F(LibkivoLog, MoreThan6144PendingCharactersGoOutAtOnce)
{
    libkivo_log_init(0, 1, dir.c_str(), "ddns.log");
    // One record of exactly 6144 characters, prefix included.
    int line = __LINE__ + 4;
    std::string prefix = record("2026-03-04 05:06:07", "TestBody", line, "INFO", 1, "");
    std::string message(6144 - prefix.size() - 1, 'x');
    message += "\n";
    libkivo_log_write("INFO", 1, "%s", message.c_str());
    ASSERT_EQ(libkivo_log_info.length, 6144);
    EXPECT_FALSE(exists(path));

    libkivo_log_write("INFO", 1, "y\n");
    EXPECT_EQ(libkivo_log_info.length, 0);
    std::string text = sandbox_read_file(path);
    EXPECT_EQ(text.size(), 6144u + prefix.size() + 2);
    EXPECT_EQ(text.substr(text.size() - 2), "y\n");
}

TEST_F(LibkivoLog, RecordLongerThanTheBufferIsCutAndWrittenOut)
{
    libkivo_log_init(0, 1, dir.c_str(), "ddns.log");
    libkivo_log_write("INFO", 1, "short\n");
    std::string huge(9000, 'z');
    libkivo_log_write("INFO", 1, "%s\n", huge.c_str());
    EXPECT_EQ(sandbox_read_file(path).size(), sizeof libkivo_log_info.buffer - 1);
    EXPECT_EQ(libkivo_log_info.length, 0);
    // The next record starts from the beginning of the buffer.
    libkivo_log_write("INFO", 1, "after\n");
    EXPECT_EQ(std::strstr(libkivo_log_info.buffer, "2026-03-04"), libkivo_log_info.buffer);
    EXPECT_NE(std::strstr(libkivo_log_info.buffer, "]: after\n"), nullptr);
}

TEST_F(LibkivoLog, ThresholdOutsideZeroToFiveBecomesFour)
{
    const struct {
        int given;
        int stored;
    } cases[] = {{0, 0}, {1, 1}, {5, 5}, {6, 4}, {7, 4}, {-1, 4}, {1000, 4}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.given);
        libkivo_log_init(0, c.given, dir.c_str(), "ddns.log");
        EXPECT_EQ(libkivo_log_info.level, c.stored);
    }

    libkivo_log_init(0, 7, dir.c_str(), "ddns.log");
    libkivo_log_write("INFO", 1, "not kept\n");
    EXPECT_EQ(libkivo_log_info.length, 0);
    libkivo_log_write("ERROR", 4, "kept\n");
    EXPECT_GT(libkivo_log_info.length, 0);

    libkivo_log_init(0, 5, dir.c_str(), "ddns.log");
    libkivo_log_write("INFO", 1, "no\n");
    libkivo_log_write("ERROR", 4, "no\n");
    EXPECT_EQ(libkivo_log_info.length, 0);
}

TEST_F(LibkivoLog, ConsoleCopyIsGreenAndIgnoresTheThreshold)
{
    libkivo_log_init_just_for_debug();
    EXPECT_EQ(libkivo_log_info.console, 1);
    EXPECT_EQ(libkivo_log_info.level, 6);
    EXPECT_STREQ(libkivo_log_info.path, "");

    testing::internal::CaptureStderr();
    int line = __LINE__ + 1;
    libkivo_log_write("ERROR", 4, "token %s refused\n", "t1");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "\033[01;32m 2026-03-04 05:06:07 TestBody " + std::to_string(line) +
                       " ERROR[4]: \033[0mtoken t1 refused\n");
    EXPECT_EQ(libkivo_log_info.length, 0);
    EXPECT_EQ(libkivo_log_info.buffer[0], '\0');

    // A message too long for one piece still comes out whole.
    std::string huge(10000, 'q');
    testing::internal::CaptureStderr();
    libkivo_log_write("INFO", 1, "%s\n", huge.c_str());
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.substr(err.size() - 10001), huge + "\n");
}

TEST_F(LibkivoLog, PathsThatAreNullOrTooLong)
{
    libkivo_log_init(0, 1, dir.c_str(), "ddns.log");
    libkivo_log_init(0, 1, nullptr, "other.log");
    EXPECT_EQ(std::string(libkivo_log_info.path), path);
    libkivo_log_init(0, 1, "/tmp", nullptr);
    EXPECT_EQ(std::string(libkivo_log_info.path), path);

    // 255 characters fit; 256 are refused, not cut into the name of another file.
    std::string name(255 - dir.size() - 1, 'n');
    libkivo_log_init(0, 1, dir.c_str(), name.c_str());
    EXPECT_EQ(std::string(libkivo_log_info.path).size(), 255u);
    testing::internal::CaptureStderr();
    libkivo_log_init(0, 1, dir.c_str(), (name + "n").c_str());
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_STREQ(libkivo_log_info.path, "");
    EXPECT_NE(err.find("longer than 255"), std::string::npos) << err;
}

TEST_F(LibkivoLog, UnwritablePathDropsTheTextQuietly)
{
    sandbox_write_file(dir + "/plain", "a file, not a directory\n");
    const std::string bad[] = {"", dir + "/missing/ddns.log", dir + "/plain/ddns.log"};
    for (const std::string &p : bad) {
        SCOPED_TRACE(p);
        testing::internal::CaptureStderr();
        libkivo_log_record(p.c_str(), "lost\n");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    }
    EXPECT_FALSE(exists(dir + "/missing"));

    libkivo_log_init(0, 0, (dir + "/missing").c_str(), "ddns.log");
    fake_now = kStart + 31;
    libkivo_log_write("INFO", 1, "lost\n");
    EXPECT_EQ(libkivo_log_info.length, 0);
    EXPECT_EQ(libkivo_log_info.last_flush, kStart + 31);
}

TEST_F(LibkivoLog, RotatesAboveOneMebibyteOnly)
{
    const std::string text = "record\n";
    sandbox_write_file(path, std::string(1048576 - text.size(), 'a'));
    libkivo_log_record(path.c_str(), text.c_str());
    ASSERT_EQ(sandbox_read_file(path).size(), 1048576u); // exactly 1 MiB stays
    EXPECT_FALSE(exists(path + ".1"));

    sandbox_write_file(path + ".1", "older generation\n");
    libkivo_log_record(path.c_str(), "x");
    EXPECT_FALSE(exists(path));
    std::string rotated = sandbox_read_file(path + ".1");
    EXPECT_EQ(rotated.size(), 1048577u);
    EXPECT_EQ(rotated.substr(rotated.size() - 8), "record\nx");

    libkivo_log_record(path.c_str(), "fresh\n");
    EXPECT_EQ(sandbox_read_file(path), "fresh\n");
    EXPECT_EQ(sandbox_read_file(path + ".1").size(), 1048577u);
}

TEST_F(LibkivoLog, RotationTakesAnyPathLiterally)
{
    // Blanks and shell characters: no shell sees the name.
    std::string odd = dir + "/log dir;touch pwned";
    ASSERT_EQ(mkdir(odd.c_str(), 0755), 0);
    std::string p = odd + "/$(touch pwned2) d.log";
    sandbox_write_file(p, std::string(1048577, 'b'));
    libkivo_log_record(p.c_str(), "c\n");
    EXPECT_FALSE(exists(p));
    EXPECT_EQ(sandbox_read_file(p + ".1").size(), 1048579u);
    EXPECT_FALSE(exists("pwned"));
    EXPECT_FALSE(exists(dir + "/pwned2"));

    // A name with no room for ".1" cannot be rotated: it keeps growing, nothing breaks.
    std::string longest = dir + "/" + std::string(254, 'l');
    sandbox_write_file(longest, std::string(1048577, 'b'));
    libkivo_log_record(longest.c_str(), "d\n");
    EXPECT_EQ(sandbox_read_file(longest).size(), 1048579u);
}
