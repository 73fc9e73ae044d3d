// The agent's side of a report, as every reporter of this tree speaks it: the
// library's report thread and kivo_trafficd. Nothing here is exported.
#pragma once

#include <cstddef>

constexpr int report_first_port = 49193;
constexpr int report_last_port = 49202;
constexpr int report_interval_seconds = 20;
constexpr int report_reply_wait_ms = 5000;
constexpr char report_format[] =
    "GET /api?method=traffic HTTP/1.1\nUser-Agent: libcurl\n\n"
    "{\"cp\":\"%s\", \"sb\":%lld, \"rb\":%lld}";

struct traffic_cp_entry {
    const char *value;   // "KIVO_CP" as the operator sets it, compared exactly
    const char *name;    // what the reports carry
    bool keeps_preload;  // "LD_PRELOAD" stays, and fork children report at once
};

inline constexpr traffic_cp_entry traffic_cp_table[] = {
    {"iqiyi", "iqiyi", true},
    {"cnetc", "cnetc", true},
    {"tencent_sv", "tencent_sv", true},
    {"tencent_video", "Tencent_Video", false},
    {"tencent", "tencent", false},
    {"tencent4", "tencent4", false},
    {"tencent_om", "tencent_om", false},
    {"kwai", "kwai", false},
    {"leteng", "leteng", false},
    {"quarl", "webrtc", false},
};

// The name a report carries for a process whose "KIVO_CP" the table does not know.
constexpr char traffic_cp_unknown[] = "unknown";

// Connects fd to the agent on 127.0.0.1 at port; limit_ms >= 0 bounds the
// connect and later sends. connect's result.
int traffic_agent_connect(int fd, int port, int limit_ms);

// Whether the first length bytes of the agent's reply accept the report.
bool traffic_reply_accepted(const char *reply, size_t length);
