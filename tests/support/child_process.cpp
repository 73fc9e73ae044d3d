#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char **environ;

child_process::~child_process()
{
    // The group, not only the child: what it started may outlive it.
    if (group > 0)
        kill(-group, SIGKILL);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    if (input >= 0)
        close(input);
    if (output >= 0)
        close(output);
}

long long child_monotonic_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// NAME of a "NAME=value" or "NAME" entry, compared with another entry's.
static bool same_name(const std::string &entry, const std::string &name)
{
    size_t end = name.find('=');
    size_t n = end == std::string::npos ? name.size() : end;
    return entry.compare(0, n, name, 0, n) == 0 && entry.size() > n && entry[n] == '=';
}

static std::vector<std::string> child_environment(const std::vector<std::string> &env)
{
    std::vector<std::string> entries;
    for (char **e = environ; *e; e++)
        entries.push_back(*e);
    for (const std::string &change : env) {
        std::erase_if(entries, [&](const std::string &e) { return same_name(e, change); });
        if (change.find('=') != std::string::npos)
            entries.push_back(change);
    }
    return entries;
}

// Sends fd to a fresh file at path; an empty path leaves fd as it is.
static bool redirect(const std::string &path, int fd)
{
    if (path.empty())
        return true;
    int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file < 0) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    dup2(file, fd);
    return true;
}

bool child_start(child_process *proc, const std::vector<std::string> &argv,
                 const std::vector<std::string> &env, int death_signal)
{
    if (argv.empty())
        return false;
    std::vector<std::string> entries = child_environment(env);
    std::vector<char *> args, envp;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    for (const std::string &e : entries)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);

    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0)
        return false;
    if (pipe2(from_child, O_CLOEXEC) != 0) {
        close(to_child[0]);
        close(to_child[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {to_child[0], to_child[1], from_child[0], from_child[1]})
            close(fd);
        return false;
    }
    if (pid == 0) {
        if (death_signal != 0)
            prctl(PR_SET_PDEATHSIG, death_signal);
        setpgid(0, 0);
        dup2(to_child[0], 0);
        dup2(from_child[1], 1);
        if (!redirect(proc->output_path, 1) || !redirect(proc->errors_path, 2))
            _exit(127);
        if (!proc->directory.empty() && chdir(proc->directory.c_str()) != 0) {
            std::fprintf(stderr, "cannot enter %s: %s\n", proc->directory.c_str(),
                         std::strerror(errno));
            _exit(127);
        }
        if (proc->prepare && proc->prepare() != 0)
            _exit(127);
        execve(args[0], args.data(), envp.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        _exit(127);
    }
    // Both sides set the group, so neither a kill nor the exec can come first.
    setpgid(pid, pid);
    close(to_child[0]);
    close(from_child[1]);
    proc->pid = pid;
    proc->group = pid;
    proc->input = to_child[1];
    proc->output = from_child[0];
    return true;
}

bool child_next_line(child_process *proc, std::string *line, int timeout_ms)
{
    long long deadline = child_monotonic_ms() + timeout_ms;
    for (;;) {
        size_t end = proc->unread.find('\n');
        if (end != std::string::npos) {
            *line = proc->unread.substr(0, end);
            proc->unread.erase(0, end + 1);
            return true;
        }
        long long left = deadline - child_monotonic_ms();
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

bool child_expect(child_process *proc, const std::string &prefix, std::string *line,
                  int timeout_ms)
{
    long long deadline = child_monotonic_ms() + timeout_ms;
    std::string got;
    while (child_next_line(proc, &got, static_cast<int>(deadline - child_monotonic_ms()))) {
        if (got.compare(0, prefix.size(), prefix) == 0) {
            if (line)
                *line = got;
            return true;
        }
    }
    return false;
}

void child_tell(child_process *proc, const std::string &line)
{
    std::string text = line + "\n";
    if (write(proc->input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        std::fprintf(stderr, "cannot tell %d: %s\n", proc->pid, std::strerror(errno));
}

bool child_ended(child_process *proc, int *status)
{
    int raw = 0;
    pid_t got = proc->pid > 0 ? waitpid(proc->pid, &raw, WNOHANG) : 0;
    if (got == 0)
        return false;
    proc->pid = -1;
    if (status)
        *status = got < 0 ? -1 : WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
}

int child_wait(child_process *proc, int timeout_ms)
{
    if (proc->pid <= 0)
        return -1;
    long long deadline = child_monotonic_ms() + timeout_ms;
    int status = 0;
    while (!child_ended(proc, &status)) {
        if (child_monotonic_ms() >= deadline) {
            kill(-proc->group, SIGKILL);
            waitpid(proc->pid, nullptr, 0);
            proc->pid = -1;
            return -1;
        }
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return status;
}

int child_stop(child_process *proc, int signal, int timeout_ms)
{
    if (proc->pid <= 0)
        return -1;
    kill(-proc->group, signal);
    return child_wait(proc, timeout_ms);
}
