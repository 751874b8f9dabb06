// fuzz_data.cc - any datagram from any source through the data-phase rules.
// Input: 6 bytes of server address and port, 6 of source address and port,
// 4 of choice, then the datagram. What must hold, whatever the bytes:
// - a datagram from another address, or from the server's address but
//   another port, is never accepted, and the verdict names that first;
// - an accepted datagram carries a payload and the chosen channel's id, so
//   a choice outside 0 to 255 accepts nothing;
// - the payload's bytes never change the verdict;
// - from the server, with a payload, the datagram is accepted exactly when
//   the choice is made its first byte.
#include <netinet/in.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "proto.h"
#include "stream.h"

namespace {

sockaddr_in take_addr(const uint8_t *p) {
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    memcpy(&a.sin_addr.s_addr, p, 4);
    memcpy(&a.sin_port, p + 4, 2);
    return a;
}

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    constexpr size_t HEAD = 16;
    if (size < HEAD || size - HEAD > MSG_MAX_SIZE) return 0;
    sockaddr_in server = take_addr(data);
    sockaddr_in source = take_addr(data + 6);
    int32_t raw_choice;
    memcpy(&raw_choice, data + 12, 4);
    // Small choices hit real channels often; the rest stay anywhere in range.
    long long choice = (raw_choice & 1) ? (raw_choice >> 1) % 260 : raw_choice;

    // The datagram gets its own exact-size buffer so an overread is caught.
    size_t len = size - HEAD;
    uint8_t *buf = static_cast<uint8_t *>(malloc(len ? len : 1));
    if (!buf) return 0;
    memcpy(buf, data + HEAD, len);

    data_verdict v = data_decide(server, source, buf, len, choice);
    if (server.sin_addr.s_addr != source.sin_addr.s_addr)
        check(v == DATA_ADDR_MISMATCH);
    else if (server.sin_port != source.sin_port)
        check(v == DATA_PORT_MISMATCH);
    if (v == DATA_ACCEPT) check(len >= 2 && buf[0] == choice);
    if (choice < 0 || choice > 255) check(v != DATA_ACCEPT);

    if (len >= 2) {
        buf[len - 1] ^= 0xFF;  // a payload byte
        check(data_decide(server, source, buf, len, choice) == v);
        check(data_decide(server, server, buf, len, buf[0]) == DATA_ACCEPT);
    }
    free(buf);
    return 0;
}
