// The address list of -t: 1 to 4 IPv4 addresses in dotted-quad form and 1 to
// 4 IPv6 addresses, in any order, separated by commas.
#pragma once

#include "linkfan_record.h"

#include <stddef.h>

// Reads list into targets. 0 when every item is good; -1 otherwise, with the
// first bad item (cut to fit) in bad and what is wrong with it in *why.
int linkfan_track_list_parse(const char *list, linkfan_targets *targets, char *bad,
                             size_t bad_size, const char **why);
