// text_number.cc - choice and port parsing without overflow.
#include "text_number.h"

#include <ctype.h>

namespace {

// Magnitudes stop growing here: far beyond int, far below long long's end.
constexpr long long CHOICE_CAP = 1LL << 40;

}  // namespace

bool read_choice(FILE *in, long long *choice) {
    int c;
    do c = getc(in);
    while (c != EOF && isspace(c));
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = getc(in);
    }
    if (c == EOF || !isdigit(c)) {
        if (c != EOF) ungetc(c, in);
        return false;
    }
    long long magnitude = 0;
    for (; c != EOF && isdigit(c); c = getc(in))
        if (magnitude < CHOICE_CAP) magnitude = magnitude * 10 + (c - '0');
    if (c != EOF) ungetc(c, in);
    *choice = negative ? -magnitude : magnitude;
    return true;
}

uint16_t port_from_text(const char *text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    while (isspace(*p)) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    uint32_t low = 0;  // the value so far, modulo 65536
    for (; isdigit(*p); p++) low = (low * 10 + (*p - '0')) & 0xFFFFu;
    if (negative) low = (0x10000u - low) & 0xFFFFu;
    return static_cast<uint16_t>(low);
}
