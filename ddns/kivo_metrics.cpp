// The updater's metrics file: counters kept as the pass goes, the whole text
// put in place by rename(2), so node_exporter never reads half of it.
#include "kivo_metrics.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "libkivo_log.h"
#include "libkivo_text.h"

kivo_metrics_record kivo_metrics_info;

namespace {

constexpr const char *kActions[KIVO_METRICS_ACTIONS] = {"list", "create", "modify"};
constexpr const char *kEchoOutcomes[KIVO_METRICS_ECHO_OUTCOMES] = {"address", "unusable",
                                                                   "no_answer"};
constexpr const char *kEarlyReasons[KIVO_METRICS_EARLY_REASONS] = {"link_news", "retry"};
constexpr const char *kOutcomes[KIVO_METRICS_OUTCOMES] = {"ok", "refused", "no_answer"};

// A request DNSPod did what it was asked: "1", or for a list "10" (no record
// of that name, which is an answer too).
int outcome_of(int action, const char *code)
{
    if (code[0] == '\0')
        return KIVO_METRICS_NO_ANSWER;
    if (std::strcmp(code, "1") == 0 || (action == KIVO_METRICS_LIST && std::strcmp(code, "10") == 0))
        return KIVO_METRICS_OK;
    return KIVO_METRICS_REFUSED;
}

void family(FILE *out, const char *name, const char *type, const char *help)
{
    std::fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// A family of one sample with the record's labels.
void put_one(FILE *out, const char *name, const char *type, const char *help, const char *labels,
             long long value)
{
    family(out, name, type, help);
    std::fprintf(out, "%s{%s} %lld\n", name, labels, value);
}

// A counter of one sample per value of a fixed label: key="names[i]" with
// counts[i].
void put_each(FILE *out, const char *name, const char *help, const char *labels, const char *key,
              const char *const *names, const long long *counts, int n)
{
    family(out, name, "counter", help);
    for (int i = 0; i < n; i++)
        std::fprintf(out, "%s{%s,%s=\"%s\"} %lld\n", name, labels, key, names[i], counts[i]);
}

// The writer's failures and recovery, as records of the program's log.
void log_file_news(int level, const char *message)
{
    if (level == KIVO_TEXTFILE_ERROR)
        libkivo_log_write("ERROR", 4, "%s\n", message);
    else
        libkivo_log_write("INFO", 1, "%s\n", message);
}

} // namespace

int kivo_metrics_init(const char *path, const char *sub_domain, const char *main_domain,
                      const char *type, const char *line, int interval)
{
    kivo_metrics_record &m = kivo_metrics_info;
    std::snprintf(m.record, sizeof m.record, "%s.%s", sub_domain, main_domain);
    kivo_text_copy_field(m.type, type);
    kivo_text_copy_field(m.line, line);
    m.interval = interval;
    m.started_at = static_cast<long long>(std::time(nullptr));
    // The collector's folder may be one the program cannot write: the unit
    // then links the file there to one in a folder of the program's own.
    return kivo_textfile_open(&m.file, path, "metrics", 0644, KIVO_TEXTFILE_FOLLOW, log_file_news);
}

void kivo_metrics_dnspod(int action, const char *code)
{
    kivo_metrics_record &m = kivo_metrics_info;
    if (action < 0 || action >= KIVO_METRICS_ACTIONS || code == nullptr)
        return;
    for (int i = 0; i < m.dnspod_rows; i++)
        if (m.dnspod[i].action == action && std::strcmp(m.dnspod[i].code, code) == 0) {
            m.dnspod[i].count++;
            return;
        }
    // A new pair; when the table is full, what came of it is still told.
    if (m.dnspod_rows == KIVO_METRICS_DNSPOD_ROWS) {
        m.dnspod_other[outcome_of(action, code)]++;
        return;
    }
    kivo_metrics_dnspod_row &row = m.dnspod[m.dnspod_rows++];
    row.action = action;
    kivo_text_copy_field(row.code, code);
    row.count = 1;
}

void kivo_metrics_echo(int outcome)
{
    if (outcome >= 0 && outcome < KIVO_METRICS_ECHO_OUTCOMES)
        kivo_metrics_info.echo[outcome]++;
}

void kivo_metrics_early(int reason)
{
    if (reason >= 0 && reason < KIVO_METRICS_EARLY_REASONS)
        kivo_metrics_info.early[reason]++;
}

void kivo_metrics_refused_login(void)
{
    kivo_metrics_info.refused_logins++;
}

void kivo_metrics_pass(int decided, const char *confirmed, int updated)
{
    kivo_metrics_record &m = kivo_metrics_info;
    const long long now = static_cast<long long>(std::time(nullptr));
    m.passes++;
    m.decided = decided != 0;
    if (confirmed != nullptr) {
        kivo_text_copy_field(m.confirmed, confirmed);
        m.confirmed_at = now;
    }
    if (updated)
        m.updated_at = now;
}

int kivo_metrics_print(FILE *out, const void *record)
{
    const kivo_metrics_record &m = *static_cast<const kivo_metrics_record *>(record);
    char record_label[3 * sizeof m.record], line[3 * sizeof m.line], type[3 * sizeof m.type];
    kivo_textfile_escape(record_label, sizeof record_label, m.record);
    kivo_textfile_escape(type, sizeof type, m.type);
    kivo_textfile_escape(line, sizeof line, m.line);
    char labels[sizeof record_label + sizeof type + sizeof line + 32];
    std::snprintf(labels, sizeof labels, "record=\"%s\",type=\"%s\",line=\"%s\"", record_label,
                  type, line);

    family(out, "kivo_ddns_address_info", "gauge",
           "The address DNSPod last confirmed the record to hold.");
    if (m.confirmed[0] != '\0')
        std::fprintf(out, "kivo_ddns_address_info{%s,address=\"%s\"} 1\n", labels, m.confirmed);
    put_one(out, "kivo_ddns_confirmed_timestamp_seconds", "gauge",
            "When a pass last found the record holding the box's address (0: never).", labels,
            m.confirmed_at);
    put_one(out, "kivo_ddns_updated_timestamp_seconds", "gauge",
            "When DNSPod last accepted a create or modify of the record (0: never).", labels,
            m.updated_at);
    put_one(out, "kivo_ddns_started_timestamp_seconds", "gauge", "When the program started.",
            labels, m.started_at);
    put_one(out, "kivo_ddns_interval_seconds", "gauge",
            "Seconds between two passes that found nothing to do (--interval).", labels,
            m.interval);
    put_one(out, "kivo_ddns_last_pass_decided", "gauge",
            "Whether the last pass created, modified or confirmed the record (1) or failed (0).",
            labels, m.decided);
    put_one(out, "kivo_ddns_passes_total", "counter", "Passes of the update cycle.", labels,
            m.passes);
    put_each(out, "kivo_ddns_early_passes_total",
             "Passes that came before the interval was up, by reason.", labels, "reason",
             kEarlyReasons, m.early, KIVO_METRICS_EARLY_REASONS);
    family(out, "kivo_ddns_dnspod_requests_total", "counter",
           "DNSPod API requests by action, outcome and DNSPod's status code.");
    const char *const sample =
        "kivo_ddns_dnspod_requests_total{%s,action=\"%s\",outcome=\"%s\",code=\"%s\"} %lld\n";
    for (int i = 0; i < m.dnspod_rows; i++) {
        const kivo_metrics_dnspod_row &row = m.dnspod[i];
        std::fprintf(out, sample, labels, kActions[row.action],
                     kOutcomes[outcome_of(row.action, row.code)], row.code, row.count);
    }
    for (int o = 0; o < KIVO_METRICS_OUTCOMES; o++)
        if (m.dnspod_other[o] != 0)
            std::fprintf(out, sample, labels, "other", kOutcomes[o], "other", m.dnspod_other[o]);
    put_each(out, "kivo_ddns_echo_requests_total",
             "Requests to the address-echo services by outcome.", labels, "outcome", kEchoOutcomes,
             m.echo, KIVO_METRICS_ECHO_OUTCOMES);
    put_one(out, "kivo_ddns_refused_logins_total", "counter",
            "Logins DNSPod refused (status code -1).", labels, m.refused_logins);
    return 0;
}

int kivo_metrics_write(kivo_metrics_record *m)
{
    return kivo_textfile_write(&m->file, kivo_metrics_print, m);
}

void kivo_metrics_remove_at_stop(void)
{
    kivo_textfile_remove_at_stop(&kivo_metrics_info.file);
}
