// Options of kivo_ddns: one process-wide record, filled with built-in defaults
// and then from the command line, and the help text.
#pragma once

#include <cstdint>

// The built-in zone of the record, also the example of the main_domain refusal.
#define KIVO_OPTION_DEFAULT_ZONE "example.com"

enum {
    KIVO_OPTION_DEFAULT_INTERVAL = 300,
    KIVO_OPTION_HELP_LINES = 13,
    KIVO_OPTION_HELP_WIDTH = 128,
    // Exit status for an option argument longer than its field.
    KIVO_OPTION_EXIT_TOO_LONG = 253,
    // Exit status for a value that cannot be used: a --type other than A or
    // AAAA, a bad --line, a bad token in the credential file.
    KIVO_OPTION_EXIT_BAD_VALUE = 252,
    // --ddns_token arguments remembered for hiding: the first 64.
    KIVO_OPTION_TOKEN_WORDS = 64,
};

// The file, in systemd's credential directory ($CREDENTIALS_DIRECTORY), whose
// first line is the primary token when no --ddns_token is given.
#define KIVO_OPTION_TOKEN_CREDENTIAL "ddns_token"

struct kivo_option_record {
    int32_t interval;             // seconds slept after each pass
    char ddns_token[256];         // primary DNSPod login token
    char ddns_token_fallback[256];// tried when the primary one yields nothing
    char sub_domain[128];         // host label of the A record
    char main_domain[128];        // DNSPod zone that holds the record
    char extern_ip[46];           // address to publish (IPv4 or IPv6 text); discovery rewrites it
    char nic[32];                 // interface the probes are bound to; empty: none
    char record_type[8];          // "A" or "AAAA"
    char line[64];                // DNSPod line of the record, UTF-8
    char metrics[256];            // Prometheus metrics file; empty: none written
};

extern kivo_option_record kivo_option_info;

// The help text after the version line, one puts() per line.
extern const char kivo_option_params[KIVO_OPTION_HELP_LINES][KIVO_OPTION_HELP_WIDTH];

// Defaults, then the command line, then, without --ddns_token, the token of the
// credential file. Returns only when no help option was met and every argument
// fitted its field and can be used; otherwise the process ends here (help:
// status 0; an argument too long: a line per option on standard output, 253;
// a bad --type or --line: a line per option on standard error and the help,
// 252; a bad credential token: a line on standard error, 252). An interval
// below 1 second is replaced by the default, with a notice.
void kivo_option_init(int argc, char **argv);

// Overwrites, in the argv words themselves, the token text of every
// --ddns_token that kivo_option_init met, so that /proc/PID/cmdline and ps no
// longer show it. Only bytes of argv's words are touched.
void kivo_option_hide_token(int argc, char **argv);

// Prints the version line and the help text, exits with status 0.
[[noreturn]] void kivo_option_print_help(const char *unused);

// The option handlers. A text argument longer than its field is not stored;
// it is reported and refused by kivo_option_init once the command line is read.
void kivo_option_set_interval(const char *arg);
void kivo_option_set_ddns_token(const char *arg);
void kivo_option_set_sub_domain(const char *arg);
void kivo_option_set_main_domain(const char *arg);
void kivo_option_set_extern_ip(const char *arg);
void kivo_option_set_nic(const char *arg);
void kivo_option_set_type(const char *arg);
void kivo_option_set_line(const char *arg);
void kivo_option_set_metrics(const char *arg);

// Nonzero when a setter has refused an argument since the last kivo_option_init.
int kivo_option_refused(void);
