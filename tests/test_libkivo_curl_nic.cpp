// The interface-bound probe over a real veth link. The scenario runs in a
// forked child inside network namespaces of its own: the child's namespace holds
// one end of the pair, a second namespace holds the other end and the server,
// so a request reaches the server only through the link.
#include "libkivo_curl.h"

#include "http_server.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr const char *client_nic = "kvn0";
constexpr const char *server_nic = "kvn1";
constexpr const char *client_address = "10.231.7.1";
constexpr const char *server_address = "10.231.7.2";

// Failures of the child scenario, as bits of its exit status.
enum {
    FAIL_SETUP = 1,
    FAIL_BOUND = 2,
    FAIL_POST = 4,
    FAIL_MISSING = 8,
    FAIL_WRONG_NIC = 16,
    FAIL_PEER = 32,
};

// The server's namespace: waits for its link end, configures it, serves, and
// reports the port on out_fd. Runs until the client's namespace goes away.
[[noreturn]] void serve_in_peer_namespace(int ready_fd, int out_fd)
{
    char go;
    if (unshare(CLONE_NEWNET) != 0 || write(ready_fd, "n", 1) != 1 || read(ready_fd, &go, 1) != 1)
        _exit(1);
    std::string up = std::string("ip link set lo up && ip addr add ") + server_address +
                     "/24 dev " + server_nic + " && ip link set " + server_nic + " up";
    if (sandbox_sh(up) != 0)
        _exit(1);
    http_server srv;
    http_server_options opt;
    opt.address = server_address;
    if (http_server_start(&srv, opt) != 0)
        _exit(1);
    std::string dir = srv.dir;
    dprintf(out_fd, "%d %s\n", srv.http_port, dir.c_str());
    close(out_fd);
    // The parent closes its end of ready_fd when it is done.
    while (read(ready_fd, &go, 1) > 0) {
    }
    http_server_stop(&srv);
    _exit(0);
}

int bound_probe_scenario()
{
    if (sandbox_enter(false) != 0)
        return FAIL_SETUP;
    if (sandbox_sh(std::string("ip link add ") + client_nic + " type veth peer name " +
                   server_nic) != 0)
        return FAIL_SETUP;
    int ctl[2], out[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ctl) != 0 || pipe(out) != 0)
        return FAIL_SETUP;
    pid_t peer = fork();
    if (peer == 0) {
        close(ctl[0]);
        close(out[0]);
        serve_in_peer_namespace(ctl[1], out[1]);
    }
    close(ctl[1]);
    close(out[1]);
    char c;
    if (read(ctl[0], &c, 1) != 1)
        return FAIL_SETUP;
    std::string move = std::string("ip link set ") + server_nic + " netns " + std::to_string(peer) +
                       " && ip addr add " + client_address + "/24 dev " + client_nic +
                       " && ip link set " + client_nic + " up";
    if (sandbox_sh(move) != 0 || write(ctl[0], "g", 1) != 1)
        return FAIL_SETUP;
    char line[512] = "";
    FILE *report = fdopen(out[0], "r");
    int port = 0;
    char dir[256] = "";
    if (report == nullptr || std::fgets(line, sizeof line, report) == nullptr ||
        std::sscanf(line, "%d %255s", &port, dir) != 2)
        return FAIL_SETUP;

    int failed = 0;
    std::string base = std::string("http://") + server_address + ":" + std::to_string(port);
    char resp[512];
    std::memset(resp, 'x', sizeof resp);
    long st = kivo_curl_check_nic("GET", (base + "/status/200").c_str(), client_nic, nullptr,
                                  nullptr, 0, resp, sizeof resp, 5);
    if (st != 200 || std::strcmp(resp, "status 200\n") != 0)
        failed |= FAIL_BOUND;

    st = kivo_curl_check_nic("POST", (base + "/echo").c_str(), client_nic, nullptr, "ip=1.2.3.4",
                             10, resp, sizeof resp, 5);
    if (st != 200 || std::strstr(resp, "\r\n\r\nip=1.2.3.4") == nullptr)
        failed |= FAIL_POST;

    std::memset(resp, 'x', sizeof resp);
    st = kivo_curl_check_nic("GET", (base + "/status/200").c_str(), "ppp0", nullptr, nullptr, 0,
                             resp, sizeof resp, 5);
    if (st != 0 || resp[0] != '\0')
        failed |= FAIL_MISSING;

    // Bound to lo, the same request has no way to the server.
    st = kivo_curl_check_nic("GET", (base + "/status/200").c_str(), "lo", nullptr, nullptr, 0, resp,
                             sizeof resp, 1);
    if (st != 0)
        failed |= FAIL_WRONG_NIC;

    // The server saw the requests come from the far end of the link.
    std::string log = sandbox_output(std::string("cat ") + dir + "/requests.log");
    if (log.find(std::string("\"peer\": \"") + client_address + "\"") == std::string::npos)
        failed |= FAIL_PEER;

    close(ctl[0]);
    waitpid(peer, nullptr, 0);
    return failed;
}

} // namespace

TEST(CurlCheckNic, BindsTheRequestToTheNamedInterface)
{
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit(bound_probe_scenario());
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    int failed = WEXITSTATUS(status);
    EXPECT_EQ(failed & FAIL_SETUP, 0) << "namespace, link or server did not come up";
    EXPECT_EQ(failed & FAIL_BOUND, 0) << "GET bound to the link did not get 200 and the body";
    EXPECT_EQ(failed & FAIL_POST, 0) << "POST bound to the link did not carry its body";
    EXPECT_EQ(failed & FAIL_MISSING, 0) << "a missing ppp0 did not give 0 and an empty body";
    EXPECT_EQ(failed & FAIL_WRONG_NIC, 0) << "bound to lo, the request still reached the server";
    EXPECT_EQ(failed & FAIL_PEER, 0) << "the server did not see the link's address as the peer";
}
