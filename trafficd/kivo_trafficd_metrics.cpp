// The metrics file (--metrics): what kivo_trafficd counted, in the text format
// that node_exporter's textfile collector reads. It is written whole beside
// FILE and renamed over it, so a reader never finds it half written.
#include "kivo_trafficd.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

trafficd_metrics_info trafficd_metrics;

namespace {

// The steps of a write, so that a failure is logged once per step and errno.
enum write_step {
    step_ok = 0,
    step_open = 1,
    step_mode = 2,
    step_write = 3,
    step_rename = 4,
};

constexpr char temp_suffix[] = ".tmp";

} // namespace

bool trafficd_metrics_set_file(const char *file)
{
    size_t len = strlen(file);
    if (len == 0 || len + sizeof temp_suffix > sizeof trafficd_metrics.file)
        return false;
    trafficd_copy(trafficd_metrics.file, sizeof trafficd_metrics.file, file);
    return true;
}

void trafficd_metrics_count(int name_index, unsigned int link, unsigned long long sent,
                            unsigned long long received)
{
    if (name_index < 0 || name_index >= trafficd_names || link >= TRAFFICD_LINKS)
        return;
    // The slot's bytes go to its name's series, which outlives the slot.
    int series = trafficd_links.slots[link].series;
    trafficd_name_sums &sums = trafficd_metrics.names[name_index];
    sums.seen = true;
    sums.link_seen[series] = true;
    sums.sent[series] += sent;
    sums.received[series] += received;
}

void trafficd_metrics_report(int name_index, trafficd_outcome outcome)
{
    if (name_index >= 0 && name_index < trafficd_names)
        trafficd_metrics.names[name_index].reports[outcome]++;
}

// The length of the UTF-8 sequence at text, 0 when none starts there: an
// overlong form, a surrogate, a cut or stray byte.
static int metrics_utf8_length(const unsigned char *text)
{
    unsigned char lead = text[0];
    if (lead < 0x80)
        return 1;
    int length = 0;
    unsigned char low = 0x80, high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : low;
        high = lead == 0xed ? 0x9f : high;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : low;
        high = lead == 0xf4 ? 0x8f : high;
    } else {
        return 0;
    }
    if (text[1] < low || text[1] > high)
        return 0;
    for (int i = 2; i < length; i++)
        if (text[i] < 0x80 || text[i] > 0xbf)
            return 0;
    return length;
}

// A label value as the format wants it: backslash, double quote and line feed
// escaped. An interface name may hold any byte but '/', ':' and blanks; what
// is not UTF-8 becomes U+FFFD, as a reader would show it, so that one odd
// name cannot make node_exporter refuse the whole file.
static void metrics_label(FILE *out, const char *value)
{
    const unsigned char *at = reinterpret_cast<const unsigned char *>(value);
    while (*at) {
        int length = metrics_utf8_length(at);
        if (length == 0) {
            fputs("\xef\xbf\xbd", out);
            at++;
        } else if (*at == '\\' || *at == '"') {
            fprintf(out, "\\%c", *at++);
        } else if (*at == '\n') {
            fputs("\\n", out);
            at++;
        } else {
            fwrite(at, 1, static_cast<size_t>(length), out);
            at += length;
        }
    }
}

