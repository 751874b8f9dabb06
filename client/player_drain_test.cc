// The held-pipe rule with time passed in: a pipe is given up on only after
// PLAYER_HELD_PIPE_MS in which nothing at all was read from it.
#include <vector>

#include <gtest/gtest.h>

#include "player.h"

namespace {

constexpr long long MS = 1'000'000;
constexpr long FULL = 65536;

struct sample {
    long long at_ms;
    long in_pipe;  // -1: the count could not be had
};

struct drain_case {
    const char *name;
    std::vector<sample> samples;
    bool want;  // stalled at the last sample
};

TEST(PipeDrain, OnlyTenSecondsWithNothingReadCountAsAStall) {
    const long long held = PLAYER_HELD_PIPE_MS;
    const drain_case cases[] = {
        {"nothing read for the whole time", {{0, FULL}, {held, FULL}}, true},
        {"a moment short of it", {{0, FULL}, {held - 1, FULL}}, false},
        {"one byte read restarts the time",
         {{0, FULL}, {5000, FULL - 1}, {held + 4999, FULL - 1}},
         false},
        {"and counts from when it was seen",
         {{0, FULL}, {5000, FULL - 1}, {held + 5000, FULL - 1}},
         true},
        {"a read in each period keeps it going",
         {{0, FULL}, {9000, FULL - 9}, {18000, FULL - 99}, {27000, FULL - 999}, {36000, 1}},
         false},
        {"no count at all is no read", {{0, -1}, {5000, -1}, {held, -1}}, true},
        {"a count after none is no read", {{0, -1}, {5000, 100}, {held, 100}}, true},
        {"more in the pipe is no read", {{0, 100}, {5000, 200}, {held, 200}}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pipe_drain d;
        bool stalled = false;
        for (const sample &s : c.samples) stalled = pipe_drain_stalled(&d, s.in_pipe, s.at_ms * MS);
        EXPECT_EQ(c.want, stalled);
    }
}

}  // namespace
