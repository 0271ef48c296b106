// The device's own network addresses on eth1, read through ifconfig.
#pragma once

// The IPv4 / MAC (12 hex digits, no colons) address of eth1 into a buffer of
// at least 16 characters: 1 when read, 0 (buffer untouched) when not.
int get_ip(char* ip);
int get_mac(char* mac);
