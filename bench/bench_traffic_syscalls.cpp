// How many system calls libkivotraffic adds to each interposed call, counted by
// strace -c over a probe that makes the same calls bare and preloaded.
//
//   bench_traffic_syscalls [--library=PATH] [--calls=N]
//
// For every kind of call the probe runs N and then 2N of them, bare and with
// the library preloaded; the difference of the differences, divided by N, is
// what the library adds to one call, free of start-up and of the report
// thread's one start. Only the probe's main thread is traced (no -f): the
// report thread's own work is no part of a host's call. Exits 1 when a call
// adds more than its limit: none on a socket (read, write, readv, writev and
// __read_chk take the socket call itself, which answers for the descriptor
// kind), none for the message calls and sendfile; one (the failed socket call)
// for read and write on anything else; one fstat per side for splice.
//
//   bench_traffic_syscalls --probe KIND N    (what strace runs)
#include <fcntl.h>
#include <sched.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct probe_kind {
    const char *name;
    int limit;  // added system calls allowed per call
};

constexpr probe_kind probe_kinds[] = {
    {"write_socket", 0},  {"read_socket", 0},   {"writev_socket", 0}, {"readv_socket", 0},
    {"read_chk_socket", 0}, {"write_pipe", 1},  {"read_pipe", 1},     {"read_file", 1},
    {"sendfile_socket", 0}, {"sendfile64_socket", 0}, {"splice_socket", 2},
    {"write_nothing", 0}, {"read_nothing", 0},  {"send", 0},          {"recv", 0},
    {"sendto", 0},        {"recvfrom", 0},      {"sendmsg", 0},       {"recvmsg", 0},
    {"sendmmsg", 0},      {"recvmmsg", 0},
};

extern "C" ssize_t __read_chk(int fd, void *buf, size_t count, size_t buf_size);

// Makes n calls of one kind. Whatever a call needs around it (data to read, a
// drained buffer) goes through raw system calls, the same bare and preloaded.
int probe(const char *kind, long n)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return 1;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        return 1;
    int file = open("/proc/self/exe", O_RDONLY);
    if (file < 0)
        return 1;
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    char buf[64] = {};
    const size_t size = 16;
    struct iovec iov[2] = {{buf, size / 2}, {buf + size / 2, size / 2}};
    struct msghdr msg = {};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    struct mmsghdr mmsg = {msg, 0};
    int splice_pipe[2];
    if (pipe(splice_pipe) != 0)
        return 1;
    for (long i = 0; i < n; i++) {
        ssize_t r = 0;
        if (std::strcmp(kind, "write_socket") == 0) {
            r = write(pair[0], buf, size);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "read_socket") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = read(pair[1], buf, size);
        } else if (std::strcmp(kind, "writev_socket") == 0) {
            r = writev(pair[0], iov, 2);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "readv_socket") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = readv(pair[1], iov, 2);
        } else if (std::strcmp(kind, "read_chk_socket") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = __read_chk(pair[1], buf, size, sizeof buf);
        } else if (std::strcmp(kind, "write_pipe") == 0) {
            r = write(pipe_fds[1], buf, size);
            syscall(SYS_read, pipe_fds[0], buf, size);
        } else if (std::strcmp(kind, "read_pipe") == 0) {
            syscall(SYS_write, pipe_fds[1], buf, size);
            r = read(pipe_fds[0], buf, size);
        } else if (std::strcmp(kind, "read_file") == 0) {
            r = read(file, buf, size);
            syscall(SYS_lseek, file, 0, SEEK_SET);
        } else if (std::strcmp(kind, "sendfile_socket") == 0) {
            off_t offset = 0;
            r = sendfile(pair[0], file, &offset, size);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "sendfile64_socket") == 0) {
            off64_t offset = 0;
            r = sendfile64(pair[0], file, &offset, size);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "splice_socket") == 0) {
            syscall(SYS_write, splice_pipe[1], buf, size);
            r = splice(splice_pipe[0], nullptr, pair[0], nullptr, size, 0);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "write_nothing") == 0) {
            r = write(pair[0], buf, 0) == 0 ? 1 : -1;
        } else if (std::strcmp(kind, "read_nothing") == 0) {
            r = read(pair[1], buf, size) < 0 ? 1 : -1;  // empty: EAGAIN
        } else if (std::strcmp(kind, "send") == 0) {
            r = send(pair[0], buf, size, 0);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "recv") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = recv(pair[1], buf, size, 0);
        } else if (std::strcmp(kind, "sendto") == 0) {
            r = sendto(pair[0], buf, size, 0, nullptr, 0);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "recvfrom") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = recvfrom(pair[1], buf, size, 0, nullptr, nullptr);
        } else if (std::strcmp(kind, "sendmsg") == 0) {
            r = sendmsg(pair[0], &msg, 0);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "recvmsg") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = recvmsg(pair[1], &msg, 0);
        } else if (std::strcmp(kind, "sendmmsg") == 0) {
            r = sendmmsg(pair[0], &mmsg, 1, 0);
            syscall(SYS_read, pair[1], buf, size);
        } else if (std::strcmp(kind, "recvmmsg") == 0) {
            syscall(SYS_write, pair[0], buf, size);
            r = recvmmsg(pair[1], &mmsg, 1, 0, nullptr);
        } else {
            return 2;
        }
        if (r <= 0)
            return 1;
    }
    return 0;
}

