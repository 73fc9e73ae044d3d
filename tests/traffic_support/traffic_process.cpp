#include "traffic_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char **environ;

traffic_process::~traffic_process()
{
    if (group > 0)
        kill(-group, SIGKILL);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    if (input >= 0)
        close(input);
    if (output >= 0)
        close(output);
}

const char *traffic_library(void)
{
    return KIVO_TRAFFIC_LIBRARY;
}

long long traffic_monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

bool traffic_start(traffic_process *proc, const std::vector<std::string> &argv,
                   const std::vector<std::string> &env, bool preload)
{
    std::vector<std::string> entries;
    for (char **e = environ; *e; e++)
        if (std::strncmp(*e, "LD_PRELOAD=", 11) != 0 && std::strncmp(*e, "KIVO_CP=", 8) != 0)
            entries.push_back(*e);
    for (const std::string &e : env)
        entries.push_back(e);
    if (preload)
        entries.push_back(std::string("LD_PRELOAD=") + traffic_library());

    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : entries)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
        return false;
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        setpgid(0, 0);
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        execve(args[0], args.data(), envp.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);
    close(to_child[0]);
    close(from_child[1]);
    proc->pid = pid;
    proc->group = pid;
    proc->input = to_child[1];
    proc->output = from_child[0];
    return true;
}

bool traffic_next_line(traffic_process *proc, std::string *line, int timeout_ms)
{
    long long deadline = traffic_monotonic_ms() + timeout_ms;
    for (;;) {
        size_t end = proc->unread.find('\n');
        if (end != std::string::npos) {
            *line = proc->unread.substr(0, end);
            proc->unread.erase(0, end + 1);
            return true;
        }
        long long left = deadline - traffic_monotonic_ms();
        if (left <= 0 || proc->output < 0)
            return false;
        struct pollfd wait = {proc->output, POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(proc->output, buf, sizeof buf);
        if (n <= 0)
            return false;
        proc->unread.append(buf, static_cast<size_t>(n));
    }
}

bool traffic_expect(traffic_process *proc, const std::string &prefix, std::string *line,
                    int timeout_ms)
{
    long long deadline = traffic_monotonic_ms() + timeout_ms;
    std::string got;
    while (traffic_next_line(proc, &got, static_cast<int>(deadline - traffic_monotonic_ms()))) {
        if (got.compare(0, prefix.size(), prefix) == 0) {
            if (line)
                *line = got;
            return true;
        }
    }
    return false;
}

void traffic_tell(traffic_process *proc, const std::string &line)
{
    std::string text = line + "\n";
    if (write(proc->input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "cannot tell %d: %s\n", proc->pid, std::strerror(errno));
}

int traffic_wait(traffic_process *proc, int timeout_ms)
{
    long long deadline = traffic_monotonic_ms() + timeout_ms;
    int status = 0;
    while (waitpid(proc->pid, &status, WNOHANG) == 0) {
        if (traffic_monotonic_ms() >= deadline) {
            kill(-proc->group, SIGKILL);
            waitpid(proc->pid, nullptr, 0);
            proc->pid = -1;
            return -1;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    proc->pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool traffic_start_agent(traffic_process *agent, const std::vector<std::string> &specs)
{
    std::vector<std::string> argv = {"/usr/bin/python3", KIVO_AGENT_SCRIPT};
    argv.insert(argv.end(), specs.begin(), specs.end());
    if (!traffic_start(agent, argv, {}, false))
        return false;
    return traffic_expect(agent, "listening", nullptr, 10000);
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

bool traffic_next_report(traffic_process *agent, traffic_agent_report *report, int timeout_ms)
{
    std::string line;
    if (!traffic_expect(agent, "report ", &line, timeout_ms))
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
bool traffic_wait_port(int port, int timeout_ms)
{
    long long deadline = traffic_monotonic_ms() + timeout_ms;
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (traffic_monotonic_ms() < deadline) {
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
