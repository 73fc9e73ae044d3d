// Every kivo_trafficd end-to-end case runs in a network namespace of its own
// (as the preload tests do), with a mount namespace whose own bpffs on
// /sys/fs/bpf takes the daemon's pinned maps, and is skipped with the reason
// where the daemon cannot run: not root, or a kernel without BPF, BTF or the
// tracepoints.
#pragma once

#include <sys/mount.h>

#include "traffic_fixture.h"
#include "trafficd_scene.h"

// The first report cycle comes 20 s after the daemon started; the library's
// report thread sends 20 s after the host loaded it.
constexpr long long trafficd_first_cycle_limit_ms = 34000;

class TrafficdTest : public TrafficTest {
protected:
    void SetUp() override
    {
        std::string reason = trafficd_skip_reason();
        if (!reason.empty())
            GTEST_SKIP() << reason;
        ASSERT_EQ(0, sandbox_enter(true));
        ASSERT_EQ(0, mount("bpf", "/sys/fs/bpf", "bpf", 0, "mode=0700"));
    }
};
