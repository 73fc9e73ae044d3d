// Long-option dispatcher: builds getopt_long's tables from a flat option table.
#include "libkivo_option.h"

#include <cstdio>
#include <cstring>

namespace {

// Declares one entry, or returns false when it has no name or its table is full.
bool declare(const kivo_getopt_entry &entry, int index, kivo_getopt_tables *t, int *short_len,
             int *long_count)
{
    if (entry.name == nullptr || entry.name[0] == '\0')
        return false;
    if (entry.name[1] == '\0') {
        int need = entry.has_arg ? 2 : 1;
        // ':' is getopt's argument marker and cannot name an option.
        if (entry.name[0] == ':' || *short_len + need > KIVO_GETOPT_SHORT_MAX - 1)
            return false;
        t->short_options[(*short_len)++] = entry.name[0];
        if (entry.has_arg)
            t->short_options[(*short_len)++] = ':';
        // glibc's getopt_long returns an option letter as a plain char, which
        // is signed here: a letter above 0x7f comes back negative, and must
        // match that way.
        // NOLINTNEXTLINE(bugprone-signed-char-misuse,cert-str34-c)
        t->match[index] = static_cast<signed char>(entry.name[0]);
        return true;
    }
    if (*long_count >= KIVO_GETOPT_LONG_MAX - 1)
        return false;
    struct option &o = t->long_options[(*long_count)++];
    o.name = entry.name;
    o.has_arg = entry.has_arg;
    o.flag = nullptr;
    o.val = KIVO_GETOPT_LONG_BASE + index;
    t->match[index] = o.val;
    return true;
}

} // namespace

int kivo_getopt_build(const kivo_getopt_entry *entries, int count, kivo_getopt_tables *t)
{
    std::memset(t, 0, sizeof *t);
    int short_len = 0;
    int long_count = 0;
    int left_out = 0;
    for (int i = 0; i < count; i++) {
        if (i >= KIVO_GETOPT_ENTRY_MAX || !declare(entries[i], i, t, &short_len, &long_count)) {
            if (i < KIVO_GETOPT_ENTRY_MAX)
                t->match[i] = -1;
            const char *name = entries[i].name ? entries[i].name : "(null)";
            std::fprintf(stderr, "kivo_getopt: option \"%s\" (entry %d) not declared: "
                         "no name or option table full\n", name, i);
            left_out++;
        }
    }
    // The closing NUL and the all-zero long record are already there from memset.
    return left_out;
}

void kivo_getopt(int argc, char **argv, const kivo_getopt_entry *entries, int count)
{
    kivo_getopt_tables tables;
    kivo_getopt_build(entries, count, &tables);
    int declared = count < KIVO_GETOPT_ENTRY_MAX ? count : KIVO_GETOPT_ENTRY_MAX;
    int c;
    int index = 0;
    while ((c = getopt_long(argc, argv, tables.short_options, tables.long_options, &index)) != -1) {
        // Every matching entry runs, in table order: a letter declared twice runs twice.
        for (int i = 0; i < declared; i++) {
            if (tables.match[i] == c && entries[i].handler != nullptr)
                entries[i].handler(optarg);
        }
    }
}
