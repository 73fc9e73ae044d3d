// The streaming URL reader and the downloads against a real loopback server.
#include "libkivo_curl.h"

#include "http_server.h"
#include "in_child.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr const char *routes = R"([
  {"path": "/ten", "body": "0123456789"},
  {"path": "/stall", "body": "0123456789abcdefghij", "chunk": 10, "drip_ms": 3000}
])";

class UrlReader : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(http_server_start_both(&srv, routes), 0);
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override
    {
        http_server_stop(&srv);
    }
    std::string url(const char *path, bool tls = false) { return http_server_url(srv, path, tls); }
    url_file *open_get(const std::string &u)
    {
        return url_fopen(u.c_str(), "r", "GET", nullptr, nullptr, 0, 5, 20);
    }
    // Reads the reader to its end in pieces of piece bytes.
    static std::string drain(url_file *file, size_t piece)
    {
        std::string all;
        std::string chunk(piece, '\0');
        size_t n;
        while ((n = url_fread(chunk.data(), 1, piece, file)) > 0)
            all.append(chunk.data(), n);
        return all;
    }

    http_server srv;
    temp_dir scratch{"url"};  // removed with the fixture
    std::string dir = scratch.path;
};

} // namespace

TEST_F(UrlReader, LocalPathIsReadFromTheFileSystem)
{
    std::string path = dir + "/local.txt";
    std::ofstream(path) << "local file, not a URL\n";
    // The path is opened before the method is looked at, so even DELETE reads it.
    for (const char *method : {"GET", "POST", "DELETE"}) {
        SCOPED_TRACE(method);
        url_file *file = url_fopen(path.c_str(), "r", method, nullptr, nullptr, 0, 1, 1);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(drain(file, 5), "local file, not a URL\n");
        EXPECT_EQ(url_fclose(file), 0);
    }
    char buf[64];
    kivo_download_buffer("DELETE", path.c_str(), nullptr, nullptr, 0, 1, 1, buf, sizeof buf);
    EXPECT_STREQ(buf, "local file, not a URL\n");
    EXPECT_EQ(http_server_requests(srv), "");
}

