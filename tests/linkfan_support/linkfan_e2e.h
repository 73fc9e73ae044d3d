// The real kivo_linkfan run by end-to-end tests in namespaces of the test's
// own: started with its console captured, watched through its run log.
#pragma once

#include "child_process.h"
#include "linkfan_scene.h"
#include "sandbox.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace linkfan_e2e {

using strings = std::vector<std::string>;

// One run of the program: its console goes to files of the fixture's.
struct tool_run {
    std::unique_ptr<child_process> proc;
    std::string out_path, err_path, log_path;
};

class LinkfanEndToEnd : public ::testing::Test {
protected:
    linkfan_scene scene;
    temp_dir capture_dir{"linkfan-out"};
    tool_run run;

    void SetUp() override
    {
        ASSERT_EQ(scene_enter(&scene, "255\tlocal\n254\tmain\n"), 0);
        ASSERT_FALSE(capture_dir.path.empty());
        run.out_path = capture_dir / "stdout";
        run.err_path = capture_dir / "stderr";
        run.log_path = scene.work_dir / "linkfan.log";
    }

    // Starts the program (or `wrapper...` then the program; the wrapper by its
    // path) in the working directory with its console captured; extra_env is
    // "NAME=value" each.
    void start(const strings &args, const strings &wrapper = {}, const strings &extra_env = {},
               const std::string &binary = LINKFAN_BINARY)
    {
        strings words = wrapper;
        words.push_back(binary);
        words.insert(words.end(), args.begin(), args.end());
        run.proc = std::make_unique<child_process>();
        run.proc->output_path = run.out_path;
        run.proc->errors_path = run.err_path;
        run.proc->directory = scene.work_dir.path;
        ASSERT_TRUE(child_start(run.proc.get(), words, extra_env));
    }

    // Waits until the run log has `count` cycle ends; false on time-out or
    // when the program ended first.
    bool wait_cycles(int count, int seconds)
    {
        long long until = child_monotonic_ms() + seconds * 1000LL;
        while (child_monotonic_ms() < until) {
            if (finished() >= count)
                return true;
            if (child_ended(run.proc.get(), nullptr))
                return false;
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

    // The exit status once the program ends by itself (128 + the signal that
    // ended it), or -1 on time-out, when the program is killed.
    int wait_exit(int seconds) { return child_wait(run.proc.get(), seconds * 1000); }

    void stop()
    {
        if (run.proc)
            child_stop(run.proc.get(), SIGKILL, 5000);
    }

    strings log_messages() { return scene_log_messages(sandbox_read_file(run.log_path)); }
    std::string rt_tables() { return sandbox_read_file("/etc/iproute2/rt_tables"); }
};

inline bool logged(const strings &messages, const std::string &message)
{
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

}  // namespace linkfan_e2e