static void metrics_family(FILE *out, const char *name, const char *type, const char *help)
{
    fprintf(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One sample per name that counted a process: the name's sums or the table's view.
static void metrics_per_name(FILE *out, const char *metric, const char *suffix,
                             const unsigned long long *values)
{
    for (int i = 0; i < trafficd_names; i++) {
        if (!trafficd_metrics.names[i].seen)
            continue;
        fprintf(out, "%s{cp=\"", metric);
        metrics_label(out, trafficd_name_text(i));
        fprintf(out, "\"%s} %llu\n", suffix, values[i]);
    }
}

// One sample per name and link that bytes were counted for.
static void metrics_per_link(FILE *out, const char *metric, bool sent)
{
    for (int i = 0; i < trafficd_names; i++) {
        const trafficd_name_sums &sums = trafficd_metrics.names[i];
        for (int series = 0; series < trafficd_links.series_count; series++) {
            if (!sums.link_seen[series])
                continue;
            fprintf(out, "%s{cp=\"", metric);
            metrics_label(out, trafficd_name_text(i));
            fputs("\",link=\"", out);
            metrics_label(out, trafficd_links.series[series]);
            fprintf(out, "\"} %llu\n", sent ? sums.sent[series] : sums.received[series]);
        }
    }
}

static void metrics_fill(FILE *out)
{
    unsigned long long pending_sent[trafficd_names] = {}, pending_received[trafficd_names] = {};
    unsigned long long processes[trafficd_names] = {};
    for (int i = 0; i < trafficd_table.count; i++) {
        const trafficd_process &proc = trafficd_table.records[i];
        if (proc.owner != trafficd_own)
            continue;
        if (proc.counted_sent > proc.accepted_sent)
            pending_sent[proc.name_index] +=
                static_cast<unsigned long long>(proc.counted_sent - proc.accepted_sent);
        if (proc.counted_received > proc.accepted_received)
            pending_received[proc.name_index] +=
                static_cast<unsigned long long>(proc.counted_received - proc.accepted_received);
        if (!proc.ended)
            processes[proc.name_index]++;
    }

    metrics_family(out, "kivo_trafficd_sent_bytes_total", "counter",
                   "Bytes the content provider's processes sent over IPv4 and IPv6 sockets "
                   "since the daemon started, by the link that held the socket's local address.");
    metrics_per_link(out, "kivo_trafficd_sent_bytes_total", true);
    metrics_family(out, "kivo_trafficd_received_bytes_total", "counter",
                   "Bytes the content provider's processes received over IPv4 and IPv6 sockets "
                   "since the daemon started, by the link that held the socket's local address.");
    metrics_per_link(out, "kivo_trafficd_received_bytes_total", false);
    metrics_family(out, "kivo_trafficd_pending_sent_bytes", "gauge",
                   "Bytes sent, counted but not yet accepted by the traffic agent.");
    metrics_per_name(out, "kivo_trafficd_pending_sent_bytes", "", pending_sent);
    metrics_family(out, "kivo_trafficd_pending_received_bytes", "gauge",
                   "Bytes received, counted but not yet accepted by the traffic agent.");
    metrics_per_name(out, "kivo_trafficd_pending_received_bytes", "", pending_received);
    metrics_family(out, "kivo_trafficd_processes", "gauge",
                   "Processes of the content provider counted now.");
    metrics_per_name(out, "kivo_trafficd_processes", "", processes);

    static const char *const outcome_label[trafficd_outcomes] = {
        ",outcome=\"accepted\"", ",outcome=\"refused\"", ",outcome=\"no_answer\""};
    metrics_family(out, "kivo_trafficd_reports_total", "counter",
                   "Reports that reached a traffic agent, by its answer.");
    for (int k = 0; k < trafficd_outcomes; k++) {
        unsigned long long reports[trafficd_names];
        for (int i = 0; i < trafficd_names; i++)
            reports[i] = trafficd_metrics.names[i].reports[k];
        metrics_per_name(out, "kivo_trafficd_reports_total", outcome_label[k], reports);
    }

    unsigned long long faults[TRAFFICD_FAULTS];
    trafficd_kernel_faults(faults);
    metrics_family(out, "kivo_trafficd_map_full_total", "counter",
                   "Entries refused for want of room, by the table that was full.");
    fprintf(out, "kivo_trafficd_map_full_total{map=\"totals\"} %llu\n",
            faults[TRAFFICD_FAULT_TOTALS_FULL]);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"watched\"} %llu\n",
            faults[TRAFFICD_FAULT_WATCHED_FULL]);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"processes\"} %llu\n", trafficd_table.full);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"addresses\"} %llu\n",
            trafficd_links.addresses_full);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"links\"} %llu\n", trafficd_links.names_full);
    metrics_family(out, "kivo_trafficd_lost_events_total", "counter",
                   "Kernel events lost because their ring was full.");
    fprintf(out, "kivo_trafficd_lost_events_total %llu\n", faults[TRAFFICD_FAULT_EVENTS_LOST]);
}

// Writes the file through its temporary twin; the step that failed, errno set.
static write_step metrics_put(const char *temp)
{
    // A link planted in the temporary file's place is not followed: the
    // daemon runs as root, and the folder may be another user's.
    int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return step_open;
    // The service runs with UMask=0077; node_exporter reads as another user.
    if (fchmod(fd, 0644) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return step_mode;
    }
    FILE *out = fdopen(fd, "w");
    if (!out) {
        int saved = errno;
        close(fd);
        errno = saved;
        return step_write;
    }
    metrics_fill(out);
    // A short write (a full disk) must not replace the last good file.
    errno = EIO;
    bool failed = fflush(out) != 0 || ferror(out);
    int saved = errno;
    if (fclose(out) != 0 && !failed) {
        failed = true;
        saved = errno;
    }
    if (failed) {
        errno = saved;
        return step_write;
    }
    if (rename(temp, trafficd_metrics.file) != 0)
        return step_rename;
    return step_ok;
}

void trafficd_metrics_write(void)
{
    if (trafficd_metrics.file[0] == '\0')
        return;
    char temp[sizeof trafficd_metrics.file + sizeof temp_suffix];
    snprintf(temp, sizeof temp, "%s%s", trafficd_metrics.file, temp_suffix);
    write_step step = metrics_put(temp);
    int error = step == step_ok ? 0 : errno;
    if (step != step_ok && step != step_open)
        unlink(temp);
    if (step == step_ok) {
        if (trafficd_metrics.failed_step != step_ok)
            trafficd_log("metrics: %s written again", trafficd_metrics.file);
    } else if (step != trafficd_metrics.failed_step || error != trafficd_metrics.failed_errno) {
        if (step == step_rename)
            trafficd_log("metrics: cannot rename %s to %s: %s", temp, trafficd_metrics.file,
                         strerror(error));
        else
            trafficd_log("metrics: cannot write %s: %s", trafficd_metrics.file, strerror(error));
    }
    trafficd_metrics.failed_step = step;
    trafficd_metrics.failed_errno = error;
}
