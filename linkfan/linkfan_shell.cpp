// Command lines run for real: ip commands in batches, everything else
// through the shell.
#include "linkfan_shell.h"

#include <errno.h>
#include <spawn.h>
#include <stdint.h>
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

// The open batches: the ip commands of each address family, or the NAT rule
// changes, never both. IPv4 and IPv6 commands touch none of each other's
// routes and rules, so the two families' batches stay open side by side, each
// in its own order, and one ip process runs each: not one process for every
// change of family, which a link configured for both makes twice.
enum { batch_ipv4, batch_ipv6, batch_nat, batch_kinds };
struct batch {
    char text[65536];
    size_t used;
};
static batch batches[batch_kinds];
// The lines of a NAT batch as they came (for running them one by one should
// the whole batch fail), and the rule each adds or deletes.
constexpr int nat_max_lines = 512;
static char nat_lines[16384];
static size_t nat_lines_used;
static int nat_count;

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
    if (strncmp(line, "iptables", 8) == 0)
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

// A change of a NAT rule fit for iptables-restore: "iptables -t nat", then
// -D, -I or -A, a chain and the rule's own options, all plain words (no
// position or rule number, whose meaning a batch would shift). Sets where
// the restore line (from the -D, -I or -A on) starts.
static bool nat_batchable(const char *line, const char **rest)
{
    static const char prefix[] = "iptables -t nat ";
    if (strncmp(line, prefix, sizeof prefix - 1) != 0)
        return false;
    const char *op = line + sizeof prefix - 1;
    if (strncmp(op, "-D ", 3) != 0 && strncmp(op, "-I ", 3) != 0 && strncmp(op, "-A ", 3) != 0)
        return false;
    const char *chain = op + 3;
    const char *after = strchr(chain, ' ');
    if (!after || after == chain || after[1] != '-')
        return false;
    *rest = op;
    return plain_words(op) > 2;
}

// Waits for a started process; 1 when it exited with status 0.
static int reap(pid_t pid)
{
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
        ;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

// Runs a command line alone, as linkfan_shell_run does with one that joins no
// batch.
static void run_alone(const char *line);

// Starts argv with a memory file holding input as its standard input (a file,
// so the tool can never block the program on a full pipe nor end it with
// SIGPIPE by exiting early) and, when output is given, its standard output
// into output (size bytes, NUL included, cut to fit). -1 when it could not be
// started, else 1 when it exited with status 0 and 0 when it did not.
static int run_with(char *const argv[], const char *input, size_t input_size, char *output,
                    size_t size)
{
    int in = memfd_create("linkfan-in", MFD_CLOEXEC);
    int out = output ? memfd_create("linkfan-out", MFD_CLOEXEC) : -1;
    int ok = -1;
    if (in >= 0 && (!output || out >= 0) &&
        write(in, input, input_size) == static_cast<ssize_t>(input_size) &&
        lseek(in, 0, SEEK_SET) == 0) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in, 0);
        if (out >= 0)
            posix_spawn_file_actions_adddup2(&actions, out, 1);
        pid_t pid;
        if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) == 0) {
            linkfan_shell_cost.processes++;
            ok = reap(pid);
        }
        posix_spawn_file_actions_destroy(&actions);
        if (out >= 0) {
            ssize_t got = pread(out, output, size - 1, 0);
            output[got > 0 ? got : 0] = '\0';
        }
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    return ok;
}

// The lines of a text, at most room of them: where each starts, with its
// line feed made a NUL. How many, or -1 when there are more.
static int split_lines(char *text, const char **at, int room)
{
    int count = 0;
    for (char *p = text; *p;) {
        if (count == room)
            return -1;
        at[count++] = p;
        char *end = strchr(p, '\n');
        if (!end)
            break;
        *end = '\0';
        p = end + 1;
    }
    return count;
}

// Strikes the first of the rules that are still alive whose words (after
// their -A, -I or -D) are rule's; false when there is none.
static bool strike(const char *const *rules, uint8_t *alive, int count, const char *rule)
{
    for (int k = 0; k < count; k++)
        if (alive[k] && strcmp(rules[k] + 3, rule) == 0) {
            alive[k] = 0;
            return true;
        }
    return false;
}

