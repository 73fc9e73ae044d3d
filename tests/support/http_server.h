// A scripted HTTP/HTTPS server (tests/support/http_server.py) run as a child
// process, for tests that need a real peer on loopback or inside a namespace.
//
// Without a routes script it answers the built-in paths: /status/CODE,
// /bytes/N (byte i is i % 251), /echo (the raw request), /redirect?to=URL,
// /empty, /hangup; ?delay=MS, ?drip=MS&chunk=N and ?cut=N pace or cut any of
// them. A routes script (JSON, see the .py file) scripts answers by method, path
// and Host; it can be replaced while the server runs. Every request is logged.
#pragma once

#include <memory>
#include <string>

#include "child_process.h"

struct http_server {
    std::unique_ptr<child_process> process;
    int http_port = -1;  // -1: no plain listener
    int https_port = -1; // -1: no TLS listener
    std::string address; // the address both listeners are bound to
    std::string dir;     // scratch folder: routes.json, requests.log, certificate
};

struct http_server_options {
    const char *address = "127.0.0.1";
    int http_port = 0;             // 0: a free port; -1: none
    int https_port = -1;           // 0: a free port; -1: none (self-signed certificate)
    const char *routes = nullptr;  // initial routes script (JSON text) or none
    const char *cert = nullptr;    // the TLS listener's certificate and key (PEM files);
    const char *key = nullptr;     // none: a self-signed one for "kivo-test" and 127.0.0.1
    bool verbose = false;          // the server logs each request on standard error
};

// Starts the server and waits until it listens (at most 10 s). The server dies
// with the process that started it. Returns 0, or -1 with a message on stderr.
int http_server_start(http_server *srv, const http_server_options &opt = {});

// The usual test peer: plain and TLS listeners on free loopback ports.
int http_server_start_both(http_server *srv, const char *routes);

// Stops the server, waits for it and removes its scratch folder.
void http_server_stop(http_server *srv);

// "http://ADDR:PORT/path", or the https URL with tls.
std::string http_server_url(const http_server &srv, const char *path, bool tls = false);

// Replaces the routes script; the next request already sees the new one.
int http_server_set_routes(const http_server &srv, const char *json);

// The request log: one JSON object a line, oldest first.
std::string http_server_requests(const http_server &srv);

// The pattern that /bytes/N and body_bytes serve, for byte-exact comparisons.
std::string http_server_pattern(size_t n);

// Owns a started server for the length of a scope (a test body or fixture).
struct http_server_scope {
    http_server srv;
    int started;
    explicit http_server_scope(const http_server_options &opt = {})
        : started(http_server_start(&srv, opt))
    {
    }
    ~http_server_scope() { http_server_stop(&srv); }
    http_server_scope(const http_server_scope &) = delete;
    http_server_scope &operator=(const http_server_scope &) = delete;
};
