// visible.cc - control characters and bad UTF-8 shown as ^X and \xNN.
#include "visible.h"

#include "utf8.h"

namespace {

size_t hex_byte(uint8_t b, char *out) {
    static const char digits[] = "0123456789abcdef";
    out[0] = '\\';
    out[1] = 'x';
    out[2] = digits[b >> 4];
    out[3] = digits[b & 15];
    return 4;
}

}  // namespace

void visible_append(const uint8_t *text, size_t len, std::string *out) {
    while (len > 0) {
        char shown[VISIBLE_UNIT_MAX];
        size_t used;
        out->append(shown, visible_unit(text, len, shown, &used));
        text += used;
        len -= used;
    }
}

size_t visible_unit(const uint8_t *text, size_t len, char out[VISIBLE_UNIT_MAX], size_t *used) {
    uint8_t b = text[0];
    *used = 1;
    if (b == '\n' || b == '\t' || (b >= 0x20 && b < 0x7F)) {
        out[0] = static_cast<char>(b);
        return 1;
    }
    if (b < 0x20 || b == 0x7F) {
        out[0] = '^';
        out[1] = static_cast<char>(b ^ 0x40);  // ^@ .. ^_, and ^? for DEL
        return 2;
    }
    size_t n = utf8_sequence(text, len);
    if (n == 0) return hex_byte(b, out);
    *used = n;
    if (utf8_is_control(text, n)) {  // C1 or bidirectional
        for (size_t i = 0; i < n; i++) hex_byte(text[i], out + 4 * i);
        return 4 * n;
    }
    for (size_t i = 0; i < n; i++) out[i] = static_cast<char>(text[i]);
    return n;
}
