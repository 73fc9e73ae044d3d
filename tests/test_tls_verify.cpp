// kivo_ddns built with KIVO_TLS_VERIFY, or run with KIVO_TLS_VERIFY=1: its
// HTTPS requests go through only to a peer whose certificate the system's store
// vouches for, under the name asked for. Each scenario runs in a forked child inside network and mount namespaces
// of its own. There the store is a folder that holds only the test's own CA,
// bound over /etc/ssl/certs (libcurl's bundle and folder both live there), and
// dnsapi.cn is 127.0.0.1 through a hosts file bound over /etc/hosts; the
// machine's own store and hosts file are never touched.
#include "kivo_ddnspod.h"
#include "libkivo_curl.h"

#include "sandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#ifndef KIVO_TLS_VERIFY
// A build without the option checks the same way when its environment says
// KIVO_TLS_VERIFY=1, as the service unit's does: the same scenarios, switched on so.
[[maybe_unused]] static const int kivo_tls_from_environment = setenv("KIVO_TLS_VERIFY", "1", 1);
#endif

namespace {

constexpr char kListAnswer[] =
    R"({"status":{"code":"1","message":"Action completed successful"},)"
    R"("records":[{"id":"42","name":"box","type":"A","line":"默认","value":"203.0.113.9"}]})";

bool write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

// The test CA, and three server certificates: "vouched" (signed by the CA for
// dnsapi.cn and 127.0.0.1), "misnamed" (signed by the CA for another name) and
// "stranger" (self-signed for the right names).
bool make_certificates(const std::string &dir)
{
    const std::string key = "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string sign = "openssl x509 -req -days 2 -CA " + dir + "/ca.pem -CAkey " + dir +
                             "/ca.key -CAcreateserial ";
    std::string script =
        "set -e; cd " + dir + "; exec 2>openssl.log; " +
        key + "-x509 -days 2 -subj /CN=kivo-test-ca -keyout ca.key -out ca.pem; " +
        "printf 'subjectAltName=DNS:dnsapi.cn,IP:127.0.0.1\\n' >vouched.ext; " +
        "printf 'subjectAltName=DNS:other.invalid\\n' >misnamed.ext; " +
        key + "-subj /CN=dnsapi.cn -keyout vouched.key -out vouched.csr; " +
        sign + "-in vouched.csr -extfile vouched.ext -out vouched.pem; " +
        key + "-subj /CN=other.invalid -keyout misnamed.key -out misnamed.csr; " +
        sign + "-in misnamed.csr -extfile misnamed.ext -out misnamed.pem; " +
        key + "-x509 -days 2 -subj /CN=dnsapi.cn " +
        "-addext subjectAltName=DNS:dnsapi.cn,IP:127.0.0.1 -keyout stranger.key -out stranger.pem";
    return sandbox_sh(script) == 0;
}

// Enters the namespaces and makes the test CA the only one the store holds.
// Returns the scratch folder, or "" after a message.
std::string enter_world()
{
    std::string dir = sandbox_tempdir("tls");
    if (dir.empty() || sandbox_enter(true) != 0 || !make_certificates(dir))
        return "";
    std::string store = dir + "/store";
    if (sandbox_sh("mkdir " + store + " && cp " + dir + "/ca.pem " + store +
                   "/ca-certificates.crt && openssl rehash " + store + " 2>/dev/null") != 0 ||
        sandbox_bind(store.c_str(), "/etc/ssl/certs", true) != 0)
        return "";
    if (!write_file(dir + "/hosts", "127.0.0.1 localhost dnsapi.cn\n") ||
        sandbox_bind((dir + "/hosts").c_str(), "/etc/hosts", true) != 0)
        return "";
    return dir;
}

struct tls_server {
    pid_t pid = -1;
    int port = -1;
};

// Starts tests/support/http_server.py on 127.0.0.1:port (0: a free one) with the
// named certificate, answering Record.List; the request log is dir/NAME.log.
tls_server start_server(const std::string &dir, const char *name, int port)
{
    tls_server s;
    std::string routes = dir + "/routes.json";
    std::string answer = std::string(R"([{"method":"POST","path":"/Record.List","body":)") + "\"" +
                         [] {
                             std::string quoted;
                             for (char c : std::string(kListAnswer)) {
                                 if (c == '"' || c == '\\')
                                     quoted += '\\';
                                 quoted += c;
                             }
                             return quoted;
                         }() + "\"}]";
    if (!write_file(routes, answer))
        return s;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return s;
    std::string listen = "https://127.0.0.1:" + std::to_string(port);
    std::string cert = dir + "/" + name + ".pem", key = dir + "/" + name + ".key";
    std::string log = dir + "/" + name + ".log";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], STDOUT_FILENO);
        execl("/usr/bin/python3", "python3", KIVO_HTTP_SERVER_SCRIPT, "--listen", listen.c_str(),
              "--cert", cert.c_str(), "--key", key.c_str(), "--routes", routes.c_str(), "--log",
              log.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string text;
    char buf[256];
    for (int waited = 0; pid > 0 && waited < 10000 && text.find("ready\n") == std::string::npos;
         waited += 100) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    s.pid = pid;
    int got = -1;
    if (std::sscanf(text.c_str(), "listening https %*s %d", &got) == 1 &&
        text.find("ready\n") != std::string::npos)
        s.port = got;
    else
        std::fprintf(stderr, "tls: server with %s did not start: %s\n", name, text.c_str());
    return s;
}

