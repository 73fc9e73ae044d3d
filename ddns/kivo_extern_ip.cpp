// Placeholder until discovery lands: leaves the address field as it is.
#include "kivo_extern_ip.h"

void kivo_extern_ip_get(char *, const char *)
{
}
