#include "traffic_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

const char *traffic_library(void)
{
    return KIVO_TRAFFIC_LIBRARY;
}

bool traffic_start(child_process *proc, const std::vector<std::string> &argv,
                   const std::vector<std::string> &env, bool preload)
{
    std::vector<std::string> changes = {"LD_PRELOAD", "KIVO_CP"};
    changes.insert(changes.end(), env.begin(), env.end());
    if (preload)
        changes.push_back(std::string("LD_PRELOAD=") + traffic_library());
    return child_start(proc, argv, changes);
}

bool traffic_start_agent(child_process *agent, const std::vector<std::string> &specs)
{
    std::vector<std::string> argv = {"/usr/bin/python3", KIVO_AGENT_SCRIPT};
    argv.insert(argv.end(), specs.begin(), specs.end());
    if (!traffic_start(agent, argv, {}, false))
        return false;
    return child_expect(agent, "listening", nullptr, 10000);
}

long long traffic_field(const std::string &line, const std::string &key)
{
    std::string needle = " " + key + "=";
    size_t at = line.find(needle);
    if (at == std::string::npos)
        return -1;
    return std::atoll(line.c_str() + at + needle.size());
}

static std::string text_field(const std::string &line, const std::string &key)
{
    std::string needle = " " + key + "=";
    size_t at = line.find(needle);
    if (at == std::string::npos)
        return "";
    at += needle.size();
    return line.substr(at, line.find(' ', at) - at);
}

bool traffic_next_report(child_process *agent, traffic_agent_report *report, int timeout_ms)
{
    std::string line;
    if (!child_expect(agent, "report ", &line, timeout_ms))
        return false;
    report->port = static_cast<int>(traffic_field(line, "port"));
    report->mode = text_field(line, "mode");
    report->bytes = traffic_field(line, "bytes");
    report->reply = traffic_field(line, "reply");
    report->cp = text_field(line, "cp");
    report->sb = traffic_field(line, "sb");
    report->rb = traffic_field(line, "rb");
    size_t at = line.find(" request=");
    report->request = at == std::string::npos ? "" : line.substr(at + 9);
    return true;
}

int traffic_sum_reports(child_process *agent, traffic_agent_report *sum, int first_ms,
                        int quiet_ms)
{
    if (!traffic_next_report(agent, sum, first_ms))
        return 0;
    int reports = 1;
    traffic_agent_report more;
    while (traffic_next_report(agent, &more, quiet_ms)) {
        reports++;
        sum->sb += more.sb;
        sum->rb += more.rb;
    }
    return reports;
}

traffic_sums_by_name traffic_collect_reports(
    child_process *agent, const std::function<bool(const traffic_sums_by_name &)> &complete,
    long long deadline_ms, long long quiet_ms)
{
    traffic_sums_by_name sums;
    long long quiet_until = 0;
    for (;;) {
        long long until = complete(sums) ? std::min(deadline_ms, quiet_until) : deadline_ms;
        long long left = until - child_monotonic_ms();
        traffic_agent_report report;
        if (left <= 0 || !traffic_next_report(agent, &report, static_cast<int>(left)))
            return sums;
        traffic_sums &into = sums[report.cp];
        into.sent += report.sb;
        into.received += report.rb;
        into.reports++;
        quiet_until = child_monotonic_ms() + quiet_ms;
    }
}

std::string traffic_request_text(const char *cp, long long sb, long long rb)
{
    char text[256];
    std::snprintf(text, sizeof text,
                  "GET /api?method=traffic HTTP/1.1\nUser-Agent: libcurl\n\n"
                  "{\"cp\":\"%s\", \"sb\":%lld, \"rb\":%lld}",
                  cp, sb, rb);
    return text;
}

std::string traffic_expected_request(const char *cp, long long sb, long long rb)
{
    std::string text = traffic_request_text(cp, sb, rb);
    std::string json = "\"";
    for (const char *c = text.c_str(); *c; c++) {
        if (*c == '\n')
            json += "\\n";
        else if (*c == '"')
            json += "\\\"";
        else
            json += *c;
    }
    return json + "\"";
}

bool traffic_write_file(const std::string &path, long long size, char seed)
{
    std::ofstream file(path, std::ios::binary);
    for (long long i = 0; i < size; i++)
        file.put(static_cast<char>(seed + i % 23));
    return static_cast<bool>(file);
}

// A connection that is accepted and closed without a byte counts nothing.
bool traffic_wait_port(int port, int timeout_ms, const char *address)
{
    long long deadline = child_monotonic_ms() + timeout_ms;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address, &addr.sin_addr) != 1)
        return false;
    while (child_monotonic_ms() < deadline) {
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0)
            return false;
        int ok = connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
        close(s);
        if (ok == 0)
            return true;
        usleep(20 * 1000);
    }
    return false;
}
