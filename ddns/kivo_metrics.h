// The updater's metrics for Prometheus: what its passes did, in the text
// format that node_exporter's textfile collector reads, written whole after
// every pass (--metrics=FILE).
#pragma once

#include <cstddef>

// What a DNSPod request was for.
enum kivo_metrics_action {
    KIVO_METRICS_LIST,
    KIVO_METRICS_CREATE,
    KIVO_METRICS_MODIFY,
    KIVO_METRICS_ACTIONS,
};

// How an echo service answered.
enum kivo_metrics_echo {
    KIVO_METRICS_ECHO_ADDRESS,   // an address that counts
    KIVO_METRICS_ECHO_UNUSABLE,  // an answer without one
    KIVO_METRICS_ECHO_NO_ANSWER, // no answer at all
    KIVO_METRICS_ECHO_OUTCOMES,
};

// Why a pass came before its interval was up.
enum kivo_metrics_early {
    KIVO_METRICS_EARLY_LINK_NEWS,
    KIVO_METRICS_EARLY_RETRY,
    KIVO_METRICS_EARLY_REASONS,
};

enum {
    // Distinct (action, DNSPod code) pairs counted; later ones count as
    // code "other".
    KIVO_METRICS_DNSPOD_ROWS = 24,
    KIVO_METRICS_TEXT_SIZE = 16384,
};

struct kivo_metrics_dnspod_row {
    int action;        // kivo_metrics_action
    char code[16];     // DNSPod's status code; empty: no answer
    long long count;
};

struct kivo_metrics_record {
    char path[256];          // the file; empty: nothing written
    char record[256];        // SUB.ZONE
    char type[8];
    char line[64];
    long long passes;
    long long early[KIVO_METRICS_EARLY_REASONS];
    long long echo[KIVO_METRICS_ECHO_OUTCOMES];
    long long refused_logins;
    kivo_metrics_dnspod_row dnspod[KIVO_METRICS_DNSPOD_ROWS];
    int dnspod_rows;
    int decided;             // the last pass decided: 1, else 0
    char confirmed[46];      // the address DNSPod last confirmed; empty: none yet
    long long confirmed_at;  // when a pass last found the record right (Unix time)
    long long updated_at;    // when DNSPod last accepted a create or modify
    char failure[320];       // why the last write failed; empty: it did not
};

extern kivo_metrics_record kivo_metrics_info;

// Starts the record for one record's metrics, to be written to path (empty:
// none). Counts made before it are kept.
void kivo_metrics_init(const char *path, const char *sub_domain, const char *main_domain,
                       const char *type, const char *line);

// Counts one DNSPod request and what came of it (code: the status code
// DNSPod answered, empty when no answer came).
void kivo_metrics_dnspod(int action, const char *code);
void kivo_metrics_echo(int outcome);
void kivo_metrics_early(int reason);
void kivo_metrics_refused_login(void);

// The end of a pass: whether it decided, and the address the record was
// confirmed to hold (nullptr: not confirmed by this pass) or that DNSPod
// accepted by a create or modify (updated).
void kivo_metrics_pass(int decided, const char *confirmed, int updated);

// The exposition of the record into text (size bytes); its length, or -1
// when it did not fit.
int kivo_metrics_format(const kivo_metrics_record &m, char *text, size_t size);

// Writes the exposition to the record's path, whole or not at all: a
// temporary file beside it, renamed over it. A path that is a symbolic link
// is followed, and the file it names is replaced: so a service without write
// access to the collector's folder can write its own folder's file through a
// link placed there. A failure is logged once per cause. 0 or -1.
int kivo_metrics_write(kivo_metrics_record *m);