// Runs the open NAT batch through one iptables-restore --noflush, in one
// transaction, after reading the table once. A lone "iptables -D" of a rule
// that is not there fails and is passed over; in a restore it would fail the
// whole transaction, so such a deletion is left out, which comes to the same.
// Should the restore fail all the same (the table changed meanwhile), every
// line runs alone as it always did.
static void settle_nat()
{
    static char table[262144];
    static const char *listed[4096], *lines[nat_max_lines];
    char iptables[] = "iptables", t[] = "-t", nat[] = "nat", list[] = "-S";
    char *list_argv[] = {iptables, t, nat, list, nullptr};

    batch &nat_batch = batches[batch_nat];
    nat_batch.text[nat_batch.used] = '\0';
    int count = split_lines(nat_batch.text, lines, nat_max_lines);
    int listed_count = -1;
    if (run_with(list_argv, "", 0, table, sizeof table) == 1 && strlen(table) < sizeof table - 1)
        listed_count = split_lines(table, listed, 4096);
    bool restored = false;
    if (listed_count >= 0 && count >= 0) {
        static char input[sizeof batches[batch_nat].text + 32];
        static uint8_t listed_alive[4096], added_alive[nat_max_lines];
        char restore[] = "iptables-restore", noflush[] = "--noflush";
        char *restore_argv[] = {restore, noflush, nullptr};
        memset(listed_alive, 1, sizeof listed_alive);
        size_t used = static_cast<size_t>(snprintf(input, sizeof input, "*nat\n"));
        for (int k = 0; k < count; k++) {
            const char *rule = lines[k] + 3;
            added_alive[k] = lines[k][1] != 'D';
            // A deletion takes the first rule that matches: a listed one,
            // else one this batch added before it.
            if (lines[k][1] == 'D' && !strike(listed, listed_alive, listed_count, rule) &&
                !strike(lines, added_alive, k, rule))
                continue;
            used += static_cast<size_t>(snprintf(input + used, sizeof input - used, "%s\n", lines[k]));
        }
        used += static_cast<size_t>(snprintf(input + used, sizeof input - used, "COMMIT\n"));
        restored = used < sizeof input && run_with(restore_argv, input, used, nullptr, 0) == 1;
    }
    if (!restored)
        for (const char *one = nat_lines; one < nat_lines + nat_lines_used; one += strlen(one) + 1)
            run_alone(one);
    nat_lines_used = 0;
    nat_count = 0;
    nat_batch.used = 0;
}

// Runs the open batch of one kind, if any.
static void settle(int kind)
{
    batch &open = batches[kind];
    if (!open.used)
        return;
    double start = now_seconds();
    if (kind == batch_nat) {
        settle_nat();
        linkfan_shell_cost.seconds[LINKFAN_TOOL_IPTABLES] += now_seconds() - start;
        return;
    }
    char ip[] = "ip", six[] = "-6", force[] = "-force", batch_word[] = "-batch", dash[] = "-";
    char *argv4[] = {ip, force, batch_word, dash, nullptr};
    char *argv6[] = {ip, six, force, batch_word, dash, nullptr};
    if (run_with(kind == batch_ipv6 ? argv6 : argv4, open.text, open.used, nullptr, 0) >= 0)
        linkfan_shell_cost.batches++;
    open.used = 0;
    linkfan_shell_cost.seconds[LINKFAN_TOOL_IP] += now_seconds() - start;
}

void linkfan_shell_settle()
{
    settle(batch_nat);
    settle(batch_ipv4);
    settle(batch_ipv6);
}

// Appends a line to a batch of kind, running that batch first when the line
// would not fit. False when the line alone does not fit a batch.
static bool append(int kind, const char *line, size_t n)
{
    batch &open = batches[kind];
    if (open.used + n + 2 > sizeof open.text)
        settle(kind);
    if (n + 2 > sizeof open.text)
        return false;
    memcpy(open.text + open.used, line, n);
    open.used += n;
    open.text[open.used++] = '\n';
    return true;
}

void linkfan_shell_run(const char *line)
{
    linkfan_shell_cost.commands++;
    int family;
    const char *rest;
    if (nat_batchable(line, &rest)) {
        size_t n = strlen(rest), whole = strlen(line);
        settle(batch_ipv4);
        settle(batch_ipv6);
        // A batch's lines fit the restore's input and its count of lines.
        if (nat_lines_used + whole + 1 > sizeof nat_lines || nat_count == nat_max_lines)
            settle(batch_nat);
        if (whole + 1 <= sizeof nat_lines && append(batch_nat, rest, n)) {
            memcpy(nat_lines + nat_lines_used, line, whole + 1);
            nat_lines_used += whole + 1;
            nat_count++;
            return;
        }
    }
    if (batchable(line, &family, &rest)) {
        settle(batch_nat);
        if (append(family == 6 ? batch_ipv6 : batch_ipv4, rest, strlen(rest)))
            return;
    }
    linkfan_shell_settle();
    run_alone(line);
}

static void run_alone(const char *line)
{
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
