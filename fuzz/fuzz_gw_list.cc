// fuzz_gw_list.cc - any datagram on the radio's port taken into the
// gateway's channel table, after a list of channels 1 to 3 at 0 s. Input: 1
// byte that picks the source (the server, its address with another port,
// another address) and 1 byte of seconds since the list, then the datagram.
// What must hold, whatever the bytes:
// - from elsewhere within the 5 s of silence nothing changes; a datagram
//   other than a list never takes the server over;
// - a list is taken exactly when it has 5 bytes or more and channel 0 in
//   front; then exactly the channels it names are listed, and each
//   description is clean text (no control character of C0, DEL, C1 or
//   bidirectional, valid UTF-8, no blank at its end);
// - data (2 bytes or more, a channel other than 0) counts its payload
//   towards its channel, and nothing else does.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "fuzz_gateway.h"
#include "join.h"
#include "list_entry.h"
#include "proto_encode.h"
#include "table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size - 2 > MSG_MAX_SIZE) return 0;
    table t;
    const sockaddr_in server = picked_source(0);
    std::vector<uint8_t> list = encode_list_start();
    for (int id = 1; id <= 3; id++) encode_list_entry(&list, static_cast<uint8_t>(id), "desc");
    check(table_take(&t, server, list.data(), list.size(), 0) == TABLE_LIST);

    int pick = data[0] % 3;
    const sockaddr_in from = picked_source(pick);
    long long now = static_cast<long long>(data[1]) * 1'000'000'000LL;
    const uint8_t *d = data + 2;
    size_t len = size - 2;
    bool is_list = len >= LIST_MIN_SIZE && d[0] == CHNID_LIST;
    bool heard = pick == 0 || (is_list && now >= TABLE_SILENCE_NS);
    table_kind kind = table_take(&t, from, d, len, now);

    check(same_sender(t.server, heard && is_list ? from : server));
    if (!heard) check(kind == TABLE_IGNORED);
    if (heard && is_list) check(kind == TABLE_LIST);
    bool is_data = len >= DATA_MIN_SIZE && d[0] != CHNID_LIST;
    if (heard && !is_list) check(kind == (is_data ? TABLE_DATA : TABLE_IGNORED));

    bool named[256] = {};
    if (kind == TABLE_LIST) {
        size_t pos = 1;
        list_entry_view e;
        while (list_next_entry(d, len, &pos, &e) == 1)
            if (e.chnid != CHNID_LIST) named[e.chnid] = true;
    }
    for (int id = 1; id < 256; id++) {
        const table_channel &c = t.ch[id];
        check(clean_text(c.desc) && (c.desc.empty() || c.desc.back() != ' '));
        check(c.listed == (kind == TABLE_LIST ? named[id] : id <= 3));
        uint64_t bytes = kind == TABLE_DATA && d[0] == id ? len - 1 : 0;
        check(c.bytes == bytes && c.datagrams == (bytes > 0 ? 1u : 0u));
    }
    return 0;
}
