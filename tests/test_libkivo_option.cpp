// The long-option dispatcher: the tables it builds and the handlers it calls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "libkivo_option.h"

namespace {

// What the handlers saw, as "entry:argument".
std::vector<std::string> calls;

void note(const char *who, const char *arg)
{
    calls.push_back(std::string(who) + ":" + (arg ? arg : "-"));
}
void on_question(const char *arg) { note("?", arg); }
void on_h(const char *arg) { note("h", arg); }
void on_h_again(const char *arg) { note("h2", arg); }
void on_name(const char *arg) { note("name", arg); }
void on_level(const char *arg) { note("level", arg); }
void on_opt(const char *arg) { note("opt", arg); }

// Runs the dispatcher over a command line given as words after the program name.
std::vector<std::string> dispatch(const std::vector<kivo_getopt_entry> &table,
                                  std::vector<std::string> words)
{
    words.insert(words.begin(), "prog");
    std::vector<char *> argv = argv_of(words);
    calls.clear();
    optind = 0; // a fresh parse: glibc's getopt keeps its position between calls
    kivo_getopt(static_cast<int>(words.size()), argv.data(), table.data(),
                static_cast<int>(table.size()));
    return calls;
}

void noop(const char *) {}

// The same shape as the updater's table.
const std::vector<kivo_getopt_entry> updater_like = {
    {"?", 0, noop}, {"h", 0, noop}, {"help", 0, noop}, {"interval", 1, noop},
    {"ddns_token", 1, noop}, {"sub_domain", 1, noop}, {"main_domain", 1, noop},
    {"extern_ip", 1, noop}, {"nic", 1, noop},
};

} // namespace

TEST(KivoGetoptTables, UpdaterTableGivesShortStringAndValues258To264)
{
    kivo_getopt_tables t;
    ASSERT_EQ(kivo_getopt_build(updater_like.data(), 9, &t), 0);
    EXPECT_STREQ(t.short_options, "?h");
    EXPECT_EQ(t.match[0], '?');
    EXPECT_EQ(t.match[1], 'h');
    for (int i = 2; i < 9; i++) {
        const struct option &o = t.long_options[i - 2];
        SCOPED_TRACE(updater_like[i].name);
        EXPECT_STREQ(o.name, updater_like[i].name);
        EXPECT_EQ(o.has_arg, updater_like[i].has_arg);
        EXPECT_EQ(o.flag, nullptr);
        EXPECT_EQ(o.val, 256 + i);
        EXPECT_EQ(t.match[i], 256 + i);
    }
    const struct option &end = t.long_options[7];
    EXPECT_EQ(end.name, nullptr);
    EXPECT_EQ(end.has_arg, 0);
    EXPECT_EQ(end.flag, nullptr);
    EXPECT_EQ(end.val, 0);
}

TEST(KivoGetoptTables, ArgumentFlags)
{
    const std::vector<kivo_getopt_entry> table = {
        {"a", 1, noop}, {"b", 0, noop}, {"c", 2, noop}, {"opt", 2, noop}, {"req", 1, noop},
    };
    kivo_getopt_tables t;
    ASSERT_EQ(kivo_getopt_build(table.data(), 5, &t), 0);
    // A short option's nonzero flag always means "required".
    EXPECT_STREQ(t.short_options, "a:bc:");
    EXPECT_EQ(t.long_options[0].has_arg, 2);
    EXPECT_EQ(t.long_options[0].val, 259);
    EXPECT_EQ(t.long_options[1].has_arg, 1);
    EXPECT_EQ(t.long_options[1].val, 260);
}

