// What the test hosts see of the preloaded library and of their own threads.
// The hosts are not linked with the library: they find its globals at run time,
// so the same program also runs bare.
#pragma once

#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

struct traffic_view {
    long long *send;
    long long *receive;
    char *cp;
    pid_t *pid;
    pthread_mutex_t *mutex;
};

// Exits 3 when the library is not loaded: every host command needs it.
inline traffic_view traffic_view_open(void)
{
    traffic_view view = {
        static_cast<long long *>(dlsym(RTLD_DEFAULT, "total_send_bytes")),
        static_cast<long long *>(dlsym(RTLD_DEFAULT, "total_receive_bytes")),
        static_cast<char *>(dlsym(RTLD_DEFAULT, "cp")),
        static_cast<pid_t *>(dlsym(RTLD_DEFAULT, "global_pid")),
        static_cast<pthread_mutex_t *>(dlsym(RTLD_DEFAULT, "global_mutex")),
    };
    if (!view.send || !view.receive || !view.cp || !view.pid || !view.mutex) {
        std::fprintf(stderr, "host: libkivotraffic is not loaded\n");
        std::exit(3);
    }
    return view;
}

// Moves n bytes (at most 4096) over a fresh socket pair with write and read;
// false when a call fell short.
inline bool traffic_move_over_socket(size_t n)
{
    int pair[2];
    char buf[4096] = {};
    return n <= sizeof buf && socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0 &&
           write(pair[0], buf, n) == static_cast<ssize_t>(n) &&
           read(pair[1], buf, n) == static_cast<ssize_t>(n);
}

inline long long traffic_load(const long long *counter)
{
    return __atomic_load_n(counter, __ATOMIC_RELAXED);
}

// Number of threads of this process.
inline int traffic_task_count(void)
{
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

// The id of a thread other than the main one, or 0 when there is none.
inline pid_t traffic_other_task(void)
{
    DIR *dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    pid_t found = 0;
    while (struct dirent *entry = readdir(dir)) {
        pid_t tid = static_cast<pid_t>(std::atol(entry->d_name));
        if (tid > 0 && tid != getpid()) {
            found = tid;
            break;
        }
    }
    closedir(dir);
    return found;
}

// Reads field ("SigBlk:", "SigPnd:") of a thread's status as a signal mask.
inline unsigned long long traffic_task_mask(pid_t tid, const char *field)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/status", static_cast<int>(tid));
    FILE *file = std::fopen(path, "r");
    if (!file)
        return ~0ULL;
    char line[256];
    unsigned long long mask = ~0ULL;
    size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, file))
        if (std::strncmp(line, field, len) == 0)
            mask = std::strtoull(line + len, nullptr, 16);
    std::fclose(file);
    return mask;
}

// Waits until the report thread sits in its sleep (clock_nanosleep, 230 on
// x86-64), so that the host's own traffic starts after the thread's first look
// at the counters. Returns false after timeout_ms.
inline bool traffic_wait_report_asleep(int timeout_ms)
{
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        pid_t tid = traffic_other_task();
        if (tid > 0) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
            FILE *file = std::fopen(path, "r");
            int number = -1;
            if (file) {
                if (std::fscanf(file, "%d", &number) != 1)
                    number = -1;
                std::fclose(file);
            }
            if (number == 230)
                return true;
        }
        struct timespec pause = {0, 5 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// One line on standard output, written at once so that lines of a parent and
// its child never mix.
inline void traffic_say(const char *format, ...) __attribute__((format(printf, 1, 2)));
inline void traffic_say(const char *format, ...)
{
    char line[512];
    va_list args;
    va_start(args, format);
    int len = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (len < 0)
        return;
    if (static_cast<size_t>(len) > sizeof line - 2)
        len = sizeof line - 2;
    line[len] = '\n';
    // Past the library: a host's own report lines must neither be counted nor
    // start its report thread.
    if (syscall(SYS_write, 1, line, static_cast<size_t>(len) + 1) < 0)
        std::_Exit(4);
}
