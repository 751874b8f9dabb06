// fuzz_timing.cc - any bytes read as a timing datagram and as a time
// message, as a player reads what comes to it. What parses writes back to
// the same bytes (but for the reserved ones, which a reader passes over and
// a writer sets to 0), and the due of each datagram it lists is a number
// (no overflow, which UBSan would catch), none before the one before it.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "timing.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

// The bytes with the one at offset at set to 0.
std::vector<uint8_t> cleared(const uint8_t *data, size_t size, size_t at) {
    std::vector<uint8_t> b(data, data + size);
    b[at] = 0;
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    timing_datagram t;
    if (timing_parse(data, size, &t)) {
        std::vector<uint8_t> out;
        check(timing_encode(t, &out) && out == cleared(data, size, 3));
        for (size_t i = 1; i < t.listed.size(); i++)
            check(timing_due_of(t, i) >= timing_due_of(t, i - 1));
    }
    time_message m;
    if (time_parse(data, size, &m)) {
        uint8_t out[TIME_SIZE];
        time_encode(m, out);
        std::vector<uint8_t> in = cleared(data, size, 6);
        in[7] = 0;
        check(memcmp(out, in.data(), TIME_SIZE) == 0);
    }
    return 0;
}
