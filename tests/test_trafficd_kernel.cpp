// kivo_trafficd's start: what it asks of the kernel, and how it refuses a
// kernel that lacks it. A missing tracepoint is simulated by a kernel type
// table (BTF) that lacks its type, bind-mounted over the kernel's own in a
// mount namespace of the test's.
#include <bpf/bpf.h>
#include <bpf/btf.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "in_child.h"
#include "kivo_trafficd.h"
#include "sandbox.h"
#include "temp_dir.h"
#include "traffic_agent.h"
#include "trafficd_scene.h"

TEST(TrafficdKernel, ACheckNamesEveryMissingTracepointAndNothingElse)
{
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0)
        GTEST_SKIP() << "this kernel has no BTF at /sys/kernel/btf/vmlinux";
    const char *names[] = {"sock:sock_send_length", "sock:no_such_event", "sched:nor_this"};
    char message[512] = "";
    EXPECT_EQ(trafficd_kernel_check(names, 3, message, sizeof message), trafficd_exit_kernel);
    std::string text = message;
    EXPECT_NE(text.find("sock:no_such_event, sched:nor_this"), std::string::npos) << text;
    EXPECT_EQ(text.find("sock_send_length"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos) << "one line: " << text;
}

TEST(TrafficdKernel, TheReportNameComesFromTheLibrarysTable)
{
    struct {
        const char *value;
        const char *name;
    } cases[] = {
        {"iqiyi", "iqiyi"},           {"tencent_video", "Tencent_Video"},
        {"quarl", "webrtc"},          {"Iqiyi", "unknown"},
        {"", "unknown"},              {"tencent_video ", "unknown"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(trafficd_cp_name(c.value), c.name) << c.value;
}

TEST(TrafficdKernel, ProcStartTimeIsTheKernelsTickCount)
{
    // Field 22 of /proc/self/stat, against the same count from a shell.
    unsigned long long mine = trafficd_proc_start(static_cast<unsigned int>(getpid()));
    std::string stat = sandbox_read_file("/proc/" + std::to_string(getpid()) + "/stat");
    std::string fields = stat.substr(stat.rfind(')') + 2);
    unsigned long long expected = 0;
    std::sscanf(fields.c_str(), "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu",
                &expected);
    EXPECT_GT(mine, 0u);
    EXPECT_EQ(mine, expected);
    EXPECT_EQ(trafficd_proc_start(0x7ffffff0u), 0u) << "no such process";
}

TEST(TrafficdKernel, ADaemonTakesOverTheMarksOfManyProcesses)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root (BPF maps)";
    in_child(
        [] {
            alarm(20);  // a walk of the marks that never ends
            trafficd_run.marks_fd =
                bpf_map_create(BPF_MAP_TYPE_HASH, "marks", sizeof(trafficd_key),
                               sizeof(trafficd_mark), TRAFFICD_MAX_PROCESSES, nullptr);
            trafficd_run.totals_fd = bpf_map_create(BPF_MAP_TYPE_PERCPU_HASH, "totals",
                                                    sizeof(trafficd_key), sizeof(trafficd_total),
                                                    16, nullptr);
            ASSERT_GE(trafficd_run.marks_fd, 0);
            ASSERT_GE(trafficd_run.totals_fd, 0);
            // Enough that some share a bucket of the map.
            for (unsigned int i = 1; i <= 1000; i++) {
                trafficd_key key = {i, 0, 100 + i};
                trafficd_mark mark = {"iqiyi", 1000 * i, 10 * i};
                ASSERT_EQ(bpf_map_update_elem(trafficd_run.marks_fd, &key, &mark, BPF_ANY), 0);
            }
            EXPECT_EQ(trafficd_table_take_over(), 1000);
            trafficd_process *proc = trafficd_table_find(500, 600);
            ASSERT_NE(proc, nullptr);
            EXPECT_EQ(proc->accepted_sent, 500000);
            EXPECT_EQ(proc->accepted_received, 5000);
        },
        "the take-over");
}

namespace {

// A type table with the tracepoint types the daemon needs, less skip.
bool write_btf(const std::string &path, const char *skip)
{
    struct btf *btf = btf__new_empty();
    if (!btf)
        return false;
    int int_type = btf__add_int(btf, "int", 4, BTF_INT_SIGNED);
    for (int i = 0; i < trafficd_tracepoint_count; i++) {
        std::string event = strchr(trafficd_tracepoints[i], ':') + 1;
        if (event == skip)
            continue;
        btf__add_typedef(btf, ("btf_trace_" + event).c_str(), int_type);
    }
    unsigned int size = 0;
    const void *raw = btf__raw_data(btf, &size);
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char *>(raw), size);
    btf__free(btf);
    return static_cast<bool>(out);
}

// Runs the daemon in a mount namespace where /sys/kernel/btf/vmlinux is file;
// returns its exit status, its output in *out.
int run_against(const std::string &file, std::string *out)
{
    std::string log = file + ".log";
    int status = in_child_ended_by([&] {
        if (sandbox_enter(true) != 0 || sandbox_bind(file.c_str(), "/sys/kernel/btf/vmlinux") != 0)
            _exit(99);
        _exit(sandbox_sh(std::string("'") + KIVO_TRAFFICD + "' >'" + log + "' 2>&1"));
    });
    *out = sandbox_read_file(log);
    return status;
}

} // namespace

