// unicast.h - which IPv4 addresses a sender can have, for -S.
#pragma once

#include <netinet/in.h>

// True when addr can be the source of a datagram: an address outside
// 0.0.0.0/8 ("this network"), 224.0.0.0/4 (multicast) and 240.0.0.0/4
// (reserved, with the broadcast address 255.255.255.255). Loopback
// addresses can: a sender on the same host uses them.
bool unicast_source(in_addr addr);
