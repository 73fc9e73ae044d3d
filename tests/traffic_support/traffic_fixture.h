// Every preload test runs in a network namespace of its own: the report
// thread's ports 49193 to 49202 and any server a test starts are its alone, and
// nothing reaches the machine's loopback. ctest runs each case in its own
// process; run together, each case simply gets a fresh namespace.
#pragma once

#include <gtest/gtest.h>

#include "sandbox.h"
#include "traffic_agent.h"

class TrafficTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, sandbox_enter(false)); }
};
