// The interface-bound probe over a real veth link. The scenario runs in a
// forked child inside network namespaces of its own: the child's namespace holds
// one end of the pair, a second namespace holds the other end and the server,
// so a request reaches the server only through the link.
#include "libkivo_curl.h"

#include "http_server.h"
#include "in_child.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *client_nic = "kvn0";
constexpr const char *server_nic = "kvn1";
constexpr const char *client_address = "10.231.7.1";
constexpr const char *server_address = "10.231.7.2";

// The server's namespace: waits for its link end, configures it, serves, and
// reports the port and the server's folder on out_fd. Runs until the client's
// end of ready_fd closes.
void serve_in_peer_namespace(int ready_fd, int out_fd)
{
    char go;
    ASSERT_EQ(unshare(CLONE_NEWNET), 0);
    ASSERT_EQ(write(ready_fd, "n", 1), 1);
    ASSERT_EQ(read(ready_fd, &go, 1), 1);
    std::string up = std::string("ip link set lo up && ip addr add ") + server_address +
                     "/24 dev " + server_nic + " && ip link set " + server_nic + " up";
    ASSERT_EQ(sandbox_sh(up), 0);
    http_server_options opt;
    opt.address = server_address;
    http_server_scope server(opt);
    ASSERT_EQ(server.started, 0);
    dprintf(out_fd, "%d %s\n", server.srv.http_port, server.srv.dir.c_str());
    close(out_fd);
    while (read(ready_fd, &go, 1) > 0) {
    }
}

} // namespace

TEST(CurlCheckNic, BindsTheRequestToTheNamedInterface)
{
    in_child([] {
        ASSERT_EQ(sandbox_enter(false), 0);
        ASSERT_EQ(sandbox_sh(std::string("ip link add ") + client_nic + " type veth peer name " +
                             server_nic),
                  0);
        int ctl[2], out[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ctl), 0);
        ASSERT_EQ(pipe(out), 0);
        pid_t peer = in_child_start([&] {
            close(ctl[0]);
            close(out[0]);
            serve_in_peer_namespace(ctl[1], out[1]);
        });
        close(ctl[1]);
        close(out[1]);
        char c;
        ASSERT_EQ(read(ctl[0], &c, 1), 1) << "the server's namespace did not come up";
        std::string move = std::string("ip link set ") + server_nic + " netns " +
                           std::to_string(peer) + " && ip addr add " + client_address +
                           "/24 dev " + client_nic + " && ip link set " + client_nic + " up";
        ASSERT_EQ(sandbox_sh(move), 0);
        ASSERT_EQ(write(ctl[0], "g", 1), 1);
        char line[512] = "";
        FILE *report = fdopen(out[0], "r");
        int port = 0;
        char dir[256] = "";
        ASSERT_NE(report, nullptr);
        ASSERT_NE(std::fgets(line, sizeof line, report), nullptr) << "the server did not start";
        ASSERT_EQ(std::sscanf(line, "%d %255s", &port, dir), 2) << line;

        std::string base = std::string("http://") + server_address + ":" + std::to_string(port);
        char resp[512];
        std::memset(resp, 'x', sizeof resp);
        EXPECT_EQ(kivo_curl_check_nic("GET", (base + "/status/200").c_str(), client_nic, nullptr,
                                      nullptr, 0, resp, sizeof resp, 5),
                  200);
        EXPECT_STREQ(resp, "status 200\n") << "GET bound to the link";

        EXPECT_EQ(kivo_curl_check_nic("POST", (base + "/echo").c_str(), client_nic, nullptr,
                                      "ip=1.2.3.4", 10, resp, sizeof resp, 5),
                  200);
        EXPECT_NE(std::strstr(resp, "\r\n\r\nip=1.2.3.4"), nullptr)
            << "POST bound to the link did not carry its body";

        std::memset(resp, 'x', sizeof resp);
        EXPECT_EQ(kivo_curl_check_nic("GET", (base + "/status/200").c_str(), "ppp0", nullptr,
                                      nullptr, 0, resp, sizeof resp, 5),
                  0);
        EXPECT_EQ(resp[0], '\0') << "a missing ppp0 must leave an empty body";

        // Bound to lo, the same request has no way to the server.
        EXPECT_EQ(kivo_curl_check_nic("GET", (base + "/status/200").c_str(), "lo", nullptr,
                                      nullptr, 0, resp, sizeof resp, 1),
                  0);

        // The server saw the requests come from the far end of the link.
        std::string log = sandbox_read_file(std::string(dir) + "/requests.log");
        EXPECT_NE(log.find(std::string("\"peer\": \"") + client_address + "\""),
                  std::string::npos)
            << log;

        std::fclose(report);
        close(ctl[0]);
        in_child_finish(peer, "the server's namespace");
    });
}
