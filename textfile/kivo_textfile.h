// Files that readers must never see half written, such as the metrics files
// node_exporter's textfile collector serves: the whole text goes to a
// temporary file beside the file, which is renamed over it. And the label
// values of the Prometheus text format, escaped and always valid UTF-8.
// Every tool links this one copy; it needs nothing but libc.
#pragma once

#include <cstddef>
#include <cstdio>

enum {
    // Room for a path, NUL included; the temporary file's name adds ".tmp".
    KIVO_TEXTFILE_PATH_SIZE = 4096,
    KIVO_TEXTFILE_WHAT_SIZE = 16,
};

// What the writer tells the tool's log.
enum kivo_textfile_level {
    KIVO_TEXTFILE_ERROR, // a write failed, for a cause not told before
    KIVO_TEXTFILE_INFO,  // the first write that succeeded after a failure
};

// The tool's log: one message, without a line feed, such as
// "metrics: cannot write /x/k.prom.tmp: No such file or directory".
using kivo_textfile_log_fn = void (*)(int level, const char *message);

// Writes the file's text to out. 0, or -1 (errno set) when the text could
// not be made: the file then keeps what it held.
using kivo_textfile_fill_fn = int (*)(FILE *out, const void *context);

enum kivo_textfile_flags {
    // A path that is a symbolic link is written through: the file it names
    // is replaced and the link stays (one level; a relative target is read
    // from the link's folder). So a service that may not write a folder
    // writes its own folder's file through a link that root placed there.
    KIVO_TEXTFILE_FOLLOW = 1 << 0,
};

// One file, owned by the tool that writes it.
struct kivo_textfile_record {
    char path[KIVO_TEXTFILE_PATH_SIZE];    // the file; empty: nothing is written
    char written[KIVO_TEXTFILE_PATH_SIZE]; // the file last put in place; empty: none yet
    char what[KIVO_TEXTFILE_WHAT_SIZE];    // first word of the log's messages ("metrics")
    unsigned mode;                         // its mode whatever the umask; 0: the umask decides
    int flags;                             // kivo_textfile_flags
    kivo_textfile_log_fn log;              // null: nothing is told
    int failed_step;                       // the cause last told: its step, 0 after a success,
    int failed_errno;                      // and its errno
};

// Sets the record up for path (empty: no file). 0, or -1 when path leaves no
// room for the temporary file's name (the record then names no file).
int kivo_textfile_open(kivo_textfile_record *f, const char *path, const char *what, unsigned mode,
                       int flags, kivo_textfile_log_fn log);

// Replaces the file whole: fill writes PATH.tmp (created anew, never through
// a link), which gets the record's mode, is closed with every write checked
// and renamed over the file. On a failure the file keeps what it held, the
// temporary file is removed, and the cause (step and errno) is logged unless
// it is the one logged last; the first success after a failure is logged
// once. SIGTERM and SIGINT wait until it is done. 0, or -1. A record without
// a path writes nothing: 0.
int kivo_textfile_write(kivo_textfile_record *f, kivo_textfile_fill_fn fill, const void *context);

// Removes the file last put in place (a link's target when following), as a
// tool does when it stops, so that what it wrote does not outlive it. Only
// unlink(2): safe in a signal handler that cannot interrupt
// kivo_textfile_write, and it logs nothing. 0 (also when there is nothing to
// remove), or -1 with errno set.
int kivo_textfile_remove(kivo_textfile_record *f);

// From now on SIGTERM and SIGINT remove f's file before they end the program
// as they would have (it dies of the signal), so that a stopped tool leaves
// no file that looks alive; a crash leaves it, and its age tells.
// kivo_textfile_write holds both signals back while it writes, so a stop
// never comes between its rename and its record of what it put in place. f
// must live as long as the program (one record; a later call takes another).
void kivo_textfile_remove_at_stop(kivo_textfile_record *f);

// A label value as the text format wants it: backslash, double quote and
// line feed escaped, and every byte that does not begin a whole UTF-8
// character replaced by U+FFFD, so that one odd value cannot make a reader
// refuse the whole file. An n-byte value needs at most 3 * n + 1 bytes of
// out; what does not fit is left out whole characters at a time. The length
// written, NUL excluded.
size_t kivo_textfile_escape(char *out, size_t size, const char *value);

// 1 when text is UTF-8 throughout (no overlong form, surrogate, or cut
// character), else 0.
int kivo_textfile_is_utf8(const char *text);
