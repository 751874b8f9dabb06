// fuzz_timing.cc - any bytes read as a timing datagram and as a time
// message, as a player reads what comes to it. What parses writes back to
// the same bytes (but for the reserved ones, which a reader passes over and
// a writer sets to 0), and the due of each datagram it lists is a number
// (no overflow, which UBSan would catch), none before the one before it.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "timing.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> out;
    timing_datagram t;
    if (timing_parse(data, size, &t)) {
        std::vector<uint8_t> in(data, data + size);
        in[3] = 0;
        check(timing_encode(t, &out) && out == in);
        for (size_t i = 1; i < t.listed.size(); i++)
            check(timing_due_of(t, i) >= timing_due_of(t, i - 1));
    }
    time_message m;
    if (time_parse(data, size, &m)) {
        std::vector<uint8_t> in(data, data + size);
        in[6] = in[7] = 0;
        out.resize(TIME_SIZE);
        time_encode(m, out.data());
        check(out == in);
    }
    return 0;
}
