// fuzz_gain.cc - any frame's global gains moved, as the server brings an
// MP3 to a loudness without decoding it. Input: a signed step count, then
// the frame. Whatever the frame holds: it keeps its size, each gain moves
// by the steps, held in 0 to 255, and moving it back (when none was held)
// gives the frame again, byte for byte but its CRC, which is written anew.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "mp3_gain.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    mp3_header h;
    if (size < 5 || !mp3_parse_header(data + 1, &h) || static_cast<size_t>(h.size) > size - 1)
        return 0;
    int steps = static_cast<int8_t>(data[0]);
    // The frame alone, so that a read or write past it is caught.
    std::vector<uint8_t> frame(data + 1, data + 1 + h.size), moved = frame;
    int before[4], after[4], n, m;
    mp3_frame_global_gains(frame.data(), h, before, &n);
    mp3_frame_gain(moved.data(), h, steps);
    mp3_frame_global_gains(moved.data(), h, after, &m);
    if (moved.size() != frame.size() || n != m || n < 1 || n > 4) abort();
    bool held = false;
    for (int i = 0; i < n; i++) {
        int want = std::clamp(before[i] + steps, 0, 255);
        if (after[i] != want) abort();
        held = held || want != before[i] + steps;
    }
    if (memcmp(moved.data(), frame.data(), 4) != 0) abort();
    if (held) return 0;
    mp3_frame_gain(moved.data(), h, -steps);
    size_t from = h.crc ? 6 : 4;
    if (memcmp(moved.data() + from, frame.data() + from, frame.size() - from) != 0) abort();
    return 0;
}
