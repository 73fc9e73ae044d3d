#include "sandbox.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

int sandbox_enter(bool mounts)
{
    int flags = CLONE_NEWNET | (mounts ? CLONE_NEWNS : 0);
    if (unshare(flags) != 0) {
        std::fprintf(stderr, "sandbox: unshare: %s\n", std::strerror(errno));
        return -1;
    }
    // Without this, bind mounts made later propagate back to the host's /etc.
    if (mounts && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fprintf(stderr, "sandbox: make / private: %s\n", std::strerror(errno));
        return -1;
    }
    if (sandbox_sh("ip link set lo up") != 0) {
        std::fprintf(stderr, "sandbox: cannot bring lo up\n");
        return -1;
    }
    return 0;
}

int sandbox_bind(const char *source, const char *target, bool read_only)
{
    if (mount(source, target, nullptr, MS_BIND, nullptr) != 0) {
        std::fprintf(stderr, "sandbox: bind %s on %s: %s\n", source, target, std::strerror(errno));
        return -1;
    }
    if (read_only &&
        mount(nullptr, target, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        std::fprintf(stderr, "sandbox: read-only %s: %s\n", target, std::strerror(errno));
        return -1;
    }
    return 0;
}

int sandbox_sh(const std::string &cmd)
{
    int st = std::system(cmd.c_str());
    if (st == -1 || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

std::string sandbox_output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

mode_t sandbox_mode_of(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::string sandbox_tempdir(const char *tag)
{
    std::string tmpl = std::string("/tmp/kivo-") + tag + "-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        return "";
    return tmpl;
}

bool sandbox_write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out);
}

std::string sandbox_read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}
