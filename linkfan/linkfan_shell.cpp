// Command lines run for real: ip commands in batches, everything else
// through the shell.
#include "linkfan_shell.h"

#include <errno.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

linkfan_shell_stats linkfan_shell_cost;

// Older iproute2 takes at most 100 words on a batch line; a longer command
// (the next-hop route over many links) runs on its own.
constexpr int batch_max_words = 100;
// Room for the next-hop route over every link (6 words a link).
constexpr int plain_max_words = 1024;

// The open batch: its family (0 when none is open) and its lines.
static int batch_family;
static char batch_text[16384];
static size_t batch_used;

static double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

static int tool_of(const char *line)
{
    if (strncmp(line, "ip ", 3) == 0)
        return LINKFAN_TOOL_IP;
    if (strncmp(line, "iptables ", 9) == 0)
        return LINKFAN_TOOL_IPTABLES;
    return LINKFAN_TOOL_OTHER;
}

// The number of words of a line made only of characters that mean the same
// to the shell, to ip's batch reader and to a plain split at blanks (no
// quotes, escapes, comments, variables or other shell syntax); -1 otherwise.
static int plain_words(const char *line)
{
    int words = 0;
    bool in_word = false;
    for (const char *p = line; *p; p++) {
        char c = *p;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '/' || c == ':' || c == '-' || c == '_';
        if (c == ' ') {
            in_word = false;
            continue;
        }
        if (!plain)
            return -1;
        if (!in_word)
            words++;
        in_word = true;
    }
    return words;
}

// An ip command fit for a batch line: "ip " or "ip -6 " and then plain words,
// not too many. Sets the family (4 or 6) and where the batch line starts.
static bool batchable(const char *line, int *family, const char **rest)
{
    if (strncmp(line, "ip -6 ", 6) == 0) {
        *family = 6;
        *rest = line + 6;
    } else if (strncmp(line, "ip ", 3) == 0 && line[3] != '-') {
        *family = 4;
        *rest = line + 3;
    } else {
        return false;
    }
    int words = plain_words(*rest);
    return words > 0 && words < batch_max_words;
}

// Waits for a started process; its status is not examined.
static void reap(pid_t pid)
{
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
}

// A plain command line (see plain_words) needs no shell: its words are the
// tool's arguments as the shell would pass them. Runs it and waits; false
// when the line is not plain or the tool could not be started.
static bool run_plain(const char *line)
{
    static char copy[16384];
    static char *argv[plain_max_words + 1];
    int words = plain_words(line);
    size_t n = strlen(line);
    if (words <= 0 || words > plain_max_words || n >= sizeof copy)
        return false;
    memcpy(copy, line, n + 1);
    int argc = 0;
    for (char *p = copy; *p;) {
        while (*p == ' ')
            *p++ = '\0';
        if (!*p)
            break;
        argv[argc++] = p;
        while (*p && *p != ' ')
            p++;
    }
    argv[argc] = nullptr;
    if (argc == 0)
        return false;
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        return false;
    reap(pid);
    return true;
}

void linkfan_shell_settle()
{
    if (!batch_family)
        return;
    double start = now_seconds();
    // The lines are handed over as a file, so ip can never block the tool
    // on a full pipe nor end it with SIGPIPE by exiting early.
    int in = memfd_create("linkfan-batch", MFD_CLOEXEC);
    if (in >= 0 && write(in, batch_text, batch_used) == static_cast<ssize_t>(batch_used) &&
        lseek(in, 0, SEEK_SET) == 0) {
        char ip[] = "ip", six[] = "-6", force[] = "-force", batch[] = "-batch", dash[] = "-";
        char *argv4[] = {ip, force, batch, dash, nullptr};
        char *argv6[] = {ip, six, force, batch, dash, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        pid_t pid;
        if (posix_spawnp(&pid, "ip", &actions, nullptr, batch_family == 6 ? argv6 : argv4,
                         environ) == 0) {
            reap(pid);
            linkfan_shell_cost.processes++;
            linkfan_shell_cost.batches++;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    if (in >= 0)
        close(in);
    batch_family = 0;
    batch_used = 0;
    linkfan_shell_cost.seconds[LINKFAN_TOOL_IP] += now_seconds() - start;
}

void linkfan_shell_run(const char *line)
{
    linkfan_shell_cost.commands++;
    int family;
    const char *rest;
    if (batchable(line, &family, &rest)) {
        size_t n = strlen(rest);
        if (batch_family != family || batch_used + n + 1 > sizeof batch_text)
            linkfan_shell_settle();
        if (n + 1 <= sizeof batch_text) {
            batch_family = family;
            // The line's terminator is overwritten by its line feed.
            memcpy(batch_text + batch_used, rest, n + 1);
            batch_used += n;
            batch_text[batch_used++] = '\n';
            return;
        }
    }
    linkfan_shell_settle();
    double start = now_seconds();
    // Results are not examined: the next cycle finds and repairs what failed.
    if (run_plain(line)) {
        linkfan_shell_cost.processes++;
    } else {
        int status = system(line);
        (void)status;
        linkfan_shell_cost.processes += 2;  // the shell and the tool
    }
    linkfan_shell_cost.seconds[tool_of(line)] += now_seconds() - start;
}

int linkfan_shell_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx)
{
    linkfan_shell_cost.commands++;
    linkfan_shell_settle();
    double start = now_seconds();
    FILE *out = popen(line, "r");
    if (!out)
        return 0;
    int found = 0;
    char text[1024];
    for (;;) {
        memset(text, 0, sizeof text);
        if (!fgets(text, sizeof text, out))
            break;
        found = on_line(text, ctx);
        if (found)
            break;
    }
    // pclose waits for the command, so the next one never overlaps it.
    pclose(out);
    linkfan_shell_cost.processes += 2;
    linkfan_shell_cost.seconds[tool_of(line)] += now_seconds() - start;
    return found;
}
