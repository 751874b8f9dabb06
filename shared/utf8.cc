// utf8.cc - validating one UTF-8 sequence.
#include "utf8.h"

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
