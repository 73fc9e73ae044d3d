// What the kivo_trafficd tests share: whether this machine can run the daemon,
// starting it, real servers for it to count, curl as the measure, and the
// agent's reports summed per content-provider name.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "traffic_agent.h"

// Why the daemon cannot run here (not root, a kernel without BPF or the
// tracepoints), or an empty text when it can.
std::string trafficd_skip_reason(void);

// Starts kivo_trafficd -d with args, its log on the process's output, and waits
// until it has attached; log, when given, gets the lines logged before. The
// words of wrapper (setpriv, strace) go before the program.
bool trafficd_start_daemon(child_process *daemon, const std::vector<std::string> &args = {},
                           std::string *log = nullptr, int timeout_ms = 15000,
                           const std::vector<std::string> &wrapper = {});

// http://ADDRESS:PORT/PATH, by default big.bin on the loopback.
std::string trafficd_url(int port, const char *path = "/big.bin",
                         const std::string &address = "127.0.0.1");

// The static busybox httpd serving dir on address:port (every address of the
// box when address is empty), one child per connection, counted under cp;
// waits until it listens there.
bool trafficd_start_busybox(child_process *server, const std::string &dir, int port,
                            const char *cp, const std::string &address = "127.0.0.1");

// Three fetches of big.bin on one connection from the loopback, by a curl
// nobody reports: what the server sent and received, zeros when curl failed.
traffic_sums trafficd_fetch_three(int port);

// What curl counted for one run: the server sent header + download and
// received the request (and upload).
struct trafficd_curl {
    long long header = 0;
    long long download = 0;
    long long request = 0;
    int transfers = 0;
};

// Runs curl with the given arguments (URLs and options) as a child with env;
// -w adds one sizes line per transfer. False when it failed or a code was not 200.
// With netns_pid, curl runs in that process's network namespace.
bool trafficd_run_curl(const std::vector<std::string> &args, const std::vector<std::string> &env,
                       trafficd_curl *measured, bool preload = false, int netns_pid = 0);

// Reads the agent's reports into sums per name until every name of expected
// has its sums, within 1 %, and nothing more arrived for quiet_ms, or until
// deadline_ms on the monotonic clock. Reports under other names are summed too.
traffic_sums_by_name trafficd_collect(child_process *agent, const traffic_sums_by_name &expected,
                                      long long deadline_ms, long long quiet_ms = 1500);

// Whether reported is within percent of truth (both directions).
bool trafficd_within(const traffic_sums &truth, const traffic_sums &reported, double percent);

// A site folder with big.bin (1 MiB) for the servers.
bool trafficd_site(const std::string &dir);

// Prints one table row of truth against report.
void trafficd_print(const std::string &what, const traffic_sums &truth,
                    const traffic_sums &reported);
