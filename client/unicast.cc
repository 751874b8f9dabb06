// unicast.cc - telling a sender's address from one no datagram comes from.
#include "unicast.h"

#include <arpa/inet.h>

bool unicast_source(in_addr addr) {
    uint32_t first = ntohl(addr.s_addr) >> 24;
    return first != 0 && first < 224;
}
