// Options of kivo_ddns: one process-wide record, filled with built-in defaults
// and then from the command line, and the help text.
#pragma once

#include <cstdint>

// The built-in zone of the record, also the example of the main_domain refusal.
#define KIVO_OPTION_DEFAULT_ZONE "example.com"

enum {
    KIVO_OPTION_DEFAULT_INTERVAL = 300,
    KIVO_OPTION_HELP_LINES = 10,
    KIVO_OPTION_HELP_WIDTH = 128,
    // Exit status for an option argument longer than its field.
    KIVO_OPTION_EXIT_TOO_LONG = 253,
};

struct kivo_option_record {
    int32_t interval;             // seconds slept after each pass
    char ddns_token[256];         // primary DNSPod login token
    char ddns_token_fallback[256];// tried when the primary one yields nothing
    char sub_domain[128];         // host label of the A record
    char main_domain[128];        // DNSPod zone that holds the record
    char extern_ip[32];           // address to publish; discovery rewrites it
    char nic[32];                 // interface the probes are bound to; empty: none
};

extern kivo_option_record kivo_option_info;

// The help text after the version line, one puts() per line.
extern const char kivo_option_params[KIVO_OPTION_HELP_LINES][KIVO_OPTION_HELP_WIDTH];

// Defaults, then the command line. Returns only when no help option was met
// and every argument fitted its field; otherwise the process ends here (help:
// status 0; an argument too long: a line per option on standard output, 253).
// An interval below 1 second is replaced by the default, with a notice.
void kivo_option_init(int argc, char **argv);

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

// Nonzero when a setter has refused an argument since the last kivo_option_init.
int kivo_option_refused(void);
