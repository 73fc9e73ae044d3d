// kivo_ddns's command line: values that the analysers showed going wrong.
#include <gtest/gtest.h>

#include <getopt.h>

#include <string>
#include <vector>

#include "kivo_option.h"

namespace {

void parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "kivo_ddns");
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    optind = 0;
    kivo_option_init(static_cast<int>(words.size()), argv.data());
}

} // namespace

// atoi wrapped a number beyond 32 bits into the field: 4294967297 became a pause
// of one second between passes, hammering DNSPod. Such a number is no number,
// and the default pause stands.
TEST(RegressOptions, IntervalBeyondTheFieldIsNotWrapped)
{
    for (const char *arg : {"--interval=4294967297", "--interval=99999999999",
                            "--interval=-4294967295", "--interval=2147483648",
                            "--interval=99999999999999999999999"}) {
        SCOPED_TRACE(arg);
        parse({arg});
        EXPECT_EQ(kivo_option_info.interval, KIVO_OPTION_DEFAULT_INTERVAL);
    }
    // The largest pause the field holds is still taken as it is.
    parse({"--interval=2147483647"});
    EXPECT_EQ(kivo_option_info.interval, 2147483647);
    parse({"--interval=86400s"});
    EXPECT_EQ(kivo_option_info.interval, 86400);
}
