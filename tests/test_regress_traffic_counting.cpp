// libkivotraffic's counting code built into this test program itself, so that
// in the sanitizer build it runs under AddressSanitizer, which cannot follow the
// preloaded library into other processes. The program's own read, write, send,
// recv, sendto, recvfrom and sendfile are the library's; they reach libc (and
// ASan's checks of the buffers) through RTLD_NEXT as they do when preloaded.
// Each scenario runs in a forked child in a network namespace of its own, so
// the report thread that the first write starts finds no agent anywhere.
#include "kivo_traffic.h"

#include "sandbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

struct counters {
    long long sent;
    long long received;
};

counters now()
{
    return {__atomic_load_n(&total_send_bytes, __ATOMIC_RELAXED),
            __atomic_load_n(&total_receive_bytes, __ATOMIC_RELAXED)};
}

// Runs body in a forked child inside a fresh network namespace; the child's
// gtest failures are printed there and come back as its exit status.
template <typename Body>
void in_child(Body body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (sandbox_enter(false) != 0)
            _exit(2);
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no namespace; 1: a check failed in the child";
}

// Buffers of exactly n bytes on the heap: a call that touched more is an ASan report.
std::unique_ptr<char[]> block(size_t n, char fill)
{
    auto b = std::make_unique<char[]>(n);
    std::memset(b.get(), fill, n);
    return b;
}

} // namespace

TEST(RegressTrafficCounting, SocketBytesCountOtherBytesDoNot)
{
    in_child([] {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        auto out = block(1000, 'a');
        auto in = block(1000, 0);

        counters before = now();
        ASSERT_EQ(write(pair[0], out.get(), 1000), 1000);
        ASSERT_EQ(read(pair[1], in.get(), 1000), 1000);
        ASSERT_EQ(send(pair[0], out.get(), 300, 0), 300);
        ASSERT_EQ(recv(pair[1], in.get(), 1000, 0), 300);
        counters after = now();
        EXPECT_EQ(after.sent - before.sent, 1300);
        EXPECT_EQ(after.received - before.received, 1300);

        // A pipe is no socket: nothing counts.
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        before = now();
        ASSERT_EQ(write(p[1], out.get(), 50), 50);
        ASSERT_EQ(read(p[0], in.get(), 1000), 50);
        after = now();
        EXPECT_EQ(after.sent, before.sent);
        EXPECT_EQ(after.received, before.received);

        // A failed call counts nothing and leaves the host its errno.
        before = now();
        errno = 0;
        EXPECT_EQ(read(p[1], in.get(), 10), -1);
        EXPECT_EQ(errno, EBADF);
        close(p[0]);
        close(p[1]);
        EXPECT_EQ(now().received, before.received);
    });
}

TEST(RegressTrafficCounting, DatagramsAndSendfile)
{
    in_child([] {
        int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(rx, 0);
        ASSERT_GE(tx, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        ASSERT_EQ(bind(rx, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        ASSERT_EQ(getsockname(rx, reinterpret_cast<sockaddr *>(&addr), &len), 0);

        auto out = block(200, 'd');
        auto in = block(512, 0);
        counters before = now();
        ASSERT_EQ(sendto(tx, out.get(), 200, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr),
                  200);
        sockaddr_in from = {};
        socklen_t from_len = sizeof from;
        ASSERT_EQ(recvfrom(rx, in.get(), 512, 0, reinterpret_cast<sockaddr *>(&from), &from_len),
                  200);
        counters after = now();
        EXPECT_EQ(after.sent - before.sent, 200);
        EXPECT_EQ(after.received - before.received, 200);

        // sendfile's output always counts; what the peer reads counts as received.
        std::string dir = sandbox_tempdir("traffic_counting");
        ASSERT_FALSE(dir.empty());
        std::string path = dir + "/payload";
        int file = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(file, 0);
        ASSERT_EQ(write(file, out.get(), 123), 123);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        before = now();
        off_t offset = 0;
        ASSERT_EQ(sendfile(pair[0], file, &offset, 123), 123);
        ASSERT_EQ(read(pair[1], in.get(), 512), 123);
        after = now();
        EXPECT_EQ(after.sent - before.sent, 123);
        EXPECT_EQ(after.received - before.received, 123);
        close(file);
        unlink(path.c_str());
        rmdir(dir.c_str());
    });
}
