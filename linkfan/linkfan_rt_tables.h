// Routing-table list: every link's table must be known to ip by name.
#pragma once

#include "linkfan_state.h"

// The number of link i's table: pppN is 10 * (N + 1), whatever else comes
// and goes (see linkfan_rt_tables_rewrite).
inline int linkfan_table_number(int i)
{
    return (i + 1) * 10;
}

// Sets *new_ppp to 1 when a link of g_array_info_new is not listed; 0, or 4
// when the system list cannot be read.
int linkfan_rt_tables_check(const linkfan_state &state, int *new_ppp);

// Writes "./rt_tables" from g_array_info_new and the mode, and copies it over
// the system list; 0, or 5 when the working-directory file cannot be written.
int linkfan_rt_tables_rewrite(const linkfan_state &state);
