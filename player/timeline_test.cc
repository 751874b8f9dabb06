// timeline_test.cc - due times for a channel's datagrams from the timing
// datagrams, through losses, outages, lost timing and late lists.
#include "timeline.h"

#include <gtest/gtest.h>

#include <math.h>

#include <set>

#include "repair.h"

namespace {

constexpr long long MS = 1'000'000;
constexpr long long OFFSET = 77'000 * MS;  // the server's clock less the player's
constexpr int RATE = 44100;
constexpr int SAMPLES = 2 * 1152;         // two frames a datagram
constexpr long long START = 10'000 * MS;  // the server's clock at datagram 0

// Datagram i: channel 1, two 128 kbit/s frames whose bodies hold i.
std::vector<uint8_t> datagram(int i) {
    std::vector<uint8_t> d(1 + 2 * 417, 0);
    d[0] = 1;
    for (int f = 0; f < 2; f++) {
        uint8_t *h = &d[1 + 417 * f];
        h[0] = 0xFF, h[1] = 0xFB, h[2] = 0x90, h[3] = 0x00;
        h[4] = static_cast<uint8_t>(i), h[5] = static_cast<uint8_t>(i >> 8), h[6] = 7;
    }
    return d;
}

long long due_of(int i) {
    return START + static_cast<long long>(i) * SAMPLES * 1'000'000'000 / RATE;
}

// The timing datagram the server sends just after datagram last: the 48
// before it and itself (2.5 s), its due the first's.
timing_datagram timing_after(int last) {
    timing_datagram t;
    t.chnid = 1;
    t.sample_rate = RATE;
    int first = std::max(0, last - 47);
    t.due = due_of(first);
    std::vector<uint8_t> d = datagram(first);
    t.first_crc = repair_crc(0, d.data(), d.size());
    for (int i = first; i <= last; i++) {
        std::vector<uint8_t> g = datagram(i);
        t.listed.push_back({repair_fingerprint(g.data(), g.size()), SAMPLES});
    }
    return t;
}

struct run_case {
    const char *name;
    std::set<int> lost;          // data datagrams that never come out of the decoder
    std::set<int> no_timing;     // the timing datagram after these is lost
    long long decoder_delay;     // how long after its sending each comes out
    int outage_from, outage_to;  // and these never come either
};

const run_case RUNS[] = {
    {"all come", {}, {}, 0, 0, 0},
    {"one lost: its time is a gap, the next keeps its own", {30}, {}, 0, 0, 0},
    {"an outage of 2.6 s", {}, {}, 0, 40, 90},
    {"every other timing datagram lost", {}, {19, 59, 99}, 0, 0, 0},
    {"each out of repair 2.3 s after it was sent, one lost", {45}, {}, 2'300 * MS, 0, 0},
};

TEST(Timeline, EachDatagramIsDueAsListedAndTheLostOnesAreGaps) {
    for (const auto &c : RUNS) {
        SCOPED_TRACE(c.name);
        std::set<int> lost = c.lost;
        for (int i = c.outage_from; i < c.outage_to; i++) lost.insert(i);
        clock_sync clock;
        clock_sync_take(&clock, {0, OFFSET, OFFSET, 0});
        timeline tl;
        std::vector<timeline_item> out;
        // One datagram each 52 ms, a timing datagram every 19th (about a
        // second), the data handed out decoder_delay later.
        for (int i = 0; i < 120; i++) {
            long long now = due_of(i) - OFFSET;
            if (i % 19 == 0 && !c.no_timing.count(i)) timeline_timing(&tl, timing_after(i));
            int out_i = i - static_cast<int>(c.decoder_delay / (SAMPLES * 1'000'000'000LL / RATE));
            if (out_i >= 0 && !lost.count(out_i)) {
                std::vector<uint8_t> d = datagram(out_i);
                ASSERT_TRUE(timeline_data(&tl, d.data(), d.size(), now));
            }
            timeline_take(&tl, clock, now, &out);
        }
        timeline_take(&tl, clock, due_of(200) - OFFSET, &out);
        long long end = 0;
        std::set<int> gaps;
        for (const auto &item : out) {
            int i = item.gap ? -1 : item.bytes[5] | item.bytes[6] << 8;
            if (item.gap) {
                double place = static_cast<double>(item.due - START) * RATE / SAMPLES / 1e9;
                gaps.insert(static_cast<int>(llround(place)));
            } else {
                EXPECT_NEAR(static_cast<double>(due_of(i)), static_cast<double>(item.due), 10) << i;
                EXPECT_FALSE(lost.count(i)) << i;
            }
            EXPECT_GE(item.due, end - 10);
            end = item.due + SAMPLES * 1'000'000'000LL / RATE;
        }
        EXPECT_EQ(lost, gaps);
    }
}

}  // namespace
