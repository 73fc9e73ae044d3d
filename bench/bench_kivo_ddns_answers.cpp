// What one update pass spends on reading answers: the DNSPod list answer (a
// jansson parse of the whole answer, with 2 and with 200 records of the name)
// and an echo service's JSON answer, beside the seconds the network takes.
#include <benchmark/benchmark.h>

#include <string>

#include "kivo_ddnspod.h"
#include "kivo_extern_ip.h"
#include "libkivo_json.h"

namespace {

std::string list_answer(int records)
{
    // Other records of the name first: the program's A record comes last.
    std::string other = "{\"id\":\"7654321\",\"ttl\":\"600\",\"value\":\"v=spf1 -all\",\"enabled\":"
                        "\"1\",\"status\":\"enable\",\"updated_on\":\"2026-12-08 09:00:00\","
                        "\"name\":\"home\",\"line\":\"默认\",\"line_id\":\"0\",\"type\":\"TXT\","
                        "\"weight\":null,\"monitor_status\":\"\",\"remark\":\"\",\"use_aqb\":"
                        "\"no\",\"mx\":\"0\"},";
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
        std::string() +
        "@OTHERS@" + record + "]}";
    std::string others;
    for (int i = 1; i < records; i++)
        others += other;
    return text.replace(text.find("@OTHERS@"), 8, others);
}

void list_answer_read(benchmark::State &state)
{
    const std::string answer = list_answer(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        int64_t id = 0;
        benchmark::DoNotOptimize(
            kivo_ddnspod_read_list_answer(answer.c_str(), answer.size(), "10.0.0.1", &id));
        benchmark::DoNotOptimize(id);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * answer.size()));
}
BENCHMARK(list_answer_read)->Arg(2)->Arg(200);

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