TEST_F(UrlReader, GetAndPostAndRedirects)
{
    char buf[512];
    kivo_download_buffer("GET", url("/ten").c_str(), nullptr, nullptr, 0, 5, 10, buf, sizeof buf);
    EXPECT_STREQ(buf, "0123456789");

    const char body[] = "a=1&b=2-not-sent";
    kivo_download_buffer("POST", url("/echo").c_str(), nullptr, body, 7, 5, 10, buf, sizeof buf);
    std::string echo = buf;
    EXPECT_EQ(echo.rfind("POST /echo HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(echo.substr(echo.size() - 11), "\r\n\r\na=1&b=2");

    // Redirects are followed, over HTTPS with a self-signed certificate too.
    kivo_download_buffer("GET", url("/redirect?to=/status/404", true).c_str(), nullptr, nullptr, 0,
                         5, 10, buf, sizeof buf);
    EXPECT_STREQ(buf, "status 404\n");
}

TEST_F(UrlReader, LargeBodyInSmallPiecesArrivesByteForByte)
{
    url_file *file = open_get(url("/bytes/5000000"));
    ASSERT_NE(file, nullptr);
    std::string all = drain(file, 1000);
    EXPECT_EQ(url_fclose(file), 0);
    ASSERT_EQ(all.size(), 5000000u);
    EXPECT_TRUE(all == http_server_pattern(5000000));
}

TEST_F(UrlReader, ReadCountsWholeItemsOnly)
{
    url_file *file = open_get(url("/ten"));
    ASSERT_NE(file, nullptr);
    char items[12];
    std::memset(items, 'x', sizeof items);
    EXPECT_EQ(url_fread(items, 4, 3, file), 2u);
    EXPECT_EQ(std::string(items, 10), "0123456789");
    EXPECT_EQ(items[10], 'x');
    // The two bytes of the partial item are gone.
    EXPECT_EQ(url_fread(items, 1, sizeof items, file), 0u);
    // Zero-sized items read nothing rather than divide by zero.
    EXPECT_EQ(url_fread(items, 0, 3, file), 0u);
    EXPECT_EQ(url_fclose(file), 0);

    EXPECT_EQ(url_fread(items, 1, 1, nullptr), 0u);
    EXPECT_EQ(url_fclose(nullptr), -1);
}

TEST_F(UrlReader, ReadOfWhatIsBufferedDoesNotWaitForMore)
{
    // The server sends 10 bytes, then nothing for 3 s.
    url_file *file = url_fopen(url("/stall").c_str(), "r", "GET", nullptr, nullptr, 0, 0, 0);
    ASSERT_NE(file, nullptr);
    char piece[5];
    ASSERT_EQ(url_fread(piece, 1, 5, file), 5u);
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(url_fread(piece, 1, 5, file), 5u);
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(std::string(piece, 5), "56789");
    EXPECT_LT(waited, 1.0);
    EXPECT_EQ(url_fclose(file), 0);
}

TEST_F(UrlReader, UnsupportedSchemeOpensNothing)
{
    const char *bad = "kivo-nope://127.0.0.1/ten";
    EXPECT_EQ(url_fopen(bad, "r", "GET", nullptr, nullptr, 0, 1, 1), nullptr);
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    kivo_download_buffer("GET", bad, nullptr, nullptr, 0, 1, 1, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, sizeof buf), "xxxxxxxx");
    std::string out = dir + "/never";
    EXPECT_EQ(kivo_download_file("GET", bad, nullptr, nullptr, 0, 1, 1, out.c_str()), -1);
    EXPECT_NE(access(out.c_str(), F_OK), 0);
}

TEST_F(UrlReader, UnsupportedMethodOnANetworkUrlEndsTheProcess)
{
    std::string u = url("/ten");
    EXPECT_EXIT(url_fopen(u.c_str(), "r", "DELETE", nullptr, nullptr, 0, 1, 1),
                ::testing::ExitedWithCode(255), "^$");
    EXPECT_EXIT(kivo_download_file("get", u.c_str(), nullptr, nullptr, 0, 1, 1, "/dev/null"),
                ::testing::ExitedWithCode(255), "^$");
}

TEST_F(UrlReader, DownloadBufferFillsAndZeroes)
{
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    kivo_download_buffer("GET", url("/ten").c_str(), nullptr, nullptr, 0, 5, 10, buf, 14);
    EXPECT_EQ(std::string(buf, 16), std::string("0123456789\0\0\0\0xx", 16));

    std::memset(buf, 'x', sizeof buf);
    kivo_download_buffer("GET", url("/ten").c_str(), nullptr, nullptr, 0, 5, 10, buf, 4);
    EXPECT_EQ(std::string(buf, 16), "0123xxxxxxxxxxxx");

    // An open transfer that then yields no data leaves the buffer all zero.
    std::memset(buf, 'x', sizeof buf);
    kivo_download_buffer("GET", url("/empty?delay=100").c_str(), nullptr, nullptr, 0, 5, 10, buf,
                         sizeof buf);
    EXPECT_EQ(std::string(buf, 16), std::string(16, '\0'));
    std::memset(buf, 'x', sizeof buf);
    kivo_download_buffer("GET", url("/hangup?delay=100").c_str(), nullptr, nullptr, 0, 5, 10, buf,
                         sizeof buf);
    EXPECT_EQ(std::string(buf, 16), std::string(16, '\0'));
}

TEST_F(UrlReader, HeaderLinesReplaceTheLibkivoUserAgent)
{
    char buf[1024];
    kivo_download_buffer("GET", url("/echo").c_str(), nullptr, nullptr, 0, 5, 10, buf, sizeof buf);
    EXPECT_NE(std::strstr(buf, "User-Agent: libkivo\r\n"), nullptr);

    const char *lines[] = {"X-Kivo-Probe: 1", nullptr};
    kivo_download_buffer("GET", url("/echo").c_str(), lines, nullptr, 0, 5, 10, buf, sizeof buf);
    EXPECT_NE(std::strstr(buf, "X-Kivo-Probe: 1\r\n"), nullptr);
    EXPECT_EQ(std::strstr(buf, "User-Agent"), nullptr);
}

TEST_F(UrlReader, TwoReadersShareTheMultiHandle)
{
    url_file *a = open_get(url("/bytes/2000000?chunk=65536&drip=5"));
    url_file *b = open_get(url("/bytes/1500000?chunk=65536&drip=5", true));
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::string got_a, got_b;
    char piece[4096];
    size_t na = 1, nb = 1;
    while (na > 0 || nb > 0) {
        if (na > 0 && (na = url_fread(piece, 1, sizeof piece, a)) > 0)
            got_a.append(piece, na);
        if (nb > 0 && (nb = url_fread(piece, 1, 3000, b)) > 0)
            got_b.append(piece, nb);
    }
    EXPECT_EQ(url_fclose(a), 0);
    EXPECT_EQ(url_fclose(b), 0);
    EXPECT_EQ(got_a.size(), 2000000u);
    EXPECT_EQ(got_b.size(), 1500000u);
    EXPECT_TRUE(got_a == http_server_pattern(2000000));
    EXPECT_TRUE(got_b == http_server_pattern(1500000));
}

TEST_F(UrlReader, DownloadFileStoresTheBody)
{
    std::string path = dir + "/big.bin";
    std::string u = url("/bytes/3000000");
    ::testing::internal::CaptureStdout();
    long size = kivo_download_file("GET", u.c_str(), nullptr, nullptr, 0, 5, 20, path.c_str());
    std::fflush(stdout);
    std::string line = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(size, 3000000);
    EXPECT_TRUE(sandbox_read_file(path) == http_server_pattern(3000000));
    EXPECT_EQ(line, "url(" + u + "), filepath(" + path + "), filesize(3000000)\n");

    // An empty body truncates what was there.
    u = url("/empty");
    ::testing::internal::CaptureStdout();
    size = kivo_download_file("POST", u.c_str(), nullptr, "x", 1, 5, 20, path.c_str());
    std::fflush(stdout);
    line = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(size, 0);
    EXPECT_EQ(sandbox_read_file(path), "");
    EXPECT_EQ(line, "url(" + u + "), filepath(" + path + "), filesize(0)\n");
}

TEST_F(UrlReader, DownloadFileReportsDestinationFailures)
{
    std::string u = url("/bytes/100000");
    std::string missing = dir + "/no/such/dir/out.bin";
    EXPECT_EQ(kivo_download_file("GET", u.c_str(), nullptr, nullptr, 0, 5, 20, missing.c_str()), -2);
    // Every write to /dev/full fails with ENOSPC.
    ::testing::internal::CaptureStdout();
    long size = kivo_download_file("GET", u.c_str(), nullptr, nullptr, 0, 5, 20, "/dev/full");
    std::fflush(stdout);
    EXPECT_EQ(size, -3);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    // A short body sits in stdio's buffer until the close, which then fails.
    EXPECT_EQ(kivo_download_file("GET", url("/ten").c_str(), nullptr, nullptr, 0, 5, 20,
                                 "/dev/full"),
              -3);
}

TEST_F(UrlReader, DownloadFileOntoAFullFileSystem)
{
    std::string u = url("/bytes/1000000");
    std::string mnt = dir;
    in_child([&] {
        // A 64 KiB tmpfs in a mount namespace of the child's own.
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
        ASSERT_EQ(mount("kivo-full", mnt.c_str(), "tmpfs", 0, "size=64k"), 0);
        std::string path = mnt + "/out.bin";
        EXPECT_EQ(kivo_download_file("GET", u.c_str(), nullptr, nullptr, 0, 5, 20, path.c_str()),
                  -3)
            << "a cut file was reported as a download";
    });
}

TEST(UrlWaitLimit, LibcurlTimeBecomesTheSelectLimit)
{
    struct {
        long ms;
        long sec, usec;
    } cases[] = {
        {-1, 60, 0},   {0, 0, 0},        {999, 0, 999000}, {1500, 1, 500000},
        {1999, 1, 999000}, {2000, 1, 0}, {2500, 1, 0},     {90000, 1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ms);
        struct timeval limit = {-7, -7};
        url_wait_limit(c.ms, &limit);
        EXPECT_EQ(limit.tv_sec, c.sec);
        EXPECT_EQ(limit.tv_usec, c.usec);
    }
}
