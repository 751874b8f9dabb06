// fuzz_gw_now_playing.cc - any datagram on the gateway's now-playing port,
// from the server or from elsewhere. Input: 1 byte that picks the source
// (the server, its address with another port, another address), then the
// datagram. What must hold, whatever the bytes:
// - only the server's address and port are heard: from elsewhere nothing
//   is taken and the channel's title stays its description;
// - from the server a datagram is taken exactly when it parses, and then
//   the title players are sent is one its values make;
// - a title holds no control character (C0, DEL, C1 or bidirectional) and
//   is valid UTF-8, for the page, the ICY blocks and the JSON alike.
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_gateway.h"
#include "now_playing.h"
#include "proto_encode.h"
#include "table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size - 1 > MSG_MAX_SIZE) return 0;
    table t;
    sockaddr_in server = picked_source(0);
    std::vector<uint8_t> list = encode_list_start();
    for (int id = 1; id < 256; id++) encode_list_entry(&list, static_cast<uint8_t>(id), "desc");
    check(table_take(&t, server, list.data(), list.size(), 0) == TABLE_LIST);

    int pick = data[0] % 3;
    const uint8_t *d = data + 1;
    size_t len = size - 1;
    now_playing np;
    bool parses = now_playing_parse(d, len, &np);
    bool taken = table_take_now_playing(&t, picked_source(pick), d, len);
    check(taken == (pick == 0 && parses));
    for (int id = 1; id < 256; id++) {
        std::string title = table_title(t, id);
        check(clean_text(title));
        if (!taken || id != np.chnid) check(title == "desc");
    }
    if (taken) {
        std::string title = table_title(t, np.chnid);
        check(title == np.artist + " - " + np.title || title == np.title || title == np.file ||
              title == "desc");
    }
    return 0;
}
