// Command lines run for real: ip commands and NAT rule changes in batches,
// everything else one at a time, each to its end before the next.
#pragma once

// Runs a command line. An ip command joins its address family's open batch:
// the ip commands of each family go to a single "ip -force -batch -" (or
// "ip -6 -force -batch -") process, in their order, failures passed over as
// when each ran alone; the two families' batches stay open side by side (the
// IPv4 one, which takes the commands of no family such as "ip link", runs
// first) until another command, a read or a pause. Consecutive NAT rule changes ("iptables -t nat" with
// -D, -I or -A) go to one "iptables-restore --noflush", in one transaction,
// after one "iptables -t nat -S" tells which deletions would find their rule:
// those that would not are left out, as alone they would fail; the rules that
// result are those of the lines run one by one, which they are when the
// restore fails. Any other command ends the open batch first and runs
// on its own: started directly with its words as arguments when it holds
// nothing the shell would read otherwise, through the shell when it does.
void linkfan_shell_run(const char *line);

// Ends the open batch, then runs the command through the shell and hands
// each line of its output (at most 1023 bytes, NUL-terminated) to on_line
// until that returns nonzero. Returns that value, or 0.
int linkfan_shell_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx);

// Runs the open batches and waits for them; nothing is pending afterwards.
void linkfan_shell_settle();

// What the runs cost, for the benchmark and the metrics file: command lines
// run or read, processes started and wall time spent waiting for them, by tool.
enum {
    LINKFAN_TOOL_IP,
    LINKFAN_TOOL_IPTABLES,
    LINKFAN_TOOL_OTHER,
    LINKFAN_TOOL_COUNT,
};
struct linkfan_shell_stats {
    unsigned long commands;
    unsigned long processes;
    unsigned long batches;
    double seconds[LINKFAN_TOOL_COUNT];
};
extern linkfan_shell_stats linkfan_shell_cost;
