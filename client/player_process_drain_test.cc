// The held-pipe rule with time passed in: a pipe is given up on only after
// PLAYER_HELD_PIPE_MS in which nothing at all was read from it.
#include <vector>

#include <gtest/gtest.h>

#include "player_process.h"

namespace {

TEST(PipeDrain, OnlyTenSecondsWithNothingReadCountAsAStall) {
    const long long H = PLAYER_HELD_PIPE_MS;
    struct drain_case {
        const char *name;
        std::vector<std::pair<long long, long>> samples;  // at ms, bytes in the pipe (-1: unknown)
        bool want;                                        // stalled at the last sample
    };
    // clang-format off
    const drain_case cases[] = {
        {"nothing read", {{0, 9000}, {H, 9000}}, true},
        {"a moment short of it", {{0, 9000}, {H - 1, 9000}}, false},
        {"one byte read restarts it", {{0, 9000}, {5000, 8999}, {H + 4999, 8999}}, false},
        {"from when it was seen", {{0, 9000}, {5000, 8999}, {H + 5000, 8999}}, true},
        {"a count lost is no read", {{0, 9000}, {5000, -1}, {H, -1}}, true},
        {"more in the pipe is no read", {{0, 100}, {5000, 200}, {H, 200}}, true},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pipe_drain d;
        bool stalled = false;
        for (auto [ms, in_pipe] : c.samples)
            stalled = pipe_drain_stalled(&d, in_pipe, ms * 1'000'000);
        EXPECT_EQ(c.want, stalled);
    }
}

}  // namespace
