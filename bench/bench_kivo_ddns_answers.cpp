// What one update pass spends on reading answers: the DNSPod list answer (plain
// substring searches over at most 1023 bytes) and an echo service's JSON answer
// (a jansson parse), beside the seconds the network takes.
#include <benchmark/benchmark.h>

#include <string>

#include "kivo_ddnspod.h"
#include "kivo_extern_ip.h"
#include "libkivo_json.h"

namespace {

std::string list_answer()
{
    std::string record = "{\"id\":\"1234567\",\"ttl\":\"600\",\"value\":\"10.0.0.1\",\"enabled\":"
                         "\"1\",\"status\":\"enable\",\"updated_on\":\"2026-12-08 09:00:00\","
                         "\"name\":\"home\",\"line\":\"默认\",\"line_id\":\"0\",\"type\":\"A\","
                         "\"weight\":null,\"monitor_status\":\"\",\"remark\":\"\",\"use_aqb\":"
                         "\"no\",\"mx\":\"0\"}";
    std::string text =
        "{\"status\":{\"code\":\"1\",\"message\":\"Action completed successful\",\"created_at\":"
        "\"2026-12-08 10:00:00\"},\"domain\":{\"id\":\"87654321\",\"name\":\"example.com\","
        "\"punycode\":\"example.com\",\"grade\":\"DP_Free\",\"owner\":\"owner@example.com\","
        "\"ext_status\":\"\",\"ttl\":600,\"min_ttl\":600,\"dnspod_ns\":[\"f1g1ns1.dnspod.net\","
        "\"f1g1ns2.dnspod.net\"],\"status\":\"enable\",\"can_handle_at_ns\":true},\"info\":"
        "{\"sub_domains\":\"1\",\"record_total\":\"2\",\"records_num\":\"2\"},\"records\":[" +
        record + "," + record + "]}";
    return text.substr(0, KIVO_DDNSPOD_ANSWER_SIZE - 1);
}

void list_answer_read(benchmark::State &state)
{
    const std::string answer = list_answer();
    for (auto _ : state) {
        int64_t id = 0;
        benchmark::DoNotOptimize(kivo_ddnspod_read_list_answer(answer.c_str(), "10.0.0.1", &id));
        benchmark::DoNotOptimize(id);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(list_answer_read);

void json_echo_answer_read(benchmark::State &state)
{
    const std::string body = "{\n  \"ip\": \"198.51.100.10\",\n  \"hostname\": \"host.example.net\","
                             "\n  \"city\": \"Hangzhou\",\n  \"region\": \"Zhejiang\",\n"
                             "  \"country\": \"CN\",\n  \"loc\": \"30.2936,120.1614\",\n"
                             "  \"org\": \"AS4134 CHINANET-BACKBONE\",\n  \"timezone\": "
                             "\"Asia/Shanghai\"\n}";
    char field[KIVO_EXTERN_IP_SIZE];
    for (auto _ : state) {
        benchmark::DoNotOptimize(kivo_json_get_string(body.c_str(), "ip", field, sizeof field));
        benchmark::DoNotOptimize(field);
    }
}
BENCHMARK(json_echo_answer_read);

} // namespace

BENCHMARK_MAIN();
