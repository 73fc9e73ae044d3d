// What the dynamic linker sees of libkivotraffic: its name, its dependencies and
// exactly the names it exports.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "traffic_fixture.h"

TEST(TrafficLibrary, SonameAndOnlyLibcAmongDependencies)
{
    std::string dynamic = sandbox_output(std::string("readelf -d ") + traffic_library());
    ASSERT_NE(dynamic.find("Library soname: [libkivotraffic.so.0]"), std::string::npos) << dynamic;
    std::set<std::string> needed;
    std::istringstream lines(dynamic);
    for (std::string line; std::getline(lines, line);) {
        size_t at = line.find("Shared library: [");
        if (at != std::string::npos)
            needed.insert(line.substr(at + 17, line.find(']', at) - at - 17));
    }
    // A guest must not bring a C++ runtime into its hosts.
    for (const std::string &lib : needed)
        EXPECT_TRUE(lib == "libc.so.6" || lib == "libdl.so.2" || lib == "libpthread.so.0")
            << "unexpected dependency " << lib;
    EXPECT_EQ(needed.count("libc.so.6"), 1u);
}

TEST(TrafficLibrary, ExportsExactlyTheInterface)
{
    std::string symbols = sandbox_output(std::string("nm -D --defined-only ") + traffic_library());
    std::set<std::string> exported;
    std::istringstream lines(symbols);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            exported.insert(name);
    }
    const std::set<std::string> expected = {
        "read", "write", "recv", "recvfrom", "send", "sendto", "sendfile", "fork",
        "sendfile64", "__read_chk", "__recv_chk", "__recvfrom_chk",
        "readv", "writev", "recvmsg", "sendmsg", "recvmmsg", "sendmmsg", "splice",
        "kivo_init", "calc_traffic_thread", "sleep_full_seconds",
        "cp", "total_send_bytes", "total_receive_bytes", "global_pid", "global_mutex",
        "real_read", "real_write", "real_recv", "real_recvfrom", "real_send", "real_sendto",
        "read_sendfile", "real_fork",
    };
    EXPECT_EQ(exported, expected) << symbols;
}

// The library's own references to its objects are bound inside it: a host that
// exports a cp and a total_send_bytes of its own keeps them untouched, and the
// reports carry the library's name and counts.
class TrafficShadow : public TrafficTest {};

TEST_F(TrafficShadow, HostGlobalsOfTheSameNameAreNeverWritten)
{
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));
    child_process host;
    ASSERT_TRUE(traffic_start(&host, {KIVO_TRAFFIC_SHADOW_HOST}, {"KIVO_CP=iqiyi"}, true));
    std::string line;
    ASSERT_TRUE(child_expect(&host, "shadow ", &line, 5000));
    EXPECT_NE(line.find(" host_cp=host-own-cp "), std::string::npos) << line;
    EXPECT_EQ(traffic_field(line, "host_send"), 0) << line;
    EXPECT_NE(line.find(" library_cp=iqiyi "), std::string::npos) << line;
    EXPECT_EQ(traffic_field(line, "library_send"), 100) << line;
    EXPECT_EQ(child_wait(&host, 5000), 0);
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 3000));
    EXPECT_EQ(report.cp, "iqiyi");
    EXPECT_EQ(report.sb, 100);
    EXPECT_EQ(report.rb, 100);
}
