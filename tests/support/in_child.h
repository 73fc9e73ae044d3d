// Checks that run in a forked child, so that what they change (namespaces
// entered, mounts, signal dispositions, process-wide state) ends with it. The
// child's gtest failures are printed by the child and come back as its exit
// status; a fatal failure ends the body early, as it ends a test.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

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

// Waits for a child of in_child_start; a check that failed there fails the
// test here. what names the child in the message.
inline void in_child_finish(pid_t pid, const char *what = "the child")
{
    ASSERT_GT(pid, 0) << what << ": no fork";
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid) << what;
    if (WIFSIGNALED(status))
        ADD_FAILURE() << what << " ended by signal " << WTERMSIG(status) << " ("
                      << strsignal(WTERMSIG(status)) << ")";
    else
        EXPECT_EQ(WEXITSTATUS(status), 0) << what << ": a check failed there (see above)";
}

// Runs body in a forked child and waits for it.
template <typename Body>
void in_child(Body body, const char *what = "the child")
{
    in_child_finish(in_child_start(body), what);
}

// Runs body in a forked child that exits 0 when body returns, and tells how the
// child ended: its exit status, 128 + the signal that ended it, or -1.
template <typename Body>
int in_child_ended_by(Body body)
{
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        body();
        _exit(0);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
