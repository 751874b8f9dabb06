// fuzz_data.cc - any datagram from any source through the data-phase rules.
// Input: 6 bytes of server address and port, 6 of source address and port,
// 4 of choice, then the datagram. A datagram is accepted exactly when it
// comes from the server, carries at least one payload byte and is on the
// chosen channel.
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
    bool same_addr = server.sin_addr.s_addr == source.sin_addr.s_addr;
    bool same_port = server.sin_port == source.sin_port;
    bool accept = same_addr && same_port && len >= DATA_MIN_SIZE && buf[0] == choice;
    if ((v == DATA_ACCEPT) != accept) abort();
    if (!same_addr && v != DATA_ADDR_MISMATCH) abort();
    if (same_addr && !same_port && v != DATA_PORT_MISMATCH) abort();
    free(buf);
    return 0;
}
