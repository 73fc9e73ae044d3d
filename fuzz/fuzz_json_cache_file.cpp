// The address cache file reader over arbitrary file contents, and the round
// trip of what it read through the writer.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "libkivo_json.h"

namespace {

// Files that live in memory only, reached by path as the reader wants one.
int cache_fd = -1;
int copy_fd = -1;

std::string fd_path(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

bool fill(int fd, const uint8_t *data, size_t size)
{
    if (ftruncate(fd, 0) != 0)
        return false;
    return pwrite(fd, data, size, 0) == static_cast<ssize_t>(size);
}

constexpr int kAddressField = 32; // the reader's promise: at least 32 bytes

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cache_fd = memfd_create("kivo_fuzz_cache", 0);
    copy_fd = memfd_create("kivo_fuzz_copy", 0);
    if (cache_fd < 0 || copy_fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!fill(cache_fd, data, size))
        return 0;
    std::string path = fd_path(cache_fd);

    int64_t t = 0;
    auto ip = std::make_unique<char[]>(kAddressField);
    std::memset(ip.get(), 'x', kAddressField);
    int done = kivo_json_get_ip_from_file(path.c_str(), &t, ip.get());
    FUZZ_REQUIRE(done == -1 || done == 0);
    if (done == 0) {
        FUZZ_REQUIRE(ip[0] == 'x');
        return 0;
    }
    FUZZ_REQUIRE(std::memchr(ip.get(), '\0', kAddressField) != nullptr);

    // What was read is written back. The writer may refuse it (a text that
    // would need an escape); a write that reports success leaves a file that
    // reads back the same.
    std::string copy = fd_path(copy_fd);
    int wrote = kivo_json_put_ip_to_file(copy.c_str(), t, ip.get());
    FUZZ_REQUIRE(wrote == -1 || wrote == 0);
    if (wrote == 0)
        return 0;
    int64_t t2 = 0;
    char ip2[kAddressField] = "";
    int again = kivo_json_get_ip_from_file(copy.c_str(), &t2, ip2);
    FUZZ_REQUIRE(again == -1);
    FUZZ_REQUIRE(t2 == t);
    FUZZ_REQUIRE(std::strcmp(ip2, ip.get()) == 0);
    return 0;
}
