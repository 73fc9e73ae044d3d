// External address discovery through public address-echo services.
#pragma once

// Asks the echo services in order and writes the first address found into
// extern_ip (a 32-byte field). An empty nic means no interface binding.
void kivo_extern_ip_get(char *extern_ip, const char *nic);
