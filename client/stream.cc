// stream.cc - classifying datagrams.
#include "stream.h"

#include <arpa/inet.h>
#include <string.h>

#include "proto.h"

list_kind list_classify(const uint8_t *buf, size_t len) {
    if (len < LIST_MIN_SIZE) return LIST_TOO_SHORT;
    if (buf[0] != CHNID_LIST) return LIST_NOT_LIST;
    return LIST_ACCEPTED;
}

data_verdict data_decide(const sockaddr_in &server, const sockaddr_in &source, const uint8_t *buf,
                         size_t len, long long choice) {
    if (source.sin_addr.s_addr != server.sin_addr.s_addr) return DATA_ADDR_MISMATCH;
    if (source.sin_port != server.sin_port) return DATA_PORT_MISMATCH;
    if (len < DATA_MIN_SIZE) return DATA_TOO_SHORT;
    if (static_cast<long long>(buf[0]) != choice) return DATA_OTHER_CHANNEL;
    return DATA_ACCEPT;
}

int addr_as_int(const sockaddr_in &addr) {
    int32_t v;
    memcpy(&v, &addr.sin_addr.s_addr, sizeof v);
    return v;
}
