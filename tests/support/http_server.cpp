#include "http_server.h"

#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#ifndef KIVO_HTTP_SERVER_SCRIPT
#error "KIVO_HTTP_SERVER_SCRIPT names tests/support/http_server.py"
#endif

static constexpr int http_server_start_ms = 10000;

static int http_server_write_file(const std::string &path, const char *text)
{
    std::string tmp = path + ".new";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out)
            return -1;
    }
    // A rename gives the server either the old script or the new one, never half.
    return std::rename(tmp.c_str(), path.c_str()) == 0 ? 0 : -1;
}

static void http_server_exec(int out_fd, const std::vector<std::string> &args)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0)
        dup2(null_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "http_server: exec %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

// Reads the server's start-up lines until "ready"; fills in the ports.
static int http_server_wait_ready(http_server *srv, int in_fd)
{
    std::string text;
    char buf[512];
    for (int waited = 0; waited < http_server_start_ms; waited += 100) {
        pollfd p = {in_fd, POLLIN, 0};
        int r = poll(&p, 1, 100);
        if (r < 0 && errno != EINTR)
            return -1;
        if (r <= 0)
            continue;
        ssize_t n = read(in_fd, buf, sizeof buf);
        if (n <= 0)
            return -1;
        text.append(buf, static_cast<size_t>(n));
        if (text.find("ready\n") != std::string::npos)
            break;
    }
    std::istringstream lines(text);
    std::string word, scheme, address;
    int port = -1;
    bool ready = false;
    while (lines >> word) {
        if (word == "ready")
            ready = true;
        else if (word == "listening" && lines >> scheme >> address >> port)
            (scheme == "https" ? srv->https_port : srv->http_port) = port;
    }
    return ready ? 0 : -1;
}

int http_server_start(http_server *srv, const http_server_options &opt)
{
    *srv = http_server{};
    srv->address = opt.address;
    srv->dir = sandbox_tempdir("http");
    if (srv->dir.empty()) {
        std::fprintf(stderr, "http_server: no scratch folder\n");
        return -1;
    }
    std::string routes = srv->dir + "/routes.json";
    if (http_server_write_file(routes, opt.routes ? opt.routes : "[]") != 0)
        return -1;

    std::vector<std::string> args = {"/usr/bin/python3", KIVO_HTTP_SERVER_SCRIPT,
                                     "--routes", routes,
                                     "--log", srv->dir + "/requests.log",
                                     "--workdir", srv->dir};
    if (opt.http_port >= 0)
        args.insert(args.end(), {"--listen", "http://" + std::string(opt.address) + ":" +
                                                 std::to_string(opt.http_port)});
    if (opt.https_port >= 0)
        args.insert(args.end(), {"--listen", "https://" + std::string(opt.address) + ":" +
                                                 std::to_string(opt.https_port)});
    if (opt.verbose)
        args.push_back("--verbose");

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0)
        http_server_exec(fds[1], args);
    close(fds[1]);
    srv->pid = pid;
    int ready = http_server_wait_ready(srv, fds[0]);
    close(fds[0]);
    if (ready != 0) {
        std::fprintf(stderr, "http_server: server on %s did not start\n", opt.address);
        http_server_stop(srv);
        return -1;
    }
    return 0;
}

int http_server_start_both(http_server *srv, const char *routes)
{
    http_server_options opt;
    opt.https_port = 0;
    opt.routes = routes;
    return http_server_start(srv, opt);
}

void http_server_stop(http_server *srv)
{
    if (srv->pid > 0) {
        kill(srv->pid, SIGTERM);
        waitpid(srv->pid, nullptr, 0);
        srv->pid = -1;
    }
    if (!srv->dir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(srv->dir, ec);
        srv->dir.clear();
    }
}

std::string http_server_url(const http_server &srv, const char *path, bool tls)
{
    std::string host = srv.address.find(':') != std::string::npos ? "[" + srv.address + "]"
                                                                   : srv.address;
    return std::string(tls ? "https://" : "http://") + host + ":" +
           std::to_string(tls ? srv.https_port : srv.http_port) + path;
}

int http_server_set_routes(const http_server &srv, const char *json)
{
    return http_server_write_file(srv.dir + "/routes.json", json);
}

std::string http_server_requests(const http_server &srv)
{
    return sandbox_read_file(srv.dir + "/requests.log");
}

std::string http_server_pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>(i % 251);
    return s;
}
