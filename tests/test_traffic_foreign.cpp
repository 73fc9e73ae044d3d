// A program the project did not write: python3's http.server with the library
// preloaded serves a file to curl, and the report that arrives after the real
// 20-second sleep carries exactly the bytes curl saw.
#include <fstream>
#include <string>

#include "temp_dir.h"
#include "traffic_fixture.h"

class TrafficForeign : public TrafficTest {};

TEST_F(TrafficForeign, HttpServerReportsWhatCurlSawAfterTwentySeconds)
{
    temp_dir dir("traffic-www");
    ASSERT_FALSE(dir.path.empty());
    {
        std::ofstream file(dir / "content.bin", std::ios::binary);
        for (int i = 0; i < 12345; i++)
            file.put(static_cast<char>('a' + i % 26));
    }
    child_process agent;
    ASSERT_TRUE(traffic_start_agent(&agent, {"49193:ok"}));

    child_process server;
    ASSERT_TRUE(traffic_start(&server,
                              {"/usr/bin/python3", "-u", "-m", "http.server", "8080", "--bind",
                               "127.0.0.1", "--directory", dir.path},
                              {"KIVO_CP=iqiyi"}, true));
    ASSERT_TRUE(child_expect(&server, "Serving HTTP", nullptr, 15000));

    // curl itself is not preloaded: only the server is counted.
    std::string sizes = sandbox_output(
        "curl -s --noproxy '*' -o /dev/null "
        "-w 'header=%{size_header} download=%{size_download} request=%{size_request}\\n' "
        "http://127.0.0.1:8080/content.bin");
    long long header = traffic_field(" " + sizes, "header");
    long long download = traffic_field(" " + sizes, "download");
    long long request = traffic_field(" " + sizes, "request");
    ASSERT_EQ(download, 12345) << sizes;
    ASSERT_GT(header, 0) << sizes;
    ASSERT_GT(request, 0) << sizes;

    // The server's thread started at load with nothing counted, so it reports
    // at the end of its first 20-second sleep.
    traffic_agent_report report;
    ASSERT_TRUE(traffic_next_report(&agent, &report, 40000));
    EXPECT_EQ(report.cp, "iqiyi");
    EXPECT_EQ(report.sb, header + download);
    EXPECT_EQ(report.rb, request);
}
