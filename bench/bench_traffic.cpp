// What libkivotraffic adds to a host's read and write: one write plus one read
// of 64 bytes and of 4 KiB, on a connected socket pair and on a pipe, through
// libc alone ("bare") and through the library, side by side in one run, with
// the ratio to bare printed at the end.
//
// A process is either preloaded or not, so the library is loaded here beside
// libc with dlopen and its exported read and write are called directly: the
// same definitions, reaching libc through the same next-definition pointers,
// that a preloaded host's calls reach. Further builds of the library can be
// measured in the same run, for a before/after comparison:
//
//   bench_traffic [--traffic_library=LABEL=PATH ...] [benchmark options]
//
// Run as root it moves into a network namespace of its own first, so the
// report thread that the first write starts never reaches the machine's ports.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

typedef ssize_t (*read_fn)(int, void *, size_t);
typedef ssize_t (*write_fn)(int, const void *, size_t);

struct bench_target {
    std::string label;
    read_fn read;
    write_fn write;
};

enum bench_channel { channel_socketpair, channel_pipe };

constexpr const char *channel_names[] = {"socketpair", "pipe"};
constexpr int sizes[] = {64, 4096};

void bench_write_read(benchmark::State &state, const bench_target *target, bench_channel channel)
{
    int fds[2];
    int ok = channel == channel_socketpair ? socketpair(AF_UNIX, SOCK_STREAM, 0, fds) : pipe(fds);
    if (ok != 0) {
        state.SkipWithError("cannot make the channel");
        return;
    }
    // A socket pair is written on one end and read on the other; a pipe has
    // its read end first.
    int out = channel == channel_socketpair ? fds[0] : fds[1];
    int in = channel == channel_socketpair ? fds[1] : fds[0];
    size_t size = static_cast<size_t>(state.range(0));
    static char buf[4096];
    for (auto _ : state) {
        if (target->write(out, buf, size) != static_cast<ssize_t>(size) ||
            target->read(in, buf, size) != static_cast<ssize_t>(size)) {
            state.SkipWithError("short write or read");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    close(fds[0]);
    close(fds[1]);
}

// Console output as usual, plus every run's real time kept for the ratios.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> times;
    std::set<std::string> medians;

    // Colours only on a terminal: the figures are often kept in a file.
    ratio_reporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        // With repetitions the median stands for the case; without, the one run.
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians.insert(name);
            else if (run.run_type != Run::RT_Iteration || medians.count(name))
                continue;
            times[name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

bool load_target(const std::string &label, const std::string &path,
                 std::vector<bench_target> *targets)
{
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "bench_traffic: %s\n", dlerror());
        return false;
    }
    auto r = reinterpret_cast<read_fn>(dlsym(lib, "read"));
    auto w = reinterpret_cast<write_fn>(dlsym(lib, "write"));
    if (!r || !w) {
        std::fprintf(stderr, "bench_traffic: %s defines no read or write\n", path.c_str());
        return false;
    }
    targets->push_back({label, r, w});
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (unshare(CLONE_NEWNET) != 0)
        std::fprintf(stderr, "bench_traffic: no private network namespace (not root?); "
                             "report attempts go to this machine's 127.0.0.1\n");

    std::vector<bench_target> targets = {{"bare", ::read, ::write}};
    std::vector<char *> rest;
    bool custom = false;
    for (int i = 0; i < argc; i++) {
        const char *option = "--traffic_library=";
        if (std::strncmp(argv[i], option, std::strlen(option)) != 0) {
            rest.push_back(argv[i]);
            continue;
        }
        std::string label_path = argv[i] + std::strlen(option);
        size_t eq = label_path.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::fprintf(stderr, "bench_traffic: --traffic_library=LABEL=PATH\n");
            return 2;
        }
        if (!load_target(label_path.substr(0, eq), label_path.substr(eq + 1), &targets))
            return 1;
        custom = true;
    }
    if (!custom && !load_target("traffic", KIVO_TRAFFIC_LIBRARY, &targets))
        return 1;

    // Registered case by case, so that bare and the libraries run next to each other.
    for (int channel : {channel_socketpair, channel_pipe})
        for (int size : sizes)
            for (const bench_target &target : targets) {
                // Named channel/label/size, the size being the argument.
                std::string name = std::string(channel_names[channel]) + "/" + target.label;
                benchmark::RegisterBenchmark(name.c_str(), bench_write_read, &target,
                                             static_cast<bench_channel>(channel))
                    ->Arg(size);
            }

    int rest_argc = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_argc, rest.data());
    if (benchmark::ReportUnrecognizedArguments(rest_argc, rest.data()))
        return 2;
    ratio_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nratio to bare, real time of one write plus one read:\n");
    for (int channel : {channel_socketpair, channel_pipe})
        for (int size : sizes) {
            std::string channel_name = channel_names[channel];
            std::string size_name = "/" + std::to_string(size);
            auto bare = reporter.times.find(channel_name + "/bare" + size_name);
            if (bare == reporter.times.end() || bare->second <= 0)
                continue;
            std::printf("  %-16s", (channel_name + size_name).c_str());
            for (size_t i = 1; i < targets.size(); i++) {
                auto t = reporter.times.find(channel_name + "/" + targets[i].label + size_name);
                if (t != reporter.times.end())
                    std::printf("  %s %.2fx", targets[i].label.c_str(), t->second / bare->second);
            }
            std::printf("\n");
        }
    benchmark::Shutdown();
    return 0;
}
