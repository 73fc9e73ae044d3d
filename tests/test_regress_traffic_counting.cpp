// libkivotraffic's counting code built into this test program itself, so that
// in the sanitizer build it runs under AddressSanitizer, which cannot follow the
// preloaded library into other processes. The program's own read, write, send,
// recv, sendto, recvfrom and sendfile are the library's; they reach libc (and
// ASan's checks of the buffers) through RTLD_NEXT as they do when preloaded.
// Each scenario runs in a forked child in a network namespace of its own, so
// the report thread that the first write starts finds no agent anywhere.
#include "kivo_traffic.h"

#include "in_child.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/sendfile.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
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

// Runs body in a forked child inside a fresh network namespace.
template <typename Body>
void in_netns(Body body)
{
    in_child([&] {
        ASSERT_EQ(sandbox_enter(false), 0) << "no network namespace";
        body();
    });
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
    in_netns([] {
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
    in_netns([] {
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
        temp_dir dir("traffic_counting");
        ASSERT_FALSE(dir.path.empty());
        std::string path = dir / "payload";
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
    });
}

// read and write now reach a socket through recv and send with no flags. The
// host must not be able to tell: each case here makes the call through the
// library and checks what the plain call would have given.

TEST(RegressTrafficCounting, AReadOfNothingLeavesAnEmptyDatagramQueued)
{
    in_netns([] {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
        char buf[8];
        struct iovec none = {buf, 0};
        for (int round = 0; round < 2; round++) {
            ASSERT_EQ(syscall(SYS_sendto, pair[0], buf, 0, 0, nullptr, 0), 0);
            EXPECT_EQ(round == 0 ? read(pair[1], buf, 0) : readv(pair[1], &none, 1), 0);
            // Still there: the raw call takes it, and then the queue is empty.
            EXPECT_EQ(syscall(SYS_recvfrom, pair[1], buf, sizeof buf, MSG_DONTWAIT, nullptr,
                              nullptr),
                      0);
            EXPECT_EQ(syscall(SYS_recvfrom, pair[1], buf, sizeof buf, MSG_DONTWAIT, nullptr,
                              nullptr),
                      -1);
            EXPECT_EQ(errno, EAGAIN);
        }
    });
}

TEST(RegressTrafficCounting, BrokenPipeAndShutDownSocketsAsWithoutTheLibrary)
{
    in_netns([] {
        // A closed peer: SIGPIPE ends the writer, as a plain write does.
        EXPECT_EQ(in_child_ended_by([] {
                      int pair[2];
                      if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
                          _exit(2);
                      close(pair[1]);
                      char byte = 'x';
                      ssize_t r = write(pair[0], &byte, 1);
                      _exit(r < 0 ? 3 : 4);
                  }),
                  128 + SIGPIPE);
        // Ignored, it is EPIPE; also on a socket shut down for writing.
        signal(SIGPIPE, SIG_IGN);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(shutdown(pair[0], SHUT_WR), 0);
        counters before = now();
        char byte = 'x';
        errno = 0;
        EXPECT_EQ(write(pair[0], &byte, 1), -1);
        EXPECT_EQ(errno, EPIPE);
        struct iovec one = {&byte, 1};
        errno = 0;
        EXPECT_EQ(writev(pair[0], &one, 1), -1);
        EXPECT_EQ(errno, EPIPE);
        EXPECT_EQ(now().sent, before.sent);
        // The other way still works, and counts.
        EXPECT_EQ(write(pair[1], &byte, 1), 1);
        EXPECT_EQ(read(pair[0], &byte, 1), 1);
        EXPECT_EQ(now().sent - before.sent, 1);
        EXPECT_EQ(now().received - before.received, 1);
        signal(SIGPIPE, SIG_DFL);
    });
}

TEST(RegressTrafficCounting, OtherDescriptorsMoveTheirBytesUncountedAndKeepErrno)
{
    in_netns([] {
        counters before = now();
        // A terminal: the master side written, the slave side read.
        int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        errno = EDOM;
        EXPECT_EQ(write(master, "hi\n", 3), 3);
        EXPECT_EQ(errno, EDOM) << "a successful call must leave the host's errno";
        char line[16] = {};
        EXPECT_EQ(read(slave, line, sizeof line), 3);
        EXPECT_STREQ(line, "hi\n");

        // An eventfd moves an 8-byte counter.
        int event = eventfd(0, 0);
        ASSERT_GE(event, 0);
        uint64_t value = 5;
        EXPECT_EQ(write(event, &value, sizeof value), 8);
        value = 0;
        EXPECT_EQ(read(event, &value, sizeof value), 8);
        EXPECT_EQ(value, 5u);
        // Too short a buffer is EINVAL, as the plain read says.
        errno = 0;
        EXPECT_EQ(read(event, &value, 4), -1);
        EXPECT_EQ(errno, EINVAL);

        // A signalfd gives one record per pending signal.
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr1, nullptr), 0);
        int signals = signalfd(-1, &usr1, 0);
        ASSERT_GE(signals, 0);
        ASSERT_EQ(raise(SIGUSR1), 0);
        struct signalfd_siginfo info = {};
        EXPECT_EQ(read(signals, &info, sizeof info), static_cast<ssize_t>(sizeof info));
        EXPECT_EQ(info.ssi_signo, static_cast<uint32_t>(SIGUSR1));

        counters after = now();
        EXPECT_EQ(after.sent, before.sent);
        EXPECT_EQ(after.received, before.received);

        // A socket keeps the host's errno too, and its record boundaries.
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        errno = EDOM;
        EXPECT_EQ(write(pair[0], "ab", 2), 2);
        EXPECT_EQ(write(pair[0], "cde", 3), 3);
        EXPECT_EQ(errno, EDOM);
        char got[16];
        EXPECT_EQ(read(pair[1], got, sizeof got), 2);
        EXPECT_EQ(read(pair[1], got, sizeof got), 3);
        EXPECT_EQ(errno, EDOM);
        EXPECT_EQ(now().sent - after.sent, 5);
        EXPECT_EQ(now().received - after.received, 5);
    });
}

extern "C" ssize_t __read_chk(int fd, void *buf, size_t count, size_t buf_size);
extern "C" ssize_t __recv_chk(int fd, void *buf, size_t len, size_t buf_size, int flags);

TEST(RegressTrafficCounting, FortifiedCallsStopALengthAboveTheBuffer)
{
    in_netns([] {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        ASSERT_EQ(write(pair[0], "0123456789", 10), 10);
        auto small = block(5, 0);
        // As without the library: __chk_fail ends the process with SIGABRT.
        EXPECT_EQ(in_child_ended_by([&] { __read_chk(pair[1], small.get(), 10, 5); }),
                  128 + SIGABRT);
        EXPECT_EQ(in_child_ended_by([&] { __recv_chk(pair[1], small.get(), 10, 5, 0); }),
                  128 + SIGABRT);
        // Within the buffer both read, and count.
        counters before = now();
        EXPECT_EQ(__read_chk(pair[1], small.get(), 5, 5), 5);
        EXPECT_EQ(__recv_chk(pair[1], small.get(), 5, 5, 0), 5);
        EXPECT_EQ(now().received - before.received, 10);
    });
}
