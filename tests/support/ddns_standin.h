// A private world for kivo_ddns tests: network and mount namespaces in which
// dnsapi.cn and the five echo hosts resolve to 127.0.0.1, and the two IPv6 echo
// hosts to ::1, through a hosts file bound over /etc/hosts, with
// tools/kivo_standin.py answering on ports 80 and 443 of both addresses.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"

// One request as the stand-in logged it.
struct ddns_request {
    std::string scheme, host, method, path, user_agent, content_type, body, answer;
};

struct ddns_world {
    temp_dir dir{"ddns"}; // the stand-in's state folder, also a place for test files
    child_process standin;
};

// Enters the namespaces (for the rest of the calling process) and starts the
// stand-in with the given record set and control file (JSON texts). 0 or -1.
int ddns_world_enter(ddns_world &w, const std::string &records, const std::string &control);

// The same world behind an uplink, as a box sees its carrier: the calling
// process enters its network and mount namespaces (the box), the stand-in
// runs in a second network namespace (the carrier's far end, reached over
// the veth pair ppp0 -- wan0), and every name resolves to the far end's
// address kCarrierAddress. ppp0 holds address (IPv4, peer kCarrierAddress)
// and, when address6 is not empty, address6/64. The echo stand-in answers
// "address":"source" in control with the address a request came from. 0 or -1.
inline constexpr char kCarrierAddress[] = "203.0.113.1";
int ddns_world_enter_uplink(ddns_world &w, const std::string &records, const std::string &control,
                            const std::string &address, const std::string &address6 = "");

// Runs a shell command line in the carrier's network namespace; its status.
int ddns_world_carrier_sh(const ddns_world &w, const std::string &cmd);

// Gives ppp0 another address: in place (ppp0 stays), or, with redial, by
// deleting the link and making it again with the new addresses, as pppd does.
// An empty address6 leaves ppp0 without an IPv6 address. 0 or -1.
int ddns_world_uplink_address(const ddns_world &w, const std::string &address,
                              const std::string &address6, bool redial);

// Renews the lifetimes of ppp0's addresses in place, as a router
// advertisement renews an IPv6 one: the kernel tells of each address again,
// and none of them changed. 0 or -1.
int ddns_world_uplink_refresh(const std::string &address, const std::string &address6);

// Stops the stand-in; the state folder goes with the world.
void ddns_world_leave(ddns_world &w);

// Replaces the control file; the stand-in reads it for its next request.
void ddns_world_control(const ddns_world &w, const std::string &control);

// Every request the stand-in has logged so far, in order; host filters by host.
std::vector<ddns_request> ddns_world_requests(const ddns_world &w, const std::string &host = "");

// The whole of a file in the state folder ("" when missing).
std::string ddns_world_file(const ddns_world &w, const std::string &name);

// Starts argv[0] (a path) as proc, standard output and standard error going to
// files in the state folder. false when it could not be started.
bool ddns_world_start(const ddns_world &w, child_process *proc,
                      const std::vector<std::string> &argv, const std::string &out_name,
                      const std::string &err_name);

// Ends a process that ddns_world_start started: SIGTERM, and SIGKILL when it is
// still there after 5 s. Its exit status as child_wait tells it.
int ddns_world_stop(child_process *proc);

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
