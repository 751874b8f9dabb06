// fuzz_list.cc - any datagram through the list phase. What must hold,
// whatever the bytes, checked against the datagram itself rather than a
// second copy of the walk:
// - the walk moves forward, and every entry it yields lies wholly inside
//   the datagram, its description's NUL inside the entry;
// - the entries tile the datagram from byte 1 to where the walk stopped, and
//   encoding each entry again gives back its bytes (up to the description's
//   NUL; an entry may carry bytes after it);
// - the walk stops at the end, or where the bytes cannot be an entry;
// - the text shown is "channel:<id><desc>" for exactly those entries, and on
//   a terminal it holds no control byte but newline and tab.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "proto_encode.h"
#include "stream.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// Whether the bytes at pos could start an entry: a whole header, a length
// that fits, and a NUL among the description bytes.
bool could_be_entry(const uint8_t *data, size_t size, size_t pos) {
    if (size - pos < 3) return false;
    size_t len = static_cast<size_t>(data[pos + 1]) << 8 | data[pos + 2];
    return len > 3 && len <= size - pos && memchr(data + pos + 3, 0, len - 3) != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > MSG_MAX_SIZE) return 0;  // a receive never yields more
    if (list_classify(data, size) != LIST_ACCEPTED) return 0;

    std::string want_text;
    size_t pos = 1;
    list_entry_view e;
    int entries = 0, r;
    for (size_t start = pos; (r = list_next_entry(data, size, &pos, &e)) == 1; start = pos) {
        // The entry begins where the last one ended and lies inside the datagram.
        check(reinterpret_cast<const uint8_t *>(e.desc) == data + start + 3);
        check(start + 3 < pos && pos <= size);
        size_t desc_len = strnlen(e.desc, pos - start - 3);
        check(start + 3 + desc_len < pos);  // its NUL lies inside it too

        // Encoded again it is the same bytes, up to the NUL; the length
        // field tells the entry's whole size, bytes after the NUL included.
        std::string desc(e.desc, desc_len);
        std::vector<uint8_t> again;  // sized first, else g++ 12 -O3 warns (-Wstringop-overflow)
        again.reserve(encode_entry_size(desc));
        check(encode_list_entry(&again, static_cast<uint8_t>(e.chnid), desc));
        size_t len = static_cast<size_t>(data[start + 1]) << 8 | data[start + 2];
        check(len == pos - start);
        again[1] = data[start + 1];
        again[2] = data[start + 2];
        check(again.size() <= len && memcmp(again.data(), data + start, again.size()) == 0);

        want_text += "channel:" + std::to_string(e.chnid) + e.desc;
        entries++;
    }
    // The walk ends at the end, or where no entry can start.
    check(r == 0 ? pos == size : pos < size && !could_be_entry(data, size, pos));

    std::string text;
    check(list_text(data, size, false, &text) == entries && text == want_text);
    // On a terminal the same entries show, with no control byte but newline and tab.
    std::string shown;
    check(list_text(data, size, true, &shown) == entries);
    for (char c : shown) check(static_cast<uint8_t>(c) >= 0x20 || c == '\n' || c == '\t');
    return 0;
}