// Runs the probe under strace -c and returns the main thread's system calls, or -1.
long count_calls(const char *self, const char *library, const char *kind, long n)
{
    char out_name[] = "/tmp/kivo-traffic-strace-XXXXXX";
    int out = mkstemp(out_name);
    if (out < 0)
        return -1;
    close(out);
    std::string preload = std::string("LD_PRELOAD=") + (library ? library : "");
    std::string calls = std::to_string(n);
    std::vector<const char *> argv = {"strace", "-c", "-qq", "-o", out_name};
    if (library) {
        argv.push_back("-E");
        argv.push_back(preload.c_str());
        argv.push_back("-E");
        argv.push_back("KIVO_CP=iqiyi");
    }
    for (const char *a : {self, "--probe", kind, calls.c_str()})
        argv.push_back(a);
    argv.push_back(nullptr);

    pid_t child = fork();
    if (child == 0) {
        execvp("strace", const_cast<char **>(argv.data()));
        std::fprintf(stderr, "bench_traffic_syscalls: cannot run strace\n");
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        unlink(out_name);
        return -1;
    }
    // The summary ends with: "100.00 SECONDS USECS CALLS [ERRORS] total".
    long total = -1;
    FILE *summary = std::fopen(out_name, "r");
    char line[256];
    while (summary && std::fgets(line, sizeof line, summary)) {
        double percent, seconds;
        long usecs, count;
        if (std::strstr(line, " total") &&
            std::sscanf(line, "%lf %lf %ld %ld", &percent, &seconds, &usecs, &count) == 4)
            total = count;
    }
    if (summary)
        std::fclose(summary);
    unlink(out_name);
    return total;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--probe") == 0)
        return probe(argv[2], std::atol(argv[3]));

    const char *library = KIVO_TRAFFIC_LIBRARY;
    long n = 2000;
    for (int i = 1; i < argc; i++) {
        if (std::strncmp(argv[i], "--library=", 10) == 0)
            library = argv[i] + 10;
        else if (std::strncmp(argv[i], "--calls=", 8) == 0 && std::atol(argv[i] + 8) > 0)
            n = std::atol(argv[i] + 8);
        else {
            std::fprintf(stderr, "usage: bench_traffic_syscalls [--library=PATH] [--calls=N]\n");
            return 2;
        }
    }
    // The report thread must not reach this machine's ports.
    if (unshare(CLONE_NEWNET) != 0)
        std::fprintf(stderr, "bench_traffic_syscalls: no private network namespace (not root?)\n");

    std::printf("system calls added per call by %s (%ld and %ld calls, main thread):\n", library,
                n, 2 * n);
    std::printf("  %-18s %8s %6s\n", "call", "added", "limit");
    bool within = true;
    for (const probe_kind &kind : probe_kinds) {
        long bare1 = count_calls(argv[0], nullptr, kind.name, n);
        long bare2 = count_calls(argv[0], nullptr, kind.name, 2 * n);
        long pre1 = count_calls(argv[0], library, kind.name, n);
        long pre2 = count_calls(argv[0], library, kind.name, 2 * n);
        if (bare1 < 0 || bare2 < 0 || pre1 < 0 || pre2 < 0) {
            std::printf("  %-18s %8s\n", kind.name, "failed");
            within = false;
            continue;
        }
        double added = static_cast<double>((pre2 - pre1) - (bare2 - bare1)) / static_cast<double>(n);
        bool ok = added <= kind.limit + 0.005;
        within = within && ok;
        std::printf("  %-18s %8.2f %6d%s\n", kind.name, added, kind.limit, ok ? "" : "  OVER");
    }
    return within ? 0 : 1;
}
