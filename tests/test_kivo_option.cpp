// The option record of kivo_ddns: defaults, setters, refusals, built-in tokens.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "command_line.h"
#include "kivo_option.h"
#include "libkivo_option.h"
#include "temp_dir.h"

namespace {

// Runs kivo_option_init over the words after the program name.
void parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "kivo_ddns");
    std::vector<char *> argv = argv_of(words);
    optind = 0; // a fresh parse: glibc's getopt keeps its position between calls
    kivo_option_init(static_cast<int>(words.size()), argv.data());
}

std::string hostname()
{
    char host[128] = "";
    gethostname(host, sizeof host);
    host[sizeof host - 1] = '\0';
    return host;
}

const std::regex token_form("[0-9]+,[0-9a-f]{32}");

} // namespace

TEST(KivoOption, DefaultsWithoutOptions)
{
    parse({});
    const kivo_option_record &o = kivo_option_info;
    EXPECT_EQ(o.interval, 300);
    EXPECT_EQ(std::string(o.sub_domain), hostname());
    EXPECT_STREQ(o.main_domain, "example.com");
    EXPECT_STREQ(o.extern_ip, "");
    EXPECT_STREQ(o.nic, "");
    EXPECT_EQ(std::strlen(o.ddns_token), 38u);
    EXPECT_EQ(std::strlen(o.ddns_token_fallback), 38u);
    EXPECT_TRUE(std::regex_match(o.ddns_token, token_form)) << o.ddns_token;
    EXPECT_TRUE(std::regex_match(o.ddns_token_fallback, token_form)) << o.ddns_token_fallback;
    EXPECT_STRNE(o.ddns_token, o.ddns_token_fallback);
}

