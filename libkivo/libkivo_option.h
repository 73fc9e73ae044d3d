// Declarative long-option dispatcher over glibc's getopt_long: a program lists
// its options once, as a table of names, argument flags and handlers.
#pragma once

#include <getopt.h>

// One declared option. A one-character name is a short option (-h), a longer one
// a long option (--help). has_arg 0: no argument; for a long option the value
// goes to getopt_long unchanged (1 required, 2 optional), for a short option any
// nonzero value makes the argument required. handler may be null: the option is
// then accepted and ignored.
struct kivo_getopt_entry {
    const char *name;
    int has_arg;
    void (*handler)(const char *arg);
};

// Capacities of the working tables.
enum {
    KIVO_GETOPT_SHORT_MAX = 72, // short-option string, NUL included
    KIVO_GETOPT_LONG_MAX = 64,  // long-option records, the closing zero record included
    KIVO_GETOPT_ENTRY_MAX = 256,
    KIVO_GETOPT_LONG_BASE = 256, // long option i matches 256 + i, never a character code
};

// The tables handed to getopt_long, and for each entry the value getopt_long
// returns for its option (-1, never returned for an option, for an entry that
// could not be declared).
struct kivo_getopt_tables {
    char short_options[KIVO_GETOPT_SHORT_MAX];
    struct option long_options[KIVO_GETOPT_LONG_MAX];
    int match[KIVO_GETOPT_ENTRY_MAX];
};

// Builds the tables for entries[0 .. count-1]. An entry that does not fit, or has
// no name, is left out with a line on standard error. Returns the number of
// entries left out (0 when the whole table was declared).
int kivo_getopt_build(const kivo_getopt_entry *entries, int count, kivo_getopt_tables *tables);

// Parses argv and calls, for every option met in command-line order, the handler
// of every entry that matches it, with optarg. Unknown options, missing or
// surplus arguments are reported by getopt_long on standard error and reach the
// entry named "?", if there is one.
void kivo_getopt(int argc, char **argv, const kivo_getopt_entry *entries, int count);
