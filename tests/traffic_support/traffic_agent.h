// The preload tests' side of the reference agent (tools/kivo_agent.py): the
// library under test started in a host, the agent started and its report lines
// taken apart, the requests the library must send, and small file and port
// helpers. The processes are the shared child_process.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"

// Path of the library under test.
const char *traffic_library(void);

// Starts argv[0] (a path) with the test's environment less LD_PRELOAD and
// KIVO_CP, plus env ("NAME=value" entries); preload adds the library.
// Returns false when the program could not be started.
bool traffic_start(child_process *proc, const std::vector<std::string> &argv,
                   const std::vector<std::string> &env, bool preload);

// Starts tools/kivo_agent.py with the given PORT[:MODE] specs and waits until it listens.
bool traffic_start_agent(child_process *agent, const std::vector<std::string> &specs);

// One "report" line of the agent, taken apart.
struct traffic_agent_report {
    int port = 0;
    std::string mode;
    long long bytes = 0;   // length of the request
    long long reply = 0;   // length of the answer sent
    std::string cp;
    long long sb = 0;
    long long rb = 0;
    std::string request;   // as the agent printed it, a JSON string
};

// Waits for the agent's next "report" line; false after timeout_ms.
bool traffic_next_report(child_process *agent, traffic_agent_report *report, int timeout_ms);

// Takes every report that arrives: the first within first_ms, each further one
// within quiet_ms of the one before. sum holds the first report with the byte
// counts of all; the result is how many came. A report thread that got to run
// only after its process had counted reports those bytes in its first round,
// and the rest later, so some checks need the sum, not the first report.
int traffic_sum_reports(child_process *agent, traffic_agent_report *sum, int first_ms,
                        int quiet_ms);

// Bytes one side moved, summed, and how many reports carried them.
struct traffic_sums {
    long long sent = 0;
    long long received = 0;
    int reports = 0;
};

using traffic_sums_by_name = std::map<std::string, traffic_sums>;

// Reads the agent's reports into sums per content-provider name until complete
// holds for them and nothing more arrived for quiet_ms, or until deadline_ms on
// the monotonic clock: a shortfall or an overshoot shows in the sums.
traffic_sums_by_name traffic_collect_reports(
    child_process *agent, const std::function<bool(const traffic_sums_by_name &)> &complete,
    long long deadline_ms, long long quiet_ms);

// The request the library must send for these values.
std::string traffic_request_text(const char *cp, long long sb, long long rb);

// The request the library must send for these values, as a JSON string the way
// the agent prints it.
std::string traffic_expected_request(const char *cp, long long sb, long long rb);

// Reads a "key=value" number out of a line; -1 when the key is missing.
long long traffic_field(const std::string &line, const std::string &key);

// Writes a file of size bytes, a repeating pattern that starts at seed.
bool traffic_write_file(const std::string &path, long long size, char seed);

// Waits until a TCP server accepts on address:port (IPv4); false after timeout_ms.
bool traffic_wait_port(int port, int timeout_ms, const char *address = "127.0.0.1");
