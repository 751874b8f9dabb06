// fuzz_gateway.h - what the fuzz targets of the gateway's channel table
// share: the check that aborts, the three places a datagram may come from,
// and the rule that text the gateway sends on is clean. The text check is
// written here on its own, not with the code under test.
#pragma once

#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "utf8.h"

inline void check(bool ok) {
    if (!ok) abort();
}

// The source that pick names: 0 the server, 10.0.0.1:1989; 1 its address
// with another port; 2 another address with the server's port.
inline sockaddr_in picked_source(int pick) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(pick == 1 ? 1990 : 1989);
    inet_pton(AF_INET, pick == 2 ? "10.0.0.2" : "10.0.0.1", &a.sin_addr);
    return a;
}

inline bool valid_utf8(const std::string &s) {
    const auto *p = reinterpret_cast<const uint8_t *>(s.data());
    for (size_t i = 0; i < s.size();) {
        size_t n = p[i] < 0x80 ? 1 : utf8_sequence(p + i, s.size() - i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// True when s holds no control character (C0, DEL, C1 or bidirectional)
// and is valid UTF-8.
inline bool clean_text(const std::string &s) {
    for (size_t i = 0; i < s.size(); i++) {
        auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0)
            return false;  // a C1 control
        // U+202A to U+202E, U+2066 to U+2069
        unsigned tail = i + 2 < s.size() ? static_cast<unsigned char>(s[i + 1]) << 8 |
                                               static_cast<unsigned char>(s[i + 2])
                                         : 0;
        if (c == 0xE2 && ((tail >= 0x80AA && tail <= 0x80AE) || (tail >= 0x81A6 && tail <= 0x81A9)))
            return false;
    }
    return valid_utf8(s);
}
