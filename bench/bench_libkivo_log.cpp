// What one log record costs: the file part off (the updater's setting, apart
// from the console copy), on (buffered, with a write-out every ~6 KiB and a
// rotation every MiB), and the green console copy alone.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libkivo_log.h"

namespace {

// A record like the update cycle's.
void one_record()
{
    libkivo_log_write("INFO", 1, "interval: %d, ddnspod: %s.%s --> %s\n", 300, "box",
                      "example.com", "203.0.113.7");
}

void reset_log()
{
    std::memset(&libkivo_log_info, 0, sizeof libkivo_log_info);
    libkivo_log_info.level = 6;
}

void BM_RecordFileOff(benchmark::State &state)
{
    reset_log();
    for (auto _ : state)
        one_record();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordFileOff);

void BM_RecordFileOn(benchmark::State &state)
{
    char dir[] = "/tmp/kivo-bench-log-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("mkdtemp failed");
        return;
    }
    reset_log();
    libkivo_log_init(0, 1, dir, "ddns.log");
    for (auto _ : state)
        one_record();
    state.SetItemsProcessed(state.iterations());
    std::string path = std::string(dir) + "/ddns.log";
    std::remove(path.c_str());
    std::remove((path + ".1").c_str());
    rmdir(dir);
}
BENCHMARK(BM_RecordFileOn);

// The console copy into /dev/null: formatting and one write(2) per record.
void BM_RecordConsoleOnly(benchmark::State &state)
{
    int saved = dup(2);
    int null_fd = open("/dev/null", O_WRONLY);
    if (saved < 0 || null_fd < 0) {
        state.SkipWithError("cannot redirect standard error");
        return;
    }
    dup2(null_fd, 2);
    reset_log();
    libkivo_log_init_just_for_debug();
    for (auto _ : state)
        one_record();
    state.SetItemsProcessed(state.iterations());
    dup2(saved, 2);
    close(saved);
    close(null_fd);
    reset_log();
}
BENCHMARK(BM_RecordConsoleOnly);

} // namespace

BENCHMARK_MAIN();
