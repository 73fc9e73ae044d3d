// kivo_ddns built with KIVO_TLS_VERIFY, or run with KIVO_TLS_VERIFY=1: its
// HTTPS requests go through only to a peer whose certificate the system's store
// vouches for, under the name asked for. Each scenario runs in a forked child
// inside network and mount namespaces of its own. There the store is a folder
// that holds only the test's own CA, bound over /etc/ssl/certs (libcurl's
// bundle and folder both live there), and dnsapi.cn is 127.0.0.1 through a
// hosts file bound over /etc/hosts; the machine's own store and hosts file are
// never touched.
#include "kivo_ddnspod.h"
#include "libkivo_curl.h"

#include "http_server.h"
#include "in_child.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
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

// Enters the namespaces and makes the test CA the only one the store holds;
// dir is the scratch folder.
void enter_world(const std::string &dir)
{
    ASSERT_EQ(sandbox_enter(true), 0);
    ASSERT_TRUE(make_certificates(dir)) << sandbox_read_file(dir + "/openssl.log");
    std::string store = dir + "/store";
    ASSERT_EQ(sandbox_sh("mkdir " + store + " && cp " + dir + "/ca.pem " + store +
                         "/ca-certificates.crt && openssl rehash " + store + " 2>/dev/null"),
              0);
    ASSERT_EQ(sandbox_bind(store.c_str(), "/etc/ssl/certs", true), 0);
    ASSERT_TRUE(sandbox_write_file(dir + "/hosts", "127.0.0.1 localhost dnsapi.cn\n"));
    ASSERT_EQ(sandbox_bind((dir + "/hosts").c_str(), "/etc/hosts", true), 0);
}

// The scripted server on 127.0.0.1:port (0: a free one), TLS only, with the
// named certificate, answering Record.List. The texts live as long as the record.
struct peer_options {
    std::string cert, key, routes;
    http_server_options opt;

    peer_options(const std::string &dir, const char *name, int port)
        : cert(dir + "/" + name + ".pem"), key(dir + "/" + name + ".key")
    {
        routes = R"([{"method":"POST","path":"/Record.List","body":")";
        for (char c : std::string(kListAnswer)) {
            if (c == '"' || c == '\\')
                routes += '\\';
            routes += c;
        }
        routes += "\"}]";
        opt.http_port = -1;
        opt.https_port = port;
        opt.routes = routes.c_str();
        opt.cert = cert.c_str();
        opt.key = key.c_str();
    }
};

long get_status(const http_server &s, const char *host, const char *nic)
{
    char resp[256] = "";
    std::string url =
        "https://" + std::string(host) + ":" + std::to_string(s.https_port) + "/status/200";
    if (nic != nullptr)
        return kivo_curl_check_nic("GET", url.c_str(), nic, nullptr, nullptr, 0, resp, sizeof resp,
                                   5);
    return kivo_curl_cmd("GET", url.c_str(), nullptr, nullptr, nullptr, 0, resp, sizeof resp, 5);
}

// The record client's list request to dnsapi.cn, answered on port 443 by a peer
// with the named certificate: the client's result, and the requests the peer saw.
void list_through(const std::string &dir, const char *name, int32_t *code, int64_t *id,
                  std::string *requests)
{
    http_server_scope peer(peer_options(dir, name, 443).opt);
    ASSERT_EQ(peer.started, 0);
    ASSERT_EQ(peer.srv.https_port, 443);
    *id = 0;
    *code = kivo_ddnspod_list("1,token", "box", "example.com", id, "203.0.113.9");
    *requests = http_server_requests(peer.srv);
}

// Runs scenario(dir) in a forked child inside that world; the scratch folder is
// removed once the child is done.
template <typename Scenario>
void in_world(Scenario scenario)
{
    temp_dir dir("tls");
    ASSERT_FALSE(dir.path.empty());
    in_child([&] {
        ASSERT_NO_FATAL_FAILURE(enter_world(dir.path));
        scenario(dir.path);
    });
}

} // namespace

// The record client's real request to https://dnsapi.cn: answered through a
// vouched certificate, refused before the login token leaves with any other.
TEST(TlsVerify, RecordListReachesOnlyAVouchedPeer)
{
    in_world([](const std::string &dir) {
        int32_t code = 0;
        int64_t id = 0;
        std::string requests;
        ASSERT_NO_FATAL_FAILURE(list_through(dir, "vouched", &code, &id, &requests));
        EXPECT_EQ(code, KIVO_DDNSPOD_LIST_SAME) << "a vouched peer was refused";
        EXPECT_EQ(id, 42);
        ASSERT_NO_FATAL_FAILURE(list_through(dir, "stranger", &code, &id, &requests));
        EXPECT_EQ(code, KIVO_DDNSPOD_LIST_NONE) << "a self-signed peer was accepted";
        EXPECT_EQ(id, 0);
        // The handshake failed, so no request, and no token, reached the server.
        EXPECT_EQ(requests.find("Record.List"), std::string::npos) << requests;
    });
}

// The CA alone is not enough: the certificate must name the host asked for.
// The interface-bound probe checks as the plain request does.
TEST(TlsVerify, HostNameAndBoundProbe)
{
    in_world([](const std::string &dir) {
        {
            http_server_scope misnamed(peer_options(dir, "misnamed", 0).opt);
            ASSERT_EQ(misnamed.started, 0);
            EXPECT_EQ(get_status(misnamed.srv, "dnsapi.cn", nullptr), 0)
                << "a misnamed certificate was accepted";
        }
        http_server_scope vouched(peer_options(dir, "vouched", 0).opt);
        http_server_scope stranger(peer_options(dir, "stranger", 0).opt);
        ASSERT_EQ(vouched.started, 0);
        ASSERT_EQ(stranger.started, 0);
        EXPECT_EQ(get_status(vouched.srv, "127.0.0.1", nullptr), 200) << "a vouched peer refused";
        EXPECT_EQ(get_status(vouched.srv, "dnsapi.cn", "lo"), 200) << "bound probe, vouched peer";
        EXPECT_EQ(get_status(stranger.srv, "dnsapi.cn", "lo"), 0) << "bound probe, self-signed";
        EXPECT_EQ(get_status(stranger.srv, "127.0.0.1", nullptr), 0)
            << "a self-signed peer was accepted";
    });
}
