// The updater's metrics file: counters kept as the pass goes, the whole text
// formatted into one buffer and put in place by rename(2), so node_exporter
// never reads half of it.
#include "kivo_metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
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

// A request DNSPod did what it was asked: "1", or for a list "10" (no record
// of that name, which is an answer too).
const char *outcome_of(int action, const char *code)
{
    if (code[0] == '\0')
        return "no_answer";
    if (std::strcmp(code, "1") == 0 || (action == KIVO_METRICS_LIST && std::strcmp(code, "10") == 0))
        return "ok";
    return "refused";
}

// Appends to a text of fixed size; once something did not fit, the text is
// marked spoilt (*length -1) and nothing more is added.
struct text_sink {
    char *text;
    size_t size;
    int length;
};

__attribute__((format(printf, 2, 3))) void put(text_sink *sink, const char *format, ...)
{
    if (sink->length < 0)
        return;
    va_list args;
    va_start(args, format);
    size_t left = sink->size - static_cast<size_t>(sink->length);
    int n = std::vsnprintf(sink->text + sink->length, left, format, args);
    va_end(args);
    sink->length = n < 0 || static_cast<size_t>(n) >= left ? -1 : sink->length + n;
}

// A label value as the text format wants it: backslash, double quote and
// line feed escaped.
void escape(char *out, size_t size, const char *value)
{
    size_t o = 0;
    for (const char *c = value; *c != '\0' && o + 2 < size; c++) {
        if (*c == '\\' || *c == '"' || *c == '\n') {
            out[o++] = '\\';
            out[o++] = *c == '\n' ? 'n' : *c;
        } else {
            out[o++] = *c;
        }
    }
    out[o] = '\0';
}