TEST(TrafficdKernel, AKernelWithoutATracepointOrBtfGetsOneLineAndStatusTwo)
{
    std::string reason = trafficd_skip_reason();
    if (!reason.empty())
        GTEST_SKIP() << reason;
    temp_dir scratch("trafficd-btf");
    const std::string &dir = scratch.path;
    ASSERT_FALSE(dir.empty());

    ASSERT_TRUE(write_btf(dir + "/no-send", "sock_send_length"));
    std::string out;
    EXPECT_EQ(run_against(dir + "/no-send", &out), 2) << out;
    EXPECT_EQ(out,
              "kivo_trafficd: this kernel lacks the tracepoint sock:sock_send_length (Linux 6.3 "
              "or later has them); use libkivotraffic instead\n");

    // A kernel built without BTF: the file is there but holds no type table.
    { std::ofstream empty(dir + "/empty"); }
    EXPECT_EQ(run_against(dir + "/empty", &out), 2) << out;
    EXPECT_NE(out.find("kivo_trafficd: this kernel has no BTF type information"),
              std::string::npos)
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
}

TEST(TrafficdKernel, UsageAndRefusals)
{
    std::string help = sandbox_output(std::string("'") + KIVO_TRAFFICD + "' -h");
    EXPECT_EQ(help, "usage: kivo_trafficd [-d] [-h]\n"
                    "  -d  log every process and report on standard error\n"
                    "  -h  print this help and exit\n"
                    "  --metrics=FILE  write the metrics for node_exporter to FILE every cycle\n");
    for (const char *refused : {"-x", "extra", "--metrics", "--metrics=", "--metrics=/tmp/x extra"})
        EXPECT_EQ(sandbox_sh(std::string("'") + KIVO_TRAFFICD + "' " + refused + " 2>/dev/null"),
                  1)
            << refused;
    // A name that leaves no room for its temporary twin is refused, with a line.
    std::string too_long = "/tmp/" + std::string(4090, 'm');
    EXPECT_EQ(sandbox_output(std::string("'") + KIVO_TRAFFICD + "' --metrics=" + too_long +
                             " 2>&1"),
              "kivo_trafficd: --metrics needs a file name, of at most 4091 bytes\n");
    if (geteuid() == 0) {
        // As another user: refused before anything is loaded.
        EXPECT_EQ(sandbox_sh(std::string("setpriv --reuid=65534 --regid=65534 --clear-groups '") +
                             KIVO_TRAFFICD + "' 2>/dev/null"),
                  1);
    }
}
