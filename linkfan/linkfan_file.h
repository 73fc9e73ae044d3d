// A file replaced whole: written beside itself and renamed over itself, so a
// reader never sees half of it and a failed write keeps the last good one.
#pragma once

#include <stdio.h>
#include <sys/types.h>

#include "linkfan_state.h"

// Where a replacement failed.
enum {
    LINKFAN_FILE_OK,
    LINKFAN_FILE_OPEN,
    LINKFAN_FILE_MODE,
    LINKFAN_FILE_WRITE,
    LINKFAN_FILE_RENAME,
};

// Writes temp through fill, with the state at monotonic time now (a link in
// temp's place is not followed), gives it
// mode unless mode is 0 (then the umask decides), and renames it over path.
// LINKFAN_FILE_OK, or the step that failed with errno set and temp removed.
int linkfan_file_replace(const char *path, const char *temp, mode_t mode,
                         void (*fill)(FILE *out, const linkfan_state &state, long long now),
                         const linkfan_state &state, long long now);