TEST(KivoGetoptTables, EntriesThatCannotBeDeclaredAreLeftOut)
{
    // 36 one-letter options with an argument need 72 characters: one too many.
    std::vector<std::string> letters;
    for (char c = 'a'; c <= 'z'; c++)
        letters.push_back(std::string(1, c));
    for (char c = '0'; c <= '9'; c++)
        letters.push_back(std::string(1, c));
    std::vector<kivo_getopt_entry> table;
    for (const std::string &l : letters)
        table.push_back({l.c_str(), 1, noop});
    table.push_back({nullptr, 0, noop});
    table.push_back({"", 0, noop});
    kivo_getopt_tables t;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kivo_getopt_build(table.data(), static_cast<int>(table.size()), &t), 3);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::string(t.short_options).size(), 70u);
    EXPECT_EQ(t.match[35], -1);
    EXPECT_EQ(t.match[36], -1);
    EXPECT_EQ(t.match[37], -1);
    EXPECT_NE(err.find("\"9\""), std::string::npos) << err;

    // 64 long names: the last has no room before the closing record.
    std::vector<std::string> names;
    for (int i = 0; i < 64; i++)
        names.push_back("long" + std::to_string(i));
    std::vector<kivo_getopt_entry> longs;
    for (const std::string &n : names)
        longs.push_back({n.c_str(), 0, noop});
    testing::internal::CaptureStderr();
    EXPECT_EQ(kivo_getopt_build(longs.data(), 64, &t), 1);
    testing::internal::GetCapturedStderr();
    EXPECT_STREQ(t.long_options[62].name, "long62");
    EXPECT_EQ(t.long_options[63].name, nullptr);
    EXPECT_EQ(t.match[63], -1);
}

struct dispatch_case {
    const char *what;
    std::vector<std::string> words;
    std::vector<std::string> expected;
};

TEST(KivoGetoptDispatch, HandlersRunInCommandLineOrder)
{
    const std::vector<kivo_getopt_entry> table = {
        {"?", 0, on_question}, {"h", 0, on_h}, {"name", 1, on_name},
        {"level", 1, on_level}, {"opt", 2, on_opt}, {"quiet", 0, nullptr},
    };
    const dispatch_case cases[] = {
        {"empty command line", {}, {}},
        {"joined and separate arguments", {"--name=a", "--level", "3"}, {"name:a", "level:3"}},
        {"order kept, last one last", {"--level=1", "--name=x", "--level=2"},
         {"level:1", "name:x", "level:2"}},
        {"non-options skipped anywhere", {"word", "--name", "x", "other", "-h", "tail"},
         {"name:x", "h:-"}},
        {"abbreviation", {"--na=b", "--l=4"}, {"name:b", "level:4"}},
        {"-? is a real option", {"-?"}, {"?:-"}},
        {"unknown option goes to ?", {"--bogus", "--name=c"}, {"?:-", "name:c"}},
        {"argument to a flag goes to ?", {"-h", "--quiet=1"}, {"h:-", "?:-"}},
        {"missing argument goes to ?", {"--name"}, {"?:-"}},
        {"absent handler accepted", {"--quiet", "--name=d"}, {"name:d"}},
        {"optional argument", {"--opt", "--opt=v"}, {"opt:-", "opt:v"}},
        {"empty argument", {"--name="}, {"name:"}},
    };
    for (const dispatch_case &c : cases) {
        SCOPED_TRACE(c.what);
        testing::internal::CaptureStderr();
        std::vector<std::string> got = dispatch(table, c.words);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(got, c.expected);
    }
}

TEST(KivoGetoptDispatch, WithoutQuestionEntryUnknownOptionsOnlyWarn)
{
    const std::vector<kivo_getopt_entry> table = {{"h", 0, on_h}, {"name", 1, on_name}};
    testing::internal::CaptureStderr();
    std::vector<std::string> got = dispatch(table, {"--bogus", "-x", "--name=e", "-h"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(got, (std::vector<std::string>{"name:e", "h:-"}));
    // getopt_long's own diagnostics, one per bad option.
    EXPECT_NE(err.find("bogus"), std::string::npos) << err;
    EXPECT_NE(err.find("'x'"), std::string::npos) << err;
}

TEST(KivoGetoptDispatch, EveryMatchingEntryRunsInTableOrder)
{
    const std::vector<kivo_getopt_entry> table = {{"h", 0, on_h}, {"h", 0, on_h_again}};
    EXPECT_EQ(dispatch(table, {"-h"}), (std::vector<std::string>{"h:-", "h2:-"}));
}
