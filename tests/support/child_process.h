// A program a test starts as a child process. Its standard input and output are
// pipes the test holds; its standard error goes to the test's own. The child
// leads a process group of its own, so whatever it starts dies with it, and the
// owner kills the group when its scope ends: a failed assertion leaves nothing
// running.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct child_process {
    pid_t pid = -1;
    pid_t group = -1;  // the child's process group
    int input = -1;    // the child's standard input
    int output = -1;   // the child's standard output
    std::string unread;

    // Set before child_start when wanted. A path sends standard output or
    // standard error to that file (made anew) instead of the pipe or the test's
    // own; directory is the folder the program starts in (empty: the test's);
    // prepare runs in the child just before the program starts. When one of
    // them fails the child ends with 127 before the program runs.
    std::string output_path;
    std::string errors_path;
    std::string directory;
    int (*prepare)(void) = nullptr;

    child_process() = default;
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    ~child_process();
};

// Milliseconds on the monotonic clock.
long long child_monotonic_ms(void);

// Starts argv[0] (a path) with the test's environment changed by env: an entry
// "NAME=value" sets NAME, an entry "NAME" removes it; later entries win. With
// death_signal the child gets that signal when the thread that started it
// ends. Returns false when the program could not be started.
bool child_start(child_process *proc, const std::vector<std::string> &argv,
                 const std::vector<std::string> &env = {}, int death_signal = 0);

// The next line of output (without its line feed), waiting at most timeout_ms.
bool child_next_line(child_process *proc, std::string *line, int timeout_ms);

// Skips lines until one starts with prefix; false after timeout_ms in all.
// line, when given, gets the line found.
bool child_expect(child_process *proc, const std::string &prefix, std::string *line,
                  int timeout_ms);

// Sends a line to the child's standard input.
void child_tell(child_process *proc, const std::string &line);

// Whether the child has exited, without waiting; status (when given) gets
// its exit status as child_wait tells it.
bool child_ended(child_process *proc, int *status);

// Waits up to timeout_ms for the child to exit; returns its exit status,
// 128 + signal when a signal ended it, or -1 when it had to be killed.
int child_wait(child_process *proc, int timeout_ms);

// Sends signal to the child's group and waits for it as child_wait does.
int child_stop(child_process *proc, int signal, int timeout_ms);
