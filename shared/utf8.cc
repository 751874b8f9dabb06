// utf8.cc - validating one UTF-8 sequence, and cleaning text with it.
#include "utf8.h"

namespace {

constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

}  // namespace

// C1 is 0xC2 0x80 to 0xC2 0x9F; the bidirectional controls are 0xE2 0x80
// 0xAA to 0xAE and 0xE2 0x81 0xA6 to 0xA9.
bool utf8_is_control(const uint8_t *p, size_t len) {
    if (len == 1) return p[0] < 0x20 || p[0] == 0x7F;
    if (len == 2) return p[0] == 0xC2 && p[1] < 0xA0;
    if (len != 3 || p[0] != 0xE2) return false;
    return (p[1] == 0x80 && p[2] >= 0xAA && p[2] <= 0xAE) ||
           (p[1] == 0x81 && p[2] >= 0xA6 && p[2] <= 0xA9);
}

size_t utf8_sequence(const uint8_t *text, size_t len) {
    uint8_t b = text[0];
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0) lo = 0xA0;  // no overlong forms
        if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0) lo = 0x90;  // no overlong forms
        if (b == 0xF4) hi = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (len < n || text[1] < lo || text[1] > hi) return 0;
    for (size_t i = 2; i < n; i++)
        if (text[i] < 0x80 || text[i] > 0xBF) return 0;
    return n;
}

std::string utf8_clean(const std::string &text, size_t max) {
    std::string out;
    const auto *p = reinterpret_cast<const uint8_t *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        size_t len = p[i] < 0x80 ? 1 : utf8_sequence(p + i, n - i);
        const char *piece = len == 0 ? REPLACEMENT : text.data() + i;
        size_t piece_len = len == 0 ? sizeof REPLACEMENT - 1 : len;
        if (len > 0 && utf8_is_control(p + i, len)) {
            piece = " ";
            piece_len = 1;
        }
        if (out.size() + piece_len > max) break;
        out.append(piece, piece_len);
        i += len == 0 ? 1 : len;
    }
    return out;
}
