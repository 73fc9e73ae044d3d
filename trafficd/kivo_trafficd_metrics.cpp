// The metrics file (--metrics): what kivo_trafficd counted, in the text format
// that node_exporter's textfile collector reads, through the writer every
// tool shares, so a reader never finds it half written.
#include "kivo_trafficd.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

trafficd_metrics_info trafficd_metrics;

// The writer's failures and recovery, as lines of the daemon's log.
static void metrics_log(int, const char *message)
{
    trafficd_log("%s", message);
}

bool trafficd_metrics_set_file(const char *file)
{
    // The service runs with UMask=0077; node_exporter reads as another user.
    return file[0] != '\0' &&
           kivo_textfile_open(&trafficd_metrics.file, file, "metrics", 0644, 0, metrics_log) == 0;
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
        char cp[3 * TRAFFICD_CP_SIZE];
        kivo_textfile_escape(cp, sizeof cp, trafficd_name_text(i));
        fprintf(out, "%s{cp=\"%s\"%s} %llu\n", metric, cp, suffix, values[i]);
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
            // An interface name may hold any byte but '/', ':' and blanks.
            char cp[3 * TRAFFICD_CP_SIZE], link[3 * IFNAMSIZ];
            kivo_textfile_escape(cp, sizeof cp, trafficd_name_text(i));
            kivo_textfile_escape(link, sizeof link, trafficd_links.series[series]);
            fprintf(out, "%s{cp=\"%s\",link=\"%s\"} %llu\n", metric, cp, link,
                    sent ? sums.sent[series] : sums.received[series]);
        }
    }
}

static int metrics_fill(FILE *out, const void *)
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
                   "Entries refused for want of room, each once, by the table that was full: "
                   "a process's bytes over a link (totals), a process (watched, processes), "
                   "a local address (addresses), an interface (links).");
    fprintf(out, "kivo_trafficd_map_full_total{map=\"totals\"} %llu\n",
            faults[TRAFFICD_FAULT_TOTALS_FULL]);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"watched\"} %llu\n",
            faults[TRAFFICD_FAULT_WATCHED_FULL] + trafficd_table.watched_full);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"processes\"} %llu\n", trafficd_table.full);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"addresses\"} %llu\n",
            trafficd_links.addresses_full);
    fprintf(out, "kivo_trafficd_map_full_total{map=\"links\"} %llu\n", trafficd_links.names_full);
    metrics_family(out, "kivo_trafficd_lost_events_total", "counter",
                   "Kernel events lost because their ring was full.");
    fprintf(out, "kivo_trafficd_lost_events_total %llu\n", faults[TRAFFICD_FAULT_EVENTS_LOST]);
    return 0;
}

void trafficd_metrics_write(void)
{
    trafficd_metrics.written_ms = trafficd_now_ms();
    kivo_textfile_write(&trafficd_metrics.file, metrics_fill, nullptr);
}

void trafficd_metrics_refresh(void)
{
    if (trafficd_now_ms() - trafficd_metrics.written_ms >= report_interval_seconds * 1000LL)
        trafficd_metrics_write();
}

void trafficd_metrics_remove(void)
{
    if (kivo_textfile_remove(&trafficd_metrics.file) != 0)
        trafficd_log("metrics: cannot remove %s: %s", trafficd_metrics.file.written,
                     strerror(errno));
}
