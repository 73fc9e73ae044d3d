// A private world for kivo_ddns tests: network and mount namespaces in which
// dnsapi.cn and the five echo hosts resolve to 127.0.0.1, and the two IPv6 echo
// hosts to ::1, through a hosts file bound over /etc/hosts, with
// tools/kivo_standin.py answering on ports 80 and 443 of both addresses.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// One request as the stand-in logged it.
struct ddns_request {
    std::string scheme, host, method, path, user_agent, content_type, body, answer;
};

struct ddns_world {
    std::string dir; // the stand-in's state folder, also a place for test files
    pid_t standin = -1;
};

// Enters the namespaces (for the rest of the calling process) and starts the
// stand-in with the given record set and control file (JSON texts). 0 or -1.
int ddns_world_enter(ddns_world &w, const std::string &records, const std::string &control);

// Stops the stand-in and removes the state folder.
void ddns_world_leave(ddns_world &w);

// Replaces the control file; the stand-in reads it for its next request.
void ddns_world_control(const ddns_world &w, const std::string &control);

// Every request the stand-in has logged so far, in order; host filters by host.
std::vector<ddns_request> ddns_world_requests(const ddns_world &w, const std::string &host = "");

// The whole of a file in the state folder ("" when missing).
std::string ddns_world_file(const ddns_world &w, const std::string &name);

// Starts argv[0] with the given arguments, standard output and standard error
// going to files in the state folder. Returns the process id, or -1.
pid_t ddns_world_spawn(const ddns_world &w, const std::vector<std::string> &argv,
                       const std::string &out_name, const std::string &err_name);

// Ends a process that ddns_world_spawn started and reaps it.
void ddns_world_kill(pid_t pid);

// Polls done every 50 ms for up to seconds; true as soon as it holds.
bool ddns_world_wait(const std::function<bool()> &done, double seconds);

// How many times what occurs in text.
inline size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
