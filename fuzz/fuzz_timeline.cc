// fuzz_timeline.cc - a player's timeline fed any timing datagrams and any
// data datagrams, as a forger or a broken network might send them, through
// a clock that maps the player's time to the server's.
//
// Records of a kind byte, a delay byte (milliseconds x 10 before it) and
// 2 bytes of length and that many bytes (fewer at the end): kind bit 0
// says a timing datagram (parsed as the network's bytes), else a data
// datagram (its bytes after a chnid, their first frame header made valid
// by kind bit 1 so that it counts). Whatever comes: items come out in the
// order of the timeline, none due before the end of the one before it
// (less the rounding of the lists), each datagram item holds bytes that
// went in, and the timeline's memory stays within its bounds.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <set>
#include <vector>

#include "timeline.h"

namespace {

constexpr long long MS = 1'000'000;

void check(bool ok) {
    if (!ok) abort();
}

// The end of item on the timeline.
long long end_of(const timeline_item &item) {
    return item.due + static_cast<long long>(item.samples) * 1'000'000'000 / item.rate;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    clock_sync clock;
    clock_sync_take(&clock, {0, 5'000 * MS, 5'000 * MS, 0});
    timeline tl;
    std::set<std::vector<uint8_t>> sent;
    std::vector<timeline_item> out;
    long long now = 0, end = 0;
    bool any = false;
    for (size_t at = 0; at + 4 <= size;) {
        uint8_t kind = data[at];
        now += data[at + 1] * 10 * MS;
        size_t n = std::min<size_t>(data[at + 2] << 8 | data[at + 3], size - at - 4);
        std::vector<uint8_t> bytes(data + at + 4, data + at + 4 + n);
        at += 4 + n;
        if (kind & 1) {
            timing_datagram t;
            if (timing_parse(bytes.data(), bytes.size(), &t)) timeline_timing(&tl, t);
        } else {
            bytes.insert(bytes.begin(), 1);
            if ((kind & 2) && bytes.size() >= 5) memcpy(&bytes[1], "\xFF\xFB\x90\x00", 4);
            if (timeline_data(&tl, bytes.data(), bytes.size(), now)) sent.insert(bytes);
        }
        timeline_take(&tl, clock, now, &out);
        for (const auto &item : out) {
            check(item.rate > 0 && item.samples > 0);
            check(!any || item.due >= end - 2 * MS);
            check(item.gap || sent.count(item.bytes) == 1);
            end = any ? std::max(end, end_of(item)) : end_of(item);
            any = true;
        }
        out.clear();
        check(tl.entries.size() <= TIMELINE_MAX_ENTRIES && tl.waiting.size() <= TIMELINE_MAX_WAITING);
    }
    return 0;
}
