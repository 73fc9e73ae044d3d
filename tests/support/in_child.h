// Checks that run in a forked child, so that what they change (namespaces
// entered, mounts, signal dispositions, process-wide state) ends with it. The
// child's gtest failures are printed by the child and come back as its exit
// status; a fatal failure ends the body early, as it ends a test.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

// Starts body in a forked child and returns the child's pid (-1: no fork).
// Pair it with in_child_finish; several may run at once.
template <typename Body>
pid_t in_child_start(Body body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        std::fflush(nullptr);
        _exit(testing::Test::HasFailure() ? 1 : 0);
    }
    return pid;
}

// Waits for a child of in_child_start and tells how it ended: its exit status,
// 128 + the signal that ended it, or -1 when there is no such child.
inline int in_child_status(pid_t pid)
{
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Waits for a child of in_child_start; a check that failed there fails the
// test here. what names the child in the message.
inline void in_child_finish(pid_t pid, const char *what = "the child")
{
    int ended = in_child_status(pid);
    ASSERT_NE(ended, -1) << what << ": no child to wait for";
    EXPECT_EQ(ended, 0) << what << (ended > 128 ? ": ended by a signal (128 + number)"
                                                : ": a check failed there (see above)");
}

// Runs body in a forked child and waits for it.
template <typename Body>
void in_child(Body body, const char *what = "the child")
{
    in_child_finish(in_child_start(body), what);
}

// Runs body in a forked child and tells how the child ended, as in_child_status
// does: a body that ends the process itself (a signal, _exit) is what this is for.
template <typename Body>
int in_child_ended_by(Body body)
{
    return in_child_status(in_child_start(body));
}
