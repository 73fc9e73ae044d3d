// kivo_ddns's command line over arbitrary argument vectors: kivo_option_init
// with its own option table, through kivo_getopt and getopt_long. Input: the
// arguments after the program name, separated by NUL bytes.
//
// The help options and the refusal of a too-long argument end the process;
// this target is linked with --wrap=exit, so such an exit returns to the run
// here instead (the fuzzer's own exit, outside a run, is passed on).
#include <getopt.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kivo_option.h"

namespace {

std::jmp_buf exit_jump;
bool in_run = false;
int exit_status = -1;

bool terminated_within(const char *field, size_t size)
{
    return std::memchr(field, '\0', size) != nullptr;
}

constexpr int kMaxArguments = 64;

} // namespace

// The names the linker's --wrap gives the real exit and its stand-in.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void __real_exit(int status);

// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (!in_run)
        __real_exit(status);
    exit_status = status;
    // No exceptions in this code: only a jump gets out of an exit that must not return.
    std::longjmp(exit_jump, 1); // NOLINT(cert-err52-cpp)
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Owned copies: getopt_long reorders the vector, never the texts.
    std::vector<std::string> texts = {"kivo_ddns"};
    size_t start = 0;
    for (size_t i = 0; i <= size && texts.size() < kMaxArguments; i++) {
        if (i == size || data[i] == '\0') {
            texts.emplace_back(reinterpret_cast<const char *>(data) + start, i - start);
            start = i + 1;
        }
    }
    std::vector<char *> argv;
    argv.reserve(texts.size() + 1);
    for (std::string &t : texts)
        argv.push_back(t.data());
    argv.push_back(nullptr);

    // A fresh scan each run, and no getopt chatter on standard error.
    optind = 0;
    opterr = 0;
    exit_status = -1;
    in_run = true;
    if (setjmp(exit_jump) == 0) // NOLINT(cert-err52-cpp): see __wrap_exit
        kivo_option_init(static_cast<int>(texts.size()), argv.data());
    in_run = false;

    // The only ways out: help (0), an argument that did not fit (253), a value
    // that cannot be used (252), or back.
    FUZZ_REQUIRE(exit_status == -1 || exit_status == 0 ||
                 exit_status == KIVO_OPTION_EXIT_TOO_LONG ||
                 exit_status == KIVO_OPTION_EXIT_BAD_VALUE);
    const kivo_option_record &o = kivo_option_info;
    FUZZ_REQUIRE(terminated_within(o.ddns_token, sizeof o.ddns_token));
    FUZZ_REQUIRE(terminated_within(o.ddns_token_fallback, sizeof o.ddns_token_fallback));
    FUZZ_REQUIRE(terminated_within(o.sub_domain, sizeof o.sub_domain));
    FUZZ_REQUIRE(terminated_within(o.main_domain, sizeof o.main_domain));
    FUZZ_REQUIRE(terminated_within(o.extern_ip, sizeof o.extern_ip));
    FUZZ_REQUIRE(terminated_within(o.nic, sizeof o.nic));
    FUZZ_REQUIRE(terminated_within(o.record_type, sizeof o.record_type));
    FUZZ_REQUIRE(terminated_within(o.line, sizeof o.line));
    FUZZ_REQUIRE(terminated_within(o.metrics, sizeof o.metrics));
    if (exit_status == -1) {
        FUZZ_REQUIRE(o.interval >= 1);
        FUZZ_REQUIRE(kivo_option_refused() == 0);
        FUZZ_REQUIRE(std::strcmp(o.record_type, "A") == 0 ||
                     std::strcmp(o.record_type, "AAAA") == 0);
        FUZZ_REQUIRE(o.line[0] != '\0');
        // Hiding the token changes bytes inside the words only: no word grows,
        // shrinks or loses its NUL.
        std::vector<size_t> lengths;
        lengths.reserve(texts.size());
        for (const std::string &t : texts)
            lengths.push_back(std::strlen(t.c_str()));
        kivo_option_hide_token(static_cast<int>(texts.size()), argv.data());
        for (size_t i = 0; i < texts.size(); i++)
            FUZZ_REQUIRE(std::strlen(texts[i].c_str()) == lengths[i]);
    }
    return 0;
}