void family(text_sink *sink, const char *name, const char *type, const char *help)
{
    put(sink, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One sample per value of a fixed label: key="names[i]" with counts[i].
void put_each(text_sink *sink, const char *name, const char *labels, const char *key,
              const char *const *names, const long long *counts, int n)
{
    for (int i = 0; i < n; i++)
        put(sink, "%s{%s,%s=\"%s\"} %lld\n", name, labels, key, names[i], counts[i]);
}

// The file the path names: the path itself, or the target of the link it
// is (relative targets read from the link's folder).
void target_of(const char *path, char *out, size_t size)
{
    char link[sizeof kivo_metrics_record::path];
    ssize_t n = readlink(path, link, sizeof link - 1);
    if (n <= 0) {
        kivo_text_copy(out, size, path);
        return;
    }
    link[n] = '\0';
    const char *slash = std::strrchr(path, '/');
    if (link[0] == '/' || slash == nullptr) {
        kivo_text_copy(out, size, link);
        return;
    }
    // A target too long to name is not followed: the path itself is written.
    int joined = std::snprintf(out, size, "%.*s/%s", static_cast<int>(slash - path), path, link);
    if (joined < 0 || static_cast<size_t>(joined) >= size)
        kivo_text_copy(out, size, path);
}

// Logs a failure when its cause is not the one logged last.
void failed(kivo_metrics_record *m, const char *step, const char *file)
{
    char cause[sizeof m->failure];
    std::snprintf(cause, sizeof cause, "%s %s: %s", step, file, std::strerror(errno));
    if (std::strcmp(cause, m->failure) != 0)
        libkivo_log_write("ERROR", 4, "metrics: cannot %s\n", cause);
    kivo_text_copy_field(m->failure, cause);
}

} // namespace

void kivo_metrics_init(const char *path, const char *sub_domain, const char *main_domain,
                       const char *type, const char *line)
{
    kivo_metrics_record &m = kivo_metrics_info;
    kivo_text_copy_field(m.path, path);
    std::snprintf(m.record, sizeof m.record, "%s.%s", sub_domain, main_domain);
    kivo_text_copy_field(m.type, type);
    kivo_text_copy_field(m.line, line);
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
    // A new pair; when the table is full, the last row gathers the rest.
    int row = m.dnspod_rows < KIVO_METRICS_DNSPOD_ROWS ? m.dnspod_rows++ : -1;
    if (row < 0) {
        m.dnspod[KIVO_METRICS_DNSPOD_ROWS - 1].count++;
        return;
    }
    m.dnspod[row].action = action;
    kivo_text_copy_field(m.dnspod[row].code, row == KIVO_METRICS_DNSPOD_ROWS - 1 ? "other" : code);
    m.dnspod[row].count = 1;
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

int kivo_metrics_format(const kivo_metrics_record &m, char *text, size_t size)
{
    text_sink sink = {text, size, 0};
    if (size == 0)
        return -1;
    char record[3 * sizeof m.record], line[3 * sizeof m.line], type[3 * sizeof m.type];
    escape(record, sizeof record, m.record);
    escape(type, sizeof type, m.type);
    escape(line, sizeof line, m.line);
    char labels[sizeof record + sizeof type + sizeof line + 32];
    std::snprintf(labels, sizeof labels, "record=\"%s\",type=\"%s\",line=\"%s\"", record, type,
                  line);

    family(&sink, "kivo_ddns_address_info", "gauge",
           "The address DNSPod last confirmed the record to hold.");
    if (m.confirmed[0] != '\0')
        put(&sink, "kivo_ddns_address_info{%s,address=\"%s\"} 1\n", labels, m.confirmed);
    family(&sink, "kivo_ddns_confirmed_timestamp_seconds", "gauge",
           "When a pass last found the record holding the box's address (0: never).");
    put(&sink, "kivo_ddns_confirmed_timestamp_seconds{%s} %lld\n", labels, m.confirmed_at);
    family(&sink, "kivo_ddns_updated_timestamp_seconds", "gauge",
           "When DNSPod last accepted a create or modify of the record (0: never).");
    put(&sink, "kivo_ddns_updated_timestamp_seconds{%s} %lld\n", labels, m.updated_at);
    family(&sink, "kivo_ddns_last_pass_decided", "gauge",
           "Whether the last pass created, modified or confirmed the record (1) or failed (0).");
    put(&sink, "kivo_ddns_last_pass_decided{%s} %d\n", labels, m.decided);
    family(&sink, "kivo_ddns_passes_total", "counter", "Passes of the update cycle.");
    put(&sink, "kivo_ddns_passes_total{%s} %lld\n", labels, m.passes);
    family(&sink, "kivo_ddns_early_passes_total", "counter",
           "Passes that came before the interval was up, by reason.");
    put_each(&sink, "kivo_ddns_early_passes_total", labels, "reason", kEarlyReasons, m.early,
             KIVO_METRICS_EARLY_REASONS);
    family(&sink, "kivo_ddns_dnspod_requests_total", "counter",
           "DNSPod API requests by action, outcome and DNSPod's status code.");
    for (int i = 0; i < m.dnspod_rows; i++) {
        const kivo_metrics_dnspod_row &row = m.dnspod[i];
        put(&sink, "kivo_ddns_dnspod_requests_total{%s,action=\"%s\",outcome=\"%s\",code=\"%s\"} %lld\n",
            labels, kActions[row.action], outcome_of(row.action, row.code), row.code, row.count);
    }
    family(&sink, "kivo_ddns_echo_requests_total", "counter",
           "Requests to the address-echo services by outcome.");
    put_each(&sink, "kivo_ddns_echo_requests_total", labels, "outcome", kEchoOutcomes, m.echo,
             KIVO_METRICS_ECHO_OUTCOMES);
    family(&sink, "kivo_ddns_refused_logins_total", "counter",
           "Logins DNSPod refused (status code -1).");
    put(&sink, "kivo_ddns_refused_logins_total{%s} %lld\n", labels, m.refused_logins);
    return sink.length;
}

int kivo_metrics_write(kivo_metrics_record *m)
{
    if (m->path[0] == '\0')
        return 0;
    static char text[KIVO_METRICS_TEXT_SIZE];
    int length = kivo_metrics_format(*m, text, sizeof text);
    if (length < 0) {
        errno = EMSGSIZE;
        failed(m, "format", m->path);
        return -1;
    }
    char file[sizeof m->path], temporary[sizeof m->path + 8];
    target_of(m->path, file, sizeof file);
    // node_exporter reads only *.prom files: never the temporary one.
    std::snprintf(temporary, sizeof temporary, "%s.tmp", file);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        failed(m, "write", temporary);
        return -1;
    }
    // The collector runs as another user, and services run with UMask=0077.
    bool whole = fchmod(fd, 0644) == 0 && write(fd, text, static_cast<size_t>(length)) == length;
    whole = close(fd) == 0 && whole;
    if (!whole || rename(temporary, file) != 0) {
        failed(m, whole ? "rename" : "write", whole ? file : temporary);
        unlink(temporary);
        return -1;
    }
    if (m->failure[0] != '\0')
        libkivo_log_write("INFO", 1, "metrics: %s written again\n", file);
    m->failure[0] = '\0';
    return 0;
}
