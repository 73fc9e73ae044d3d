// The updater's metrics for Prometheus: what its passes did, in the text
// format that node_exporter's textfile collector reads (--metrics=FILE),
// written whole as the program starts, after every pass and every
// REWRITE_SECONDS of a pause, and removed when it is stopped.
#pragma once

#include <cstdio>

#include "kivo_textfile.h"

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

// What came of a DNSPod request.
enum kivo_metrics_outcome {
    KIVO_METRICS_OK,
    KIVO_METRICS_REFUSED,
    KIVO_METRICS_NO_ANSWER,
    KIVO_METRICS_OUTCOMES,
};

enum {
    // Distinct (action, DNSPod code) pairs counted; later ones count, by
    // outcome, as action "other" and code "other".
    KIVO_METRICS_DNSPOD_ROWS = 24,
    // The longest the file goes unwritten while the program waits, so that
    // its age tells a hung or dead program from an idle one.
    KIVO_METRICS_REWRITE_SECONDS = 30,
};

struct kivo_metrics_dnspod_row {
    int action;        // kivo_metrics_action
    char code[16];     // DNSPod's status code; empty: no answer
    long long count;
};

struct kivo_metrics_record {
    kivo_textfile_record file; // names no file without --metrics
    char record[256];        // SUB.ZONE
    char type[8];
    char line[64];
    int interval;            // seconds between passes
    long long started_at;    // when the program started (Unix time)
    long long passes;
    long long early[KIVO_METRICS_EARLY_REASONS];
    long long echo[KIVO_METRICS_ECHO_OUTCOMES];
    long long refused_logins;
    kivo_metrics_dnspod_row dnspod[KIVO_METRICS_DNSPOD_ROWS];
    int dnspod_rows;
    long long dnspod_other[KIVO_METRICS_OUTCOMES]; // the pairs beyond the rows

    int decided;             // the last pass decided: 1, else 0
    char confirmed[46];      // the address DNSPod last confirmed; empty: none yet
    long long confirmed_at;  // when a pass last found the record right (Unix time)
    long long updated_at;    // when DNSPod last accepted a create or modify
};

extern kivo_metrics_record kivo_metrics_info;

// Starts the record for one record's metrics, to be written to path (empty:
// none), which may be a link to the file (it is written through). Counts
// made before it are kept. 0, or -1 when path is too long to be written.
int kivo_metrics_init(const char *path, const char *sub_domain, const char *main_domain,
                      const char *type, const char *line, int interval);

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

// Prints the exposition of the record (a kivo_metrics_record) to out. 0.
int kivo_metrics_print(FILE *out, const void *record);

// Writes the exposition to the record's file, whole or not at all; a
// failure is logged once per cause. SIGTERM and SIGINT wait until it is
// done. 0 or -1.
int kivo_metrics_write(kivo_metrics_record *m);

// From now on SIGTERM and SIGINT remove the file last written before they
// end the program as they always did, so that a stopped program leaves no
// file behind that looks alive. A crash leaves it, and its age tells.
void kivo_metrics_remove_at_stop(void);
