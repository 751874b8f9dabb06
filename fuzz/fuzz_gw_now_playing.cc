// fuzz_gw_now_playing.cc - any datagram on the gateway's now-playing port,
// from the server or from elsewhere. Input: 1 byte that picks the source
// (the server, its address with another port, another address), then the
// datagram. What must hold, whatever the bytes:
// - only the server's address and port are heard: from elsewhere nothing
//   is taken and the channel's title stays its description;
// - from the server a datagram is taken exactly when it parses, and then
//   the title players are sent is one its values make;
// - a title holds no control character (C0, DEL or C1) and is valid
//   UTF-8, for the page, the ICY blocks and the JSON alike.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "now_playing.h"
#include "proto_encode.h"
#include "table.h"
#include "utf8.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

sockaddr_in source(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

bool valid_utf8(const std::string &s) {
    const auto *p = reinterpret_cast<const uint8_t *>(s.data());
    for (size_t i = 0; i < s.size();) {
        size_t n = p[i] < 0x80 ? 1 : utf8_sequence(p + i, s.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool clean_text(const std::string &s) {
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0)
            return false;  // a C1 control
    }
    return valid_utf8(s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size - 1 > MSG_MAX_SIZE) return 0;
    table t;
    sockaddr_in server = source("10.0.0.1", 1989);
    std::vector<uint8_t> list = encode_list_start();
    for (int id = 1; id < 256; id++) encode_list_entry(&list, static_cast<uint8_t>(id), "desc");
    check(table_take(&t, server, list.data(), list.size(), 0) == TABLE_LIST);

    const sockaddr_in from[] = {server, source("10.0.0.1", 1990), source("10.0.0.2", 1989)};
    int pick = data[0] % 3;
    const uint8_t *d = data + 1;
    size_t len = size - 1;
    now_playing np;
    bool parses = now_playing_parse(d, len, &np);
    bool taken = table_take_now_playing(&t, from[pick], d, len);
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
