// Child processes for the preload tests: a host with the library preloaded, the
// reference agent, a foreign server. They are the shared child_process; the
// traffic_ names below forward to it.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

using traffic_process = child_process;

inline long long traffic_monotonic_ms(void)
{
    return child_monotonic_ms();
}

// Path of the library under test.
const char *traffic_library(void);

// Starts argv[0] (a path) with the test's environment less LD_PRELOAD and
// KIVO_CP, plus env ("NAME=value" entries); preload adds the library.
// Returns false when the program could not be started.
bool traffic_start(traffic_process *proc, const std::vector<std::string> &argv,
                   const std::vector<std::string> &env, bool preload);

inline bool traffic_next_line(traffic_process *proc, std::string *line, int timeout_ms)
{
    return child_next_line(proc, line, timeout_ms);
}

inline bool traffic_expect(traffic_process *proc, const std::string &prefix, std::string *line,
                           int timeout_ms)
{
    return child_expect(proc, prefix, line, timeout_ms);
}

inline void traffic_tell(traffic_process *proc, const std::string &line)
{
    child_tell(proc, line);
}

inline int traffic_wait(traffic_process *proc, int timeout_ms)
{
    return child_wait(proc, timeout_ms);
}

// Starts tools/kivo_agent.py with the given PORT[:MODE] specs and waits until it listens.
bool traffic_start_agent(traffic_process *agent, const std::vector<std::string> &specs);

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
bool traffic_next_report(traffic_process *agent, traffic_agent_report *report, int timeout_ms);

// Takes every report that arrives: the first within first_ms, each further one
// within quiet_ms of the one before. sum holds the first report with the byte
// counts of all; the result is how many came. A report thread that got to run
// only after its process had counted reports those bytes in its first round,
// and the rest later, so some checks need the sum, not the first report.
int traffic_sum_reports(traffic_process *agent, traffic_agent_report *sum, int first_ms,
                        int quiet_ms);

// The request the library must send for these values.
std::string traffic_request_text(const char *cp, long long sb, long long rb);

// The request the library must send for these values, as a JSON string the way
// the agent prints it.
std::string traffic_expected_request(const char *cp, long long sb, long long rb);

// Reads a "key=value" number out of a line; -1 when the key is missing.
long long traffic_field(const std::string &line, const std::string &key);

// Writes a file of size bytes, a repeating pattern that starts at seed.
bool traffic_write_file(const std::string &path, long long size, char seed);

// Waits until a TCP server accepts on 127.0.0.1:port; false after timeout_ms.
bool traffic_wait_port(int port, int timeout_ms);
