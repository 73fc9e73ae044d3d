// What /proc tells about a process: its start time, network namespace,
// environment and mapped files.
#include "kivo_trafficd.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

// Reads at most size - 1 bytes of a /proc file; the length, -1 when it cannot be read.
static ssize_t proc_read(unsigned int tgid, const char *what, char *buf, size_t size)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/%s", tgid, what);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    size_t got = 0;
    while (got < size - 1) {
        ssize_t n = read(fd, buf + got, size - 1 - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    buf[got] = '\0';
    return static_cast<ssize_t>(got);
}

unsigned long long trafficd_proc_start(unsigned int tgid)
{
    char stat[1024];
    if (proc_read(tgid, "stat", stat, sizeof stat) <= 0)
        return 0;
    // The command name may hold blanks and parentheses; the fields follow the last ')'.
    const char *at = strrchr(stat, ')');
    if (!at)
        return 0;
    // Field 3 (state) follows; the start time is field 22.
    int field = 2;
    for (const char *p = at + 1; *p; p++) {
        if (*p == ' ') {
            field++;
            if (field == 22)
                return strtoull(p + 1, nullptr, 10);
        }
    }
    return 0;
}

unsigned int trafficd_proc_netns(unsigned int tgid)
{
    char path[64];
    if (tgid == 0)
        snprintf(path, sizeof path, "/proc/self/ns/net");
    else
        snprintf(path, sizeof path, "/proc/%u/ns/net", tgid);
    struct stat st;
    if (stat(path, &st) != 0)
        return 0;
    return static_cast<unsigned int>(st.st_ino);
}

bool trafficd_proc_environ(unsigned int tgid, char *cp, size_t cp_size, char *preload,
                           size_t preload_size)
{
    // An environment may be large; a process's own is bounded by the
    // argument limit, and what lies past 256 KiB is not looked at.
    static char env[256 * 1024];
    ssize_t len = proc_read(tgid, "environ", env, sizeof env);
    if (len <= 0)
        return false;
    bool found = false;
    preload[0] = '\0';
    for (ssize_t at = 0; at < len;) {
        const char *entry = env + at;
        size_t n = strnlen(entry, static_cast<size_t>(len - at));
        if (strncmp(entry, "KIVO_CP=", 8) == 0 && !found) {
            trafficd_copy(cp, cp_size, entry + 8);
            found = true;
        } else if (strncmp(entry, "LD_PRELOAD=", 11) == 0) {
            trafficd_copy(preload, preload_size, entry + 11);
        }
        at += static_cast<ssize_t>(n) + 1;
    }
    return found;
}

// Whether a line of /proc/PID/maps names a file whose base name starts with prefix.
static int proc_maps_has(unsigned int tgid, const char *prefix)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%u/maps", tgid);
    FILE *maps = fopen(path, "re");
    if (!maps)
        return -1;
    char line[1024];
    int found = 0;
    bool any = false;
    while (!found && fgets(line, sizeof line, maps)) {
        any = true;
        const char *file = strchr(line, '/');
        if (!file)
            continue;
        const char *base = strrchr(file, '/') + 1;
        if (strncmp(base, prefix, strlen(prefix)) == 0)
            found = 1;
    }
    fclose(maps);
    // A process that ended leaves an empty maps file behind while it is a zombie.
    return any ? found : -1;
}

int trafficd_proc_has_library(unsigned int tgid)
{
    return proc_maps_has(tgid, "libkivotraffic");
}

int trafficd_proc_is_dynamic(unsigned int tgid)
{
    // The kernel maps the program's dynamic loader at exec, before it runs.
    return proc_maps_has(tgid, "ld-linux");
}
