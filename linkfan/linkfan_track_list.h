// The address list of -t: 1 to 4 IPv4 addresses in dotted-quad form,
// separated by commas.
#pragma once

#include <stddef.h>
#include <stdint.h>

// Reads list into targets (network order) and *count. 0 when every item is
// good; -1 otherwise, with the first bad item (cut to fit) in bad and what is
// wrong with it in *why.
int linkfan_track_list_parse(const char *list, uint32_t *targets, int *count, char *bad,
                             size_t bad_size, const char **why);
