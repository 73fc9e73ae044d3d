// The fixture of the kivo_ddns end-to-end tests: the real program, as an
// operator starts it, in private network and mount namespaces where DNSPod and
// the five echo services are the stand-ins of tools/kivo_standin.py on
// 127.0.0.1. Passes are one second apart. KIVO_DDNS_UNDER_TEST in the
// environment names another build of the program to run instead (an older one,
// to show that a test catches the fault it is about).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ddns_standin.h"
#include "sandbox.h"

inline constexpr char kPrimary[] = "50001,00112233445566778899aabbccddeeff";

inline std::string record_set(const char *value)
{
    return std::string("[{\"id\":1234567,\"domain\":\"example.com\",\"name\":\"home\","
                       "\"type\":\"A\",\"line\":\"默认\",\"value\":\"") +
           value + "\"}]";
}

inline std::string token_of(const ddns_request &r)
{
    size_t at = r.body.find("login_token=");
    if (at == std::string::npos)
        return "";
    at += 12;
    return r.body.substr(at, r.body.find('&', at) - at);
}

class e2e : public ::testing::Test {
protected:
    void start(const std::string &records, const std::string &control,
               std::vector<std::string> extra = {})
    {
        ASSERT_EQ(0, ddns_world_enter(world_, records, control));
        if (!before_start_.empty()) {
            ASSERT_EQ(0, sandbox_sh(before_start_)) << before_start_;
        }
        const char *other = std::getenv("KIVO_DDNS_UNDER_TEST");
        std::vector<std::string> argv = {other != nullptr ? other : KIVO_DDNS_BINARY,
                                         "--sub_domain=home", "--main_domain=example.com",
                                         "--interval=1"};
        if (with_token_)
            argv.push_back(std::string("--ddns_token=") + kPrimary);
        argv.insert(argv.end(), extra.begin(), extra.end());
        ASSERT_TRUE(ddns_world_start(world_, &ddns_, argv, "ddns.out", "ddns.err"));
    }
    void TearDown() override
    {
        ddns_world_stop(&ddns_);
        if (HasFailure())
            std::fprintf(stderr, "--- kivo_ddns stdout:\n%s\n--- stderr:\n%s\n",
                         out().c_str(), err().c_str());
        ddns_world_leave(world_);
    }

    std::vector<ddns_request> api() { return ddns_world_requests(world_, "dnsapi.cn"); }
    // The program's peak resident set so far (VmHWM), in KiB; 0 when unknown.
    long peak_kib()
    {
        std::string status = sandbox_read_file("/proc/" + std::to_string(ddns_.pid) + "/status");
        size_t at = status.find("VmHWM:");
        return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
    }
    size_t passes() { return ddns_world_requests(world_, "members.3322.org").size(); }
    std::string out() { return ddns_world_file(world_, "ddns.out"); }
    std::string err() { return ddns_world_file(world_, "ddns.err"); }

    // Waits until DNSPod has had n requests.
    bool api_reaches(size_t n, double seconds = 20)
    {
        return ddns_world_wait([&] { return api().size() >= n; }, seconds);
    }
    // Waits for n more passes of discovery.
    bool more_passes(size_t n)
    {
        size_t start = passes();
        return ddns_world_wait([&] { return passes() >= start + n; }, 10.0 + 3 * n);
    }
    // Starts with the echo services reporting address and waits until the
    // program has confirmed it on DNSPod.
    void start_until_confirmed(const std::string &records, const char *address)
    {
        ASSERT_NO_FATAL_FAILURE(start(records, std::string("{\"address\":\"") + address + "\"}"));
        ASSERT_TRUE(ddns_world_wait(
            [&] { return err().find(std::string("exist and same: home.example.com --> ") +
                                    address) != std::string::npos; },
            20))
            << err();
    }
    // Passes of the update cycle so far, by their log record (also those that
    // ask no echo service of the IPv4 table).
    size_t logged_passes() { return count(err(), "INFO[1]: \033[0minterval: 1, ddnspod: "); }
    bool more_logged_passes(size_t n)
    {
        size_t start = logged_passes();
        return ddns_world_wait([&] { return logged_passes() >= start + n; },
                               10.0 + 3.0 * static_cast<double>(n));
    }
    // Every request that did not go to DNSPod.
    std::vector<ddns_request> echo_requests()
    {
        std::vector<ddns_request> out;
        for (const ddns_request &r : ddns_world_requests(world_))
            if (r.host != "dnsapi.cn")
                out.push_back(r);
        return out;
    }
    std::vector<std::string> paths()
    {
        std::vector<std::string> p;
        for (const ddns_request &r : api())
            p.push_back(r.path);
        return p;
    }

    ddns_world world_;
    child_process ddns_;
    std::string before_start_; // shell commands run in the namespaces before the program
    bool with_token_ = true;   // --ddns_token=kPrimary on the command line
};

