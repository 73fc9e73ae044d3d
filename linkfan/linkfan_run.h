// Outside work of kivo_linkfan: every command and every pause goes through
// these, so the tool's effect on the system can be read, logged and checked in
// one place. The program's runner is linkfan_run.cpp; tests and the benchmark
// link runners of their own.
#pragma once

struct pollfd;

// Runs a command line and waits for it; the result is not examined by any
// caller, so none is returned.
void linkfan_run(const char *line);

// Formats a command line into a 512-byte buffer and runs it as linkfan_run
// does. A line that does not fit is not run at all: a cut command could act
// on something else than meant.
[[gnu::format(printf, 1, 2)]] void linkfan_runf(const char *format, ...);

// Runs a command line through the shell and hands each line of its output
// (at most 1023 bytes at a time, NUL-terminated) to on_line, stopping early
// when on_line returns nonzero. Returns that nonzero value, or 0 when the
// output ended (or the command could not be started).
int linkfan_read(const char *line, int (*on_line)(const char *text, void *ctx), void *ctx);

// Returns once every command run so far has ended (the open batches of ip
// commands included), so that what the cycle logs as done is done and what
// the kernel is asked next shows it.
void linkfan_settle(void);

// Sleeps for the given number of microseconds.
void linkfan_pause(unsigned long usec);

// Sleeps as linkfan_pause does, but wakes as soon as fd has something to
// read. Returns the microseconds that were left then (at least 1), or 0 when
// the whole time passed.
unsigned long linkfan_wait(int fd, unsigned long usec);

// As linkfan_wait, over several descriptors (count may be 0): their revents
// tell which have something to read.
unsigned long linkfan_poll(struct pollfd *fds, int count, unsigned long usec);