void stop_server(tls_server &s)
{
    if (s.pid > 0) {
        kill(s.pid, SIGTERM);
        waitpid(s.pid, nullptr, 0);
    }
    s = tls_server{};
}

// Runs scenario in a forked child; its result is the child's exit status, a
// set of failure bits (0: every check held).
template <typename Scenario>
int run_in_child(Scenario scenario)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(scenario());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return 255;
    return WEXITSTATUS(status);
}

long get_status(const tls_server &s, const char *host, const char *nic)
{
    char resp[256] = "";
    std::string url = "https://" + std::string(host) + ":" + std::to_string(s.port) + "/status/200";
    if (nic != nullptr)
        return kivo_curl_check_nic("GET", url.c_str(), nic, nullptr, nullptr, 0, resp, sizeof resp,
                                   5);
    return kivo_curl_cmd("GET", url.c_str(), nullptr, nullptr, nullptr, 0, resp, sizeof resp, 5);
}

enum {
    FAIL_SETUP = 1,
    FAIL_VOUCHED = 2,
    FAIL_STRANGER = 4,
    FAIL_TOKEN_SENT = 8,
    FAIL_MISNAMED = 16,
    FAIL_NIC = 32,
};

} // namespace

// The record client's real request to https://dnsapi.cn: answered through a
// vouched certificate, refused before the login token leaves with any other.
TEST(TlsVerify, RecordListReachesOnlyAVouchedPeer)
{
    int failures = run_in_child([]() -> int {
        std::string dir = enter_world();
        if (dir.empty())
            return FAIL_SETUP;
        int failed = 0;

        tls_server vouched = start_server(dir, "vouched", 443);
        if (vouched.port != 443)
            return FAIL_SETUP;
        int64_t id = 0;
        int32_t code = kivo_ddnspod_list("1,token", "box", "example.com", &id, "203.0.113.9");
        if (code != KIVO_DDNSPOD_LIST_SAME || id != 42) {
            std::fprintf(stderr, "tls: vouched peer: list code %d, id %lld\n", code,
                         static_cast<long long>(id));
            failed |= FAIL_VOUCHED;
        }
        stop_server(vouched);

        tls_server stranger = start_server(dir, "stranger", 443);
        if (stranger.port != 443)
            return failed | FAIL_SETUP;
        id = 0;
        code = kivo_ddnspod_list("1,token", "box", "example.com", &id, "203.0.113.9");
        if (code != KIVO_DDNSPOD_LIST_NONE || id != 0) {
            std::fprintf(stderr, "tls: self-signed peer: list code %d\n", code);
            failed |= FAIL_STRANGER;
        }
        stop_server(stranger);
        // The handshake failed, so no request, and no token, reached the server.
        if (sandbox_read_file(dir + "/stranger.log").find("Record.List") != std::string::npos)
            failed |= FAIL_TOKEN_SENT;
        sandbox_sh("rm -rf " + dir);
        return failed;
    });
    EXPECT_EQ(failures, 0) << "failure bits: 1 setup, 2 vouched peer refused, 4 self-signed peer "
                              "accepted, 8 request reached the self-signed peer";
}

// The CA alone is not enough: the certificate must name the host asked for.
// The interface-bound probe checks as the plain request does.
TEST(TlsVerify, HostNameAndBoundProbe)
{
    int failures = run_in_child([]() -> int {
        std::string dir = enter_world();
        if (dir.empty())
            return FAIL_SETUP;
        int failed = 0;

        tls_server misnamed = start_server(dir, "misnamed", 0);
        if (misnamed.port < 0)
            return FAIL_SETUP;
        long status = get_status(misnamed, "dnsapi.cn", nullptr);
        if (status != 0) {
            std::fprintf(stderr, "tls: misnamed certificate: status %ld\n", status);
            failed |= FAIL_MISNAMED;
        }
        stop_server(misnamed);

        tls_server vouched = start_server(dir, "vouched", 0);
        tls_server stranger = start_server(dir, "stranger", 0);
        if (vouched.port < 0 || stranger.port < 0)
            return failed | FAIL_SETUP;
        if (get_status(vouched, "127.0.0.1", nullptr) != 200)
            failed |= FAIL_VOUCHED;
        if (get_status(vouched, "dnsapi.cn", "lo") != 200 ||
            get_status(stranger, "dnsapi.cn", "lo") != 0)
            failed |= FAIL_NIC;
        if (get_status(stranger, "127.0.0.1", nullptr) != 0)
            failed |= FAIL_STRANGER;
        stop_server(vouched);
        stop_server(stranger);
        sandbox_sh("rm -rf " + dir);
        return failed;
    });
    EXPECT_EQ(failures, 0) << "failure bits: 1 setup, 2 vouched peer refused, 4 self-signed peer "
                              "accepted, 16 misnamed certificate accepted, 32 bound probe wrong";
}
