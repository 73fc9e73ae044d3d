#include "http_server.h"

#include "sandbox.h"
#include "temp_dir.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
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

// Reads the server's start-up lines until "ready"; fills in the ports.
static int http_server_wait_ready(http_server *srv)
{
    long long deadline = child_monotonic_ms() + http_server_start_ms;
    std::string line;
    while (child_next_line(srv->process.get(), &line,
                           static_cast<int>(deadline - child_monotonic_ms()))) {
        std::istringstream words(line);
        std::string word, scheme, address;
        int port = -1;
        words >> word;
        if (word == "ready")
            return 0;
        if (word == "listening" && words >> scheme >> address >> port)
            (scheme == "https" ? srv->https_port : srv->http_port) = port;
    }
    return -1;
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
    if (opt.cert != nullptr && opt.key != nullptr)
        args.insert(args.end(), {"--cert", opt.cert, "--key", opt.key});
    if (opt.verbose)
        args.push_back("--verbose");

    // The server dies with the thread that started it, even when that thread
    // is a forked child that ends without stopping it.
    srv->process = std::make_unique<child_process>();
    if (!child_start(srv->process.get(), args, {}, SIGTERM) || http_server_wait_ready(srv) != 0) {
        std::fprintf(stderr, "http_server: server on %s did not start\n", opt.address);
        http_server_stop(srv);
        return -1;
    }
    // Nothing more is read from it: a later line gets EPIPE, never a full pipe.
    close(srv->process->output);
    srv->process->output = -1;
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
    if (srv->process) {
        child_stop(srv->process.get(), SIGTERM, http_server_start_ms);
        srv->process.reset();
    }
    temp_dir_remove(srv->dir);
    srv->dir.clear();
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
