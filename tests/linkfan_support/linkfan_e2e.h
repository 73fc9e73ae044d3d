// The real kivo_linkfan run by end-to-end tests in namespaces of the test's
// own: started with its console captured, watched through its run log.
#pragma once

#include "linkfan_scene.h"
#include "sandbox.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace linkfan_e2e {

using strings = std::vector<std::string>;

struct tool_run {
    pid_t pid = -1;
    std::string out_path, err_path, log_path;
};

class LinkfanEndToEnd : public ::testing::Test {
protected:
    linkfan_scene scene;
    std::string capture_dir;
    tool_run run;

    void SetUp() override
    {
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n254\tmain\n"), 0);
        capture_dir = sandbox_tempdir("linkfan-out");
        ASSERT_FALSE(capture_dir.empty());
    }

    void TearDown() override { stop(); }

    // Starts the program (or `wrapper...` then the program) in the working
    // directory with its console captured; extra_env is "NAME=value" each.
    void start(const strings &args, const strings &wrapper = {}, const strings &extra_env = {},
               const std::string &binary = LINKFAN_BINARY)
    {
        run.out_path = capture_dir + "/stdout";
        run.err_path = capture_dir + "/stderr";
        run.log_path = scene.work_dir + "/linkfan.log";
        std::vector<std::string> words = wrapper;
        words.push_back(binary);
        words.insert(words.end(), args.begin(), args.end());
        run.pid = fork();
        ASSERT_GE(run.pid, 0);
        if (run.pid == 0) {
            int out = open(run.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(run.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || chdir(scene.work_dir.c_str()) != 0)
                _exit(120);
            dup2(out, 1);
            dup2(err, 2);
            for (const std::string &e : extra_env)
                putenv(const_cast<char *>(e.c_str()));
            std::vector<char *> argv;
            for (std::string &w : words)
                argv.push_back(w.data());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(121);
        }
    }

    // Waits until the run log has `count` cycle ends; false on time-out or
    // when the program ended first.
    bool wait_cycles(int count, int seconds)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            strings logged = scene_log_messages(scene_read_file(run.log_path));
            if (std::count(logged.begin(), logged.end(), "[INFO]: finish!!!!") >= count)
                return true;
            int status;
            if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
                run.pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }

    // The cycles finished so far. A cycle that starts after a change sees it
    // all by the time finished() + 2 cycles have ended: the one running when
    // it was counted may have rescanned before.
    int finished()
    {
        strings logged = log_messages();
        return static_cast<int>(std::count(logged.begin(), logged.end(), "[INFO]: finish!!!!"));
    }

    // The exit status once the program ends by itself, -1 on time-out.
    int wait_exit(int seconds)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            int status;
            if (waitpid(run.pid, &status, WNOHANG) == run.pid) {
                run.pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    void stop()
    {
        if (run.pid > 0) {
            kill(run.pid, SIGKILL);
            waitpid(run.pid, nullptr, 0);
            run.pid = -1;
        }
    }

    strings log_messages() { return scene_log_messages(scene_read_file(run.log_path)); }
    std::string rt_tables() { return scene_read_file("/etc/iproute2/rt_tables"); }
};

inline bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

inline bool logged(const strings &messages, const std::string &message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace linkfan_e2e
