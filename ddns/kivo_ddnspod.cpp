// Placeholder until the record client lands: registers nothing.
#include "kivo_ddnspod.h"

void kivo_ddnspod_register_domain_name(const char *, const char *, const char *, const char *,
                                       int *)
{
}
