// A channel's timing list: a stall, a new sample rate or a datagram that
// the format cannot hold starts a new list, which covers about
// TIMING_LISTED_NS in at most TIMING_MAX_LISTED datagrams.
#include "timing_list.h"

#include <gtest/gtest.h>

#include "mono_clock.h"
#include "repair.h"

namespace {

// One data datagram added; stall: the clock moved on before it.
struct step {
    long long samples;
    int rate;
    bool stall;
};

TEST(TimingList, BreaksStartANewListAndAListCoversAboutTheListedTime) {
    struct list_case {
        const char *name;
        std::vector<step> steps;
        size_t want_first, want_count;
    };
    const step S = {2304, 44100, false};  // 52 ms
    // clang-format off
    const list_case cases[] = {
        {"one rate, one list", {S, S, S}, 0, 3},
        {"a stall", {S, S, {2304, 44100, true}, S}, 2, 2},
        {"a new sample rate", {S, S, {1152, 48000, false}}, 2, 1},
        {"more samples than the field holds", {S, {65536, 44100, false}, S}, 2, 1},
        {"frames of mixed rates", {S, {2304, 0, false}, S}, 2, 1},
        {"about 2.5 s of 52 ms datagrams", std::vector<step>(100, S), 52, 48},
        {"at most 64 datagrams of 26 ms", std::vector<step>(100, {1152, 44100, false}), 36, 64},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        timing_list l;
        std::vector<std::vector<uint8_t>> sent;
        std::vector<long long> dues;
        long long due = NS_PER_S;
        for (size_t i = 0; i < c.steps.size(); i++) {
            const step &s = c.steps[i];
            if (s.stall) {
                timing_list_break(&l);
                due += 300'000'000;
            }
            sent.push_back({7, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
            dues.push_back(due);
            timing_list_add(&l, sent[i].data(), sent[i].size(), s.samples, s.rate, due);
            if (s.rate > 0) due += s.samples * NS_PER_S / s.rate;
        }
        std::vector<uint8_t> d;
        timing_datagram t;
        ASSERT_TRUE(timing_list_datagram(l, 7, &d));
        ASSERT_TRUE(timing_parse(d.data(), d.size(), &t));
        EXPECT_EQ(c.want_count, t.listed.size());
        EXPECT_EQ(dues[c.want_first], t.due);
        EXPECT_EQ(repair_crc(0, sent[c.want_first].data(), 3), t.first_crc);
        EXPECT_EQ(static_cast<uint32_t>(c.steps.back().rate), t.sample_rate);
        EXPECT_EQ(repair_fingerprint(sent.back().data(), 3), t.listed.back().fingerprint);
    }
}

}  // namespace
