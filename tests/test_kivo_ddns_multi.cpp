// kivo_ddns end to end for a box with several uplinks: AAAA records, records on
// DNSPod lines, the token out of sight, and the values refused at start.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ddns_e2e.h"
#include "sandbox.h"
#include "temp_dir.h"

namespace {

// What an instance for another carrier's line is told, and the form of it.
constexpr char kTelecom[] = "\xE7\x94\xB5\xE4\xBF\xA1"; // 电信
constexpr char kTelecomForm[] = "%E7%94%B5%E4%BF%A1";


TEST_F(e2e, AaaaFromTheInterfaceTakesItsGoodGlobalAddress)
{
    // Added last, listed first: the deprecated address, then the ULA, then the
    // good one. The link-local address comes with the link.
    before_start_ = "ip tuntap add dev ppp0 mode tun && ip link set ppp0 up && "
                    "ip -6 addr add 2001:db8:2::2/64 dev ppp0 nodad && "
                    "ip -6 addr add fd00:1::1/64 dev ppp0 nodad && "
                    "ip -6 addr add 2001:db8:1::1/64 dev ppp0 nodad preferred_lft 0";
    start("[]", "{}", {"--type=AAAA", "--nic=ppp0"});
    ASSERT_TRUE(api_reaches(3)) << err();
    ASSERT_TRUE(more_logged_passes(2));
    ASSERT_EQ((std::vector<std::string>{"/Record.List", "/Record.Create", "/Record.List"}),
              paths());
    EXPECT_NE(std::string::npos,
              api()[1].body.find("&record_type=AAAA&record_line=\xE9\xBB\x98\xE8\xAE\xA4"
                                 "&value=2001:db8:2::2"))
        << api()[1].body;
    EXPECT_TRUE(echo_requests().empty()); // the interface told it all
    EXPECT_NE(std::string::npos, out().find("ppp0, nic, extern_ip: |2001:db8:2::2|\n")) << out();
    EXPECT_NE(std::string::npos,
              err().find("exist and same: home.example.com --> 2001:db8:2::2\n"));
}

TEST_F(e2e, AaaaWithoutInterfaceAsksTheIpv6EchoServicesInOrder)
{
    // The first service answers with a link-local address, the second with a
    // good one in a long spelling: published in canonical form.
    start("[]", "{\"address6\":\"2001:DB8:0:0:0:0:0:7\",\"echo\":{\"api6.ipify.org\":"
                "\"body:fe80::1\\n\"}}",
          {"--type=AAAA"});
    ASSERT_TRUE(api_reaches(3)) << out();
    std::vector<ddns_request> echo = echo_requests();
    ASSERT_LE(2u, echo.size());
    EXPECT_EQ("api6.ipify.org", echo[0].host);
    EXPECT_EQ("https", echo[0].scheme);
    EXPECT_EQ("ipv6.icanhazip.com", echo[1].host);
    EXPECT_EQ("http", echo[1].scheme);
    for (const ddns_request &r : echo)
        EXPECT_TRUE(r.host == "api6.ipify.org" || r.host == "ipv6.icanhazip.com") << r.host;
    EXPECT_NE(std::string::npos, api()[1].body.find("&record_type=AAAA&record_line=\xE9\xBB\x98"
                                                    "\xE8\xAE\xA4&value=2001:db8::7"))
        << api()[1].body;
    EXPECT_NE(std::string::npos, out().find("http://ipv6.icanhazip.com, raw, extern_ip: "
                                            "|2001:db8::7|\n"))
        << out();
    std::string records = ddns_world_file(world_, "records.json");
    EXPECT_NE(std::string::npos, records.find("\"AAAA\"")) << records;
}

TEST_F(e2e, AaaaWithoutAnyAddressSendsNothing)
{
    start("[]", "{\"echo\":{\"api6.ipify.org\":\"drop\",\"ipv6.icanhazip.com\":\"status:502\"}}",
          {"--type=AAAA"});
    EXPECT_TRUE(ddns_world_wait(
        [&] { return count(err(), "ddnspod: home.example.com --> ::\n") >= 3; }, 20))
        << err();
    EXPECT_TRUE(api().empty());
}

TEST_F(e2e, LineGetsItsOwnRecordAndLeavesTheDefaultOne)
{
    start("[{\"id\":901,\"domain\":\"example.com\",\"name\":\"home\",\"type\":\"A\","
          "\"line\":\"默认\",\"value\":\"198.51.100.9\"}]",
          "{\"address\":\"203.0.113.6\"}", {std::string("--l=") + kTelecom});
    ASSERT_TRUE(api_reaches(3));
    ASSERT_TRUE(more_passes(3));
    ASSERT_EQ((std::vector<std::string>{"/Record.List", "/Record.Create", "/Record.List"}),
              paths()); // one write, then quiet
    EXPECT_NE(std::string::npos,
              api()[1].body.find(std::string("&record_type=A&record_line=") + kTelecomForm +
                                 "&value=203.0.113.6"))
        << api()[1].body;
    std::string records = ddns_world_file(world_, "records.json");
    EXPECT_NE(std::string::npos, records.find("\"value\": \"198.51.100.9\"")) << records;
    EXPECT_NE(std::string::npos, records.find(std::string("\"line\": \"") + kTelecom + "\""));
    EXPECT_NE(std::string::npos, records.find("\"value\": \"203.0.113.6\""));
}

TEST_F(e2e, TokenIsNotInTheCommandLineWhileRunning)
{
    start(record_set("198.51.100.1"), "{\"address\":\"198.51.100.2\"}",
          {"--sub_domain", "home"});
    ASSERT_TRUE(api_reaches(1));
    std::string cmdline = sandbox_read_file("/proc/" + std::to_string(ddns_.pid) + "/cmdline");
    EXPECT_EQ(std::string::npos, cmdline.find(kPrimary)) << cmdline;
    EXPECT_EQ(std::string::npos, cmdline.find("0011223344")) << cmdline;
    EXPECT_NE(std::string::npos, cmdline.find(std::string("--ddns_token=") +
                                              std::string(sizeof kPrimary - 1, 'x')));
    // Everything else as it was given.
    EXPECT_NE(std::string::npos, cmdline.find(std::string("--sub_domain") + '\0' + "home" + '\0'));
    EXPECT_NE(std::string::npos, cmdline.find(std::string("--interval=1") + '\0'));
    EXPECT_EQ(kPrimary, token_of(api()[0]));
}

TEST_F(e2e, TokenFromTheCredentialDirectory)
{
    const std::string token = "50003,ffeeddccbbaa99887766554433221100";
    temp_dir scratch("cred");
    const std::string &dir = scratch.path;
    sandbox_write_file(dir + "/ddns_token", token + "\n");
    setenv("CREDENTIALS_DIRECTORY", dir.c_str(), 1);
    with_token_ = false;
    start(record_set("198.51.100.1"), "{\"address\":\"198.51.100.2\"}");
    ASSERT_TRUE(api_reaches(2));
    EXPECT_EQ(token, token_of(api()[0]));
    EXPECT_EQ(token, token_of(api()[1]));
}

// Starts the program in the world with words and waits for its end: the exit
// status, or -1 when it still ran when DNSPod heard from it (or after 10 s).
int exit_status(ddns_world &w, const std::vector<std::string> &words)
{
    size_t heard = ddns_world_requests(w, "dnsapi.cn").size();
    const char *other = std::getenv("KIVO_DDNS_UNDER_TEST");
    std::vector<std::string> argv = {other != nullptr ? other : KIVO_DDNS_BINARY,
                                     "--sub_domain=home",
                                     "--main_domain=example.com", "--interval=1"};
    argv.insert(argv.end(), words.begin(), words.end());
    child_process program;
    if (!ddns_world_start(w, &program, argv, "bad.out", "bad.err"))
        return -1;
    int status = -1;
    bool ended = false;
    ddns_world_wait(
        [&] {
            ended = child_ended(&program, &status);
            return ended || ddns_world_requests(w, "dnsapi.cn").size() > heard;
        },
        10);
    return ended ? status : -1;
}

TEST_F(e2e, BadValuesAreRefusedWith252BeforeAnyRequest)
{
    ASSERT_EQ(0, ddns_world_enter(world_, "[]", "{}"));
    const struct {
        std::vector<std::string> words;
        const char *message;
        bool help;
    } cases[] = {
        {{"--type=a"}, "kivo_ddns: --type=a is not A or AAAA, refused\n", true},
        {{"--t=AAAA6"}, "kivo_ddns: --type=AAAA6 is not A or AAAA, refused\n", true},
        {{"--type="}, "kivo_ddns: --type= is not A or AAAA, refused\n", true},
        {{"--type=A\x1b[2J"}, "kivo_ddns: --type=A?[2J is not A or AAAA, refused\n", true},
        {{"--line="}, "kivo_ddns: --line is empty, refused\n", true},
        {{"--line=" + std::string(64, 'l')}, "kivo_ddns: --line is longer than 63 bytes, refused\n",
         true},
        {{"--l", "a\tb"}, "kivo_ddns: --line holds a control character, refused\n", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(252, exit_status(world_, c.words));
        EXPECT_EQ(c.message, ddns_world_file(world_, "bad.err"));
        std::string help = ddns_world_file(world_, "bad.out");
        EXPECT_EQ(0u, help.find("kivo_ddns version: kivo_ddns/1.0\n")) << help;
        EXPECT_NE(std::string::npos, help.find("  --line                 : --line=xxx, default: "
                                               "\xE9\xBB\x98\xE8\xAE\xA4\n"));
    }
    EXPECT_TRUE(ddns_world_requests(world_).empty());
    // The last value given counts, as for every option.
    EXPECT_EQ(-1, exit_status(world_, {"--type=aaaa", "--type=A", "--line=", "--line=x"}));
    ASSERT_LE(1u, api().size()) << ddns_world_file(world_, "bad.out");

    // The token file of systemd's credential directory.
    std::string dir = world_.dir / "credentials";
    mkdir(dir.c_str(), 0700);
    setenv("CREDENTIALS_DIRECTORY", dir.c_str(), 1);
    const struct {
        std::string file;
        const char *why;
    } tokens[] = {
        {"\n", "is empty"},
        {"", "is empty"},
        {std::string(256, '7') + "\n", "is longer than 255 characters"},
        {"50001,0011\r\n", "holds a blank or a byte that is not printable"},
        {"50001,00 11\n", "holds a blank or a byte that is not printable"},
    };
    for (const auto &t : tokens) {
        SCOPED_TRACE(t.why);
        sandbox_write_file(dir + "/ddns_token", t.file);
        EXPECT_EQ(252, exit_status(world_, {}));
        EXPECT_EQ("kivo_ddns: the token in " + dir + "/ddns_token " + t.why + ", refused\n",
                  ddns_world_file(world_, "bad.err"));
    }
    // A --ddns_token on the command line wins over the file, even a bad one.
    EXPECT_EQ(-1, exit_status(world_, {std::string("--ddns_token=") + kPrimary}));
    EXPECT_EQ(kPrimary, token_of(api().back()));
    unsetenv("CREDENTIALS_DIRECTORY");
}

} // namespace
