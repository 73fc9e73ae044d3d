// Child processes for the preload tests: a host with the library preloaded, the
// reference agent, a foreign server. Each one's standard input and output are
// pipes the test holds; its standard error goes to the test's own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct traffic_process {
    pid_t pid = -1;
    pid_t group = -1;  // the child leads a process group: its own children die with it
    int input = -1;    // the child's standard input
    int output = -1;   // the child's standard output
    std::string unread;

    traffic_process() = default;
    traffic_process(const traffic_process &) = delete;
    traffic_process &operator=(const traffic_process &) = delete;
    // Kills a child the test left running, so a failed assertion leaves nothing behind.
    ~traffic_process();
};

// Milliseconds on the monotonic clock.
long long traffic_monotonic_ms(void);

// Path of the library under test.
const char *traffic_library(void);

// Starts argv[0] (a path) with the test's environment less LD_PRELOAD and
// KIVO_CP, plus env ("NAME=value" entries); preload adds the library.
// Returns false when the program could not be started.
bool traffic_start(traffic_process *proc, const std::vector<std::string> &argv,
                   const std::vector<std::string> &env, bool preload);

// The next line of output (without its line feed), waiting at most timeout_ms.
bool traffic_next_line(traffic_process *proc, std::string *line, int timeout_ms);

// Skips lines until one starts with prefix; false after timeout_ms in all.
bool traffic_expect(traffic_process *proc, const std::string &prefix, std::string *line,
                    int timeout_ms);

// Sends a line to the child's standard input.
void traffic_tell(traffic_process *proc, const std::string &line);

// Waits up to timeout_ms for the child to exit; returns its exit status,
// 128 + signal when a signal ended it, or -1 when it had to be killed.
int traffic_wait(traffic_process *proc, int timeout_ms);

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