TEST(KivoOption, CommandLineSetsTheRecord)
{
    const struct {
        const char *what;
        std::vector<std::string> words;
        int interval;
        const char *sub_domain, *main_domain, *extern_ip, *nic;
    } cases[] = {
        {"joined", {"--interval=600", "--sub_domain=box", "--main_domain=z.net"},
         600, "box", "z.net", "", ""},
        {"separate words", {"--interval", "600", "--extern_ip", "1.2.3.4", "--nic", "ppp1"},
         600, nullptr, "example.com", "1.2.3.4", "ppp1"},
        {"one-letter abbreviations", {"--i=601", "--s=b", "--m=c.org", "--e=5.6.7.8", "--n=ppp0"},
         601, "b", "c.org", "5.6.7.8", "ppp0"},
        {"atoi stops at the first non-digit", {"--interval=45s"}, 45, nullptr, "example.com", "", ""},
        {"last one wins", {"--sub_domain=a", "--sub_domain=b", "--interval=5", "--interval=7"},
         7, "b", "example.com", "", ""},
        {"empty arguments stored empty", {"--sub_domain=", "--main_domain="}, 300, "", "", "", ""},
        {"non-options ignored", {"word", "--nic=eth9", "more"}, 300, nullptr, "example.com", "", "eth9"},
        {"copies are verbatim", {"--sub_domain= a b ", "--extern_ip=not an ip"},
         300, " a b ", "example.com", "not an ip", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        parse(c.words);
        const kivo_option_record &o = kivo_option_info;
        EXPECT_EQ(o.interval, c.interval);
        EXPECT_EQ(std::string(o.sub_domain), c.sub_domain ? c.sub_domain : hostname());
        EXPECT_STREQ(o.main_domain, c.main_domain);
        EXPECT_STREQ(o.extern_ip, c.extern_ip);
        EXPECT_STREQ(o.nic, c.nic);
    }
}

// --metrics came after --main_domain, which "--m" shortened alone: it still
// does, and --me names the metrics file.
TEST(KivoOption, MetricsFileBesideTheZonesShortName)
{
    parse({"--m=c.org", "--me=/run/kivo/x.prom"});
    EXPECT_STREQ(kivo_option_info.main_domain, "c.org");
    EXPECT_STREQ(kivo_option_info.metrics, "/run/kivo/x.prom");
    parse({"--m", "d.org", "--metrics", "y.prom"});
    EXPECT_STREQ(kivo_option_info.main_domain, "d.org");
    EXPECT_STREQ(kivo_option_info.metrics, "y.prom");
    parse({});
    EXPECT_STREQ(kivo_option_info.metrics, "");
}

TEST(KivoOption, TokenOptionReplacesOnlyThePrimaryToken)
{
    parse({});
    std::string fallback = kivo_option_info.ddns_token_fallback;
    parse({"--ddns_token=11,aaaa", "--ddns_token=22,bbbb"});
    EXPECT_STREQ(kivo_option_info.ddns_token, "22,bbbb");
    EXPECT_EQ(std::string(kivo_option_info.ddns_token_fallback), fallback);
}

TEST(KivoOption, IntervalBelowOneSecondBecomesTheDefault)
{
    // The setter reads as atoi does.
    kivo_option_set_interval("abc");
    EXPECT_EQ(kivo_option_info.interval, 0);
    kivo_option_set_interval("-5");
    EXPECT_EQ(kivo_option_info.interval, -5);

    for (const char *arg : {"--interval=abc", "--interval=0", "--interval=-5", "--interval="}) {
        SCOPED_TRACE(arg);
        testing::internal::CaptureStdout();
        parse({arg});
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(kivo_option_info.interval, 300);
        EXPECT_NE(out.find("not a positive number of seconds, using 300"), std::string::npos) << out;
    }
    testing::internal::CaptureStdout();
    parse({"--interval=1"});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(kivo_option_info.interval, 1);
}

// atoi wrapped a number beyond 32 bits into the field: 4294967297 became a pause
// of one second between passes, hammering DNSPod. Such a number is no number,
// and the default pause stands.
TEST(KivoOption, IntervalBeyondTheFieldIsNotWrapped)
{
    for (const char *arg : {"--interval=4294967297", "--interval=99999999999",
                            "--interval=-4294967295", "--interval=2147483648",
                            "--interval=99999999999999999999999"}) {
        SCOPED_TRACE(arg);
        testing::internal::CaptureStdout();
        parse({arg});
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(kivo_option_info.interval, 300);
    }
    // The largest pause the field holds is taken as it is.
    parse({"--interval=2147483647"});
    EXPECT_EQ(kivo_option_info.interval, 2147483647);
    parse({"--interval=86400s"});
    EXPECT_EQ(kivo_option_info.interval, 86400);
}

TEST(KivoOption, ArgumentsUpToTheirFieldWidthAreKept)
{
    std::string token(255, 't'), domain(127, 'd'), zone(127, 'z'), ip(45, '1'), nic(31, 'n');
    parse({"--ddns_token=" + token, "--sub_domain=" + domain, "--main_domain=" + zone,
           "--extern_ip=" + ip, "--nic=" + nic});
    EXPECT_FALSE(kivo_option_refused());
    EXPECT_EQ(std::string(kivo_option_info.ddns_token), token);
    EXPECT_EQ(std::string(kivo_option_info.sub_domain), domain);
    EXPECT_EQ(std::string(kivo_option_info.main_domain), zone);
    EXPECT_EQ(std::string(kivo_option_info.extern_ip), ip);
    EXPECT_EQ(std::string(kivo_option_info.nic), nic);
}

TEST(KivoOption, SetterKeepsItsFieldWhenTheArgumentIsTooLong)
{
    parse({"--sub_domain=keep", "--extern_ip=1.2.3.4"});
    // Bytes behind each field: a write past it would change them.
    std::string fallback = kivo_option_info.ddns_token_fallback;
    std::string zone = kivo_option_info.main_domain;
    kivo_option_set_ddns_token(std::string(256, 'T').c_str());
    kivo_option_set_sub_domain(std::string(128, 'S').c_str());
    kivo_option_set_extern_ip(std::string(46, '9').c_str());
    kivo_option_set_nic(std::string(32, 'N').c_str());
    EXPECT_TRUE(kivo_option_refused());
    EXPECT_TRUE(std::regex_match(kivo_option_info.ddns_token, token_form));
    EXPECT_EQ(std::string(kivo_option_info.ddns_token_fallback), fallback);
    EXPECT_STREQ(kivo_option_info.sub_domain, "keep");
    EXPECT_EQ(std::string(kivo_option_info.main_domain), zone);
    EXPECT_STREQ(kivo_option_info.extern_ip, "1.2.3.4");
    EXPECT_STREQ(kivo_option_info.nic, "");
    // The next start-up begins with a clean slate.
    parse({});
    EXPECT_FALSE(kivo_option_refused());
}

TEST(KivoOptionDeathTest, TooLongArgumentEndsStartUpWith253)
{
    const std::string cases[] = {
        "--ddns_token=" + std::string(256, 't'), "--sub_domain=" + std::string(128, 'd'),
        "--main_domain=" + std::string(128, 'z'), "--extern_ip=" + std::string(46, '1'),
        "--nic=" + std::string(32, 'n'),
    };
    for (const std::string &arg : cases) {
        SCOPED_TRACE(arg.substr(0, 16));
        EXPECT_EXIT(parse({arg}), testing::ExitedWithCode(253), "");
    }
}

TEST(KivoOptionDeathTest, HelpOptionsEndWithStatus0)
{
    for (std::vector<std::string> words :
         std::vector<std::vector<std::string>>{{"-h"}, {"-?"}, {"--help"}, {"--he"}, {"--bogus"},
                                               {"--help=x"}, {"--interval"},
                                               {"--sub_domain=" + std::string(200, 'd'), "-h"}}) {
        SCOPED_TRACE(words[0].substr(0, 16));
        EXPECT_EXIT(parse(words), testing::ExitedWithCode(0), "");
    }
}

TEST(KivoOption, BuiltInTokensAreNotInTheBinary)
{
    parse({});
    std::string tokens[] = {kivo_option_info.ddns_token, kivo_option_info.ddns_token_fallback};
    FILE *p = popen("strings -n 4 '" KIVO_DDNS_BIN "'", "r");
    ASSERT_NE(p, nullptr);
    std::string all;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
        all.append(chunk, n);
    ASSERT_EQ(pclose(p), 0);
    ASSERT_NE(all.find("kivo_ddns version"), std::string::npos); // strings did read the binary
    for (const std::string &t : tokens) {
        std::string hex = t.substr(t.find(',') + 1);
        EXPECT_EQ(all.find(hex.substr(0, 8)), std::string::npos) << t;
        EXPECT_EQ(all.find(hex.substr(24)), std::string::npos) << t;
    }
}

TEST(KivoOption, RecordTypeAndLine)
{
    parse({});
    EXPECT_STREQ(kivo_option_info.record_type, "A");
    EXPECT_STREQ(kivo_option_info.line, "默认");
    parse({"--t=AAAA", "--l=联通"});
    EXPECT_STREQ(kivo_option_info.record_type, "AAAA");
    EXPECT_STREQ(kivo_option_info.line, "联通");
    // 63 bytes: 21 three-byte characters fit the line.
    std::string longest;
    for (int i = 0; i < 21; i++)
        longest += "移";
    parse({"--type", "A", "--line", longest});
    EXPECT_STREQ(kivo_option_info.record_type, "A");
    EXPECT_EQ(longest, kivo_option_info.line);
}

TEST(KivoOptionDeathTest, BadTypeOrLineEndsStartUpWith252)
{
    const struct {
        std::vector<std::string> words;
        const char *why;
    } cases[] = {
        {{"--type=a"}, "is not A or AAAA"}, {{"--type=AAAA "}, "is not A or AAAA"},
        {{"--type=MX"}, "is not A or AAAA"}, {{"--line="}, "is empty"},
        {{"--line=" + std::string(64, 'x')}, "is longer than 63 bytes"},
        {{"--line=a\x7f"}, "control character"}, {{"--type=A", "--line=\n"}, "control character"},
        {{"--line=\xb5\xe7\xd0\xc5"}, "is not UTF-8"}, // 电信 in GBK
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.words.back());
        EXPECT_EXIT(parse(c.words), testing::ExitedWithCode(252),
                    std::string(c.why) + ".*, refused\n");
    }
    // A help option anywhere still wins; a field too long comes first.
    EXPECT_EXIT(parse({"--type=a", "-h"}), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(parse({"--type=a", "--nic=" + std::string(32, 'n')}),
                testing::ExitedWithCode(253), "");
}

// The words of a command line laid out as the kernel does, one after the
// other with their NULs, and guard bytes after them.
struct command_line {
    std::string bytes;
    std::vector<char *> argv;
    explicit command_line(const std::vector<std::string> &words)
    {
        for (const std::string &w : words)
            bytes += w + '\0';
        size_t words_end = bytes.size();
        bytes += "GUARD";
        size_t at = 0;
        for (const std::string &w : words) {
            argv.push_back(&bytes[at]);
            at += w.size() + 1;
        }
        EXPECT_EQ(at, words_end);
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(argv.size()) - 1; }
};

TEST(KivoOption, TokenIsOverwrittenInTheArgvWordsOnly)
{
    command_line c({"kivo_ddns", "--ddns_token=11,aaaa", "word", "--d", "22,bbbb",
                    "--sub_domain", "--ddns_token=not-a-token", "--ddns_t=33,cccc"});
    optind = 0;
    kivo_option_init(c.argc(), c.argv.data());
    EXPECT_STREQ(kivo_option_info.ddns_token, "33,cccc");
    EXPECT_STREQ(kivo_option_info.sub_domain, "--ddns_token=not-a-token");
    kivo_option_hide_token(c.argc(), c.argv.data());
    EXPECT_EQ(std::string("kivo_ddns\0--ddns_token=xxxxxxx\0word\0--d\0xxxxxxx\0--sub_domain\0"
                          "--ddns_token=not-a-token\0--ddns_t=xxxxxxx\0GUARD",
                          c.bytes.size()),
              c.bytes);
    // The record keeps the token; a second call finds nothing more to hide.
    EXPECT_STREQ(kivo_option_info.ddns_token, "33,cccc");
    kivo_option_hide_token(c.argc(), c.argv.data());
    EXPECT_EQ(std::string::npos, c.bytes.find("cccc"));
}

// A credential directory of the test's own, with the token file given.
struct credential_dir {
    temp_dir dir{"cred"};
    explicit credential_dir(const std::string &content, bool file = true)
    {
        if (file)
            sandbox_write_file(dir / "ddns_token", content);
        setenv("CREDENTIALS_DIRECTORY", dir.path.c_str(), 1);
    }
    ~credential_dir() { unsetenv("CREDENTIALS_DIRECTORY"); }
};

TEST(KivoOption, TokenFromTheCredentialFile)
{
    std::string builtin;
    {
        parse({});
        builtin = kivo_option_info.ddns_token;
    }
    {
        credential_dir d("50009,0123456789abcdef0123456789abcdef\nsecond line\n");
        parse({});
        EXPECT_STREQ(kivo_option_info.ddns_token, "50009,0123456789abcdef0123456789abcdef");
        parse({"--ddns_token=1,2"}); // the command line wins
        EXPECT_STREQ(kivo_option_info.ddns_token, "1,2");
    }
    {
        credential_dir d(std::string(255, '7')); // no line feed, full width
        parse({});
        EXPECT_EQ(std::string(255, '7'), kivo_option_info.ddns_token);
    }
    {
        credential_dir d("", false); // no file: the built-in token
        parse({});
        EXPECT_EQ(builtin, kivo_option_info.ddns_token);
    }
}

TEST(KivoOptionDeathTest, BadCredentialTokenEndsStartUpWith252)
{
    const struct {
        std::string content;
        const char *why;
    } cases[] = {
        {"", "is empty"},
        {"\nsecond", "is empty"},
        {std::string(256, '7'), "is longer than 255 characters"},
        {"1,ab\r\n", "not printable"},
        {std::string("1,a\0b\n", 6), "not printable"},
        {"1,\xe2\x80\x8b\n", "not printable"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.why);
        credential_dir d(c.content);
        EXPECT_EXIT(parse({}), testing::ExitedWithCode(252), c.why);
    }
}
