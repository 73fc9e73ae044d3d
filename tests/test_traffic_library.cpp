// What the dynamic linker sees of libkivotraffic: its name, its dependencies and
// exactly the names it exports.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "sandbox.h"
#include "traffic_process.h"

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
        "kivo_init", "calc_traffic_thread", "sleep_full_seconds",
        "cp", "total_send_bytes", "total_receive_bytes", "global_pid", "global_mutex",
        "real_read", "real_write", "real_recv", "real_recvfrom", "real_send", "real_sendto",
        "read_sendfile", "real_fork",
    };
    EXPECT_EQ(exported, expected) << symbols;
}
