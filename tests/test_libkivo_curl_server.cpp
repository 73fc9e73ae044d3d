// The scripted test server itself, driven through kivo_curl_cmd: other
// subsystems' stand-ins (DNSPod, the address-echo services) build on these
// features, so they must hold as documented.
#include "libkivo_curl.h"

#include "http_server.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

long get(const std::string &url, const char *const *headers, char *resp, int size)
{
    return kivo_curl_cmd("GET", url.c_str(), nullptr, headers, nullptr, 0, resp, size, 5);
}

} // namespace

TEST(ScriptedServer, RoutesByHostPathMethodAndTurn)
{
    const char *script = R"([
      {"host": "icanhazip.com", "path": "/", "body": "203.0.113.7\n"},
      {"host": "api.ipify.org", "path": "/", "body": "{\"ip\":\"203.0.113.8\"}",
       "headers": {"Content-Type": "application/json"}},
      {"method": "POST", "path": "/Record.List",
       "responses": [{"status": 200, "body": "first"}, {"status": 500, "body": "then"}]}
    ])";
    http_server_scope s;
    ASSERT_EQ(s.started, 0);
    ASSERT_EQ(http_server_set_routes(s.srv, script), 0);
    char resp[256];
    const char *plain[] = {"Host: icanhazip.com", nullptr};
    const char *json[] = {"Host: api.ipify.org:80", nullptr};
    std::string root = http_server_url(s.srv, "/");
    EXPECT_EQ(get(root, plain, resp, sizeof resp), 200);
    EXPECT_STREQ(resp, "203.0.113.7\n");
    EXPECT_EQ(get(root, json, resp, sizeof resp), 200);
    EXPECT_STREQ(resp, "{\"ip\":\"203.0.113.8\"}");
    // No route for this host: the built-in paths answer.
    EXPECT_EQ(get(root, nullptr, resp, sizeof resp), 404);

    std::string list = http_server_url(s.srv, "/Record.List");
    const char *form = "login_token=1,abc&format=json";
    long n = static_cast<long>(std::strlen(form));
    EXPECT_EQ(kivo_curl_cmd("POST", list.c_str(), nullptr, nullptr, form, n, resp, sizeof resp, 5),
              200);
    EXPECT_STREQ(resp, "first");
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(kivo_curl_cmd("POST", list.c_str(), nullptr, nullptr, form, n, resp, sizeof resp,
                                5),
                  500);
        EXPECT_STREQ(resp, "then");
    }
    // GET does not match the POST route.
    EXPECT_EQ(get(list, nullptr, resp, sizeof resp), 404);

    std::string log = http_server_requests(s.srv);
    EXPECT_NE(log.find("\"host\": \"icanhazip.com\""), std::string::npos);
    EXPECT_NE(log.find("\"body\": \"login_token=1,abc&format=json\""), std::string::npos);
    EXPECT_NE(log.find("\"peer\": \"127.0.0.1\""), std::string::npos);
}

TEST(ScriptedServer, ScriptChangesWhileRunningAndRestartsTurns)
{
    http_server_scope s;
    ASSERT_EQ(s.started, 0);
    char resp[64];
    std::string u = http_server_url(s.srv, "/ip");
    ASSERT_EQ(http_server_set_routes(s.srv, R"([{"path": "/ip", "responses": [
        {"body": "1.1.1.1"}, {"body": "2.2.2.2"}]}])"),
              0);
    EXPECT_EQ(get(u, nullptr, resp, sizeof resp), 200);
    EXPECT_STREQ(resp, "1.1.1.1");
    // Same length, written at once: the server must still see the change.
    ASSERT_EQ(http_server_set_routes(s.srv, R"([{"path": "/ip", "responses": [
        {"body": "3.3.3.3"}, {"body": "4.4.4.4"}]}])"),
              0);
    EXPECT_EQ(get(u, nullptr, resp, sizeof resp), 200);
    EXPECT_STREQ(resp, "3.3.3.3");
    EXPECT_EQ(get(u, nullptr, resp, sizeof resp), 200);
    EXPECT_STREQ(resp, "4.4.4.4");
}

TEST(ScriptedServer, FixedPortsAndCutBodies)
{
    // A port chosen by the caller, as a stand-in on port 80 or 443 in a
    // namespace needs; here any free one the first server left behind.
    int port;
    {
        http_server_scope probe;
        ASSERT_EQ(probe.started, 0);
        port = probe.srv.http_port;
    }
    http_server_options opt;
    opt.http_port = -1;
    opt.https_port = port;
    http_server_scope s(opt);
    ASSERT_EQ(s.started, 0);
    EXPECT_EQ(s.srv.https_port, port);
    EXPECT_EQ(s.srv.http_port, -1);
    char resp[512];
    // The cut is real: the client sees the transfer end short and keeps nothing.
    std::string u = http_server_url(s.srv, "/bytes/300?cut=100", true);
    std::memset(resp, 'x', sizeof resp);
    EXPECT_EQ(get(u, nullptr, resp, sizeof resp), 200);
    EXPECT_EQ(resp[0], '\0');
    EXPECT_EQ(resp[1], 'x');
    u = http_server_url(s.srv, "/bytes/300", true);
    EXPECT_EQ(get(u, nullptr, resp, sizeof resp), 200);
    EXPECT_EQ(std::string(resp, 300), http_server_pattern(300));
}
