// fuzz_icy.cc - any title through the ICY block builder. What must hold,
// whatever the bytes: the block is one length byte N, 1 to 255, and 16 * N
// bytes: exactly one field, StreamTitle='...'; with no quote inside, then
// NUL bytes only; inside, the title with each quote as U+2019 and each
// byte below 0x20 as a blank, cut (when it does not fit) never inside a
// character.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "icy.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string title(reinterpret_cast<const char *>(data), size);
    std::string b = icy_block(title);
    size_t units = static_cast<uint8_t>(b[0]);
    check(units >= 1 && b.size() == 1 + 16 * units);
    std::string text =
        b.substr(1, b.find('\0', 1) == std::string::npos ? std::string::npos : b.find('\0', 1) - 1);
    check(b.find_first_not_of('\0', 1 + text.size()) == std::string::npos);
    const std::string head = "StreamTitle='", tail = "';";
    check(text.size() >= head.size() + tail.size());
    check(text.compare(0, head.size(), head) == 0);
    check(text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
    std::string inside = text.substr(head.size(), text.size() - head.size() - tail.size());
    check(inside.find('\'') == std::string::npos);
    for (char c : inside) check(static_cast<unsigned char>(c) >= 0x20);
    // The title as sent: each quote U+2019, each control byte a blank, cut
    // (when it does not fit) before a character's start.
    std::string want;
    for (char c : title)
        want += c == '\'' ? std::string("\u2019") : std::string(1, c < 0x20 && c >= 0 ? ' ' : c);
    check(want.compare(0, inside.size(), inside) == 0);
    if (inside.size() < want.size())
        check((static_cast<unsigned char>(want[inside.size()]) & 0xC0) != 0x80);
    return 0;
}
