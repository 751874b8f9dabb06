// clock_sync_test.cc - the clock estimate over tables of exchanges: plain
// links, jitter, drift and a step, between clocks days apart.
#include "clock_sync.h"

#include <gtest/gtest.h>
#include <stdint.h>

#include <random>

namespace {

constexpr long long MS = 1'000'000;
constexpr long long S = 1'000 * MS;
constexpr long long PLAYER_START = 3'000'000 * S;  // the player's clock when the run starts

// A run of exchanges: the server's clock is the player's times rate plus
// offset (until step_at, then plus step more), each way takes base plus up
// to jitter at random.
struct link_case {
    const char *name;
    long long offset;
    double rate;  // server ns per player ns
    long long base, jitter;
    long long step_at, step;  // player time of a step; 0: none
    long long seconds;
    long long tolerance;  // on the server's clock at the end
};

long long server_clock(const link_case &c, long long p) {
    long long s = c.offset + static_cast<long long>(static_cast<double>(p) * c.rate);
    return c.step_at && p >= c.step_at ? s + c.step : s;
}

// Feeds the estimate as a player would: its burst, then one a second.
clock_sync run(const link_case &c, long long *end) {
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<long long> jitter(0, c.jitter);
    clock_sync sync;
    long long p = PLAYER_START;
    while (p < PLAYER_START + c.seconds * S) {
        p = std::max(p, clock_sync_next_request(sync));
        clock_sync_asked(&sync, p);
        long long out = c.base + jitter(rng), back = c.base + jitter(rng);
        long long receive = server_clock(c, p + out);
        long long transmit = server_clock(c, p + out + 20'000);  // after the server's own turn
        long long came = p + out + 20'000 + back;
        clock_sync_take(&sync, {p, receive, transmit, came});
        p = came;
    }
    *end = p;
    return sync;
}

const link_case LINKS[] = {
    {"plain link, clocks days apart", 86'400 * S * 5, 1.0, 30'000, 5'000, 0, 0, 30, 10'000},
    {"0-20 ms of jitter each way", -7 * S, 1.0, 30'000, 20 * MS, 0, 0, 120, 600'000},
    {"server 100 ppm fast over 5 minutes", 12 * S, 1.0001, 30'000, 5'000, 0, 0, 300, 20'000},
    {"100 ppm and jitter over 5 minutes", 12 * S, 1.0001, 30'000, 20 * MS, 0, 0, 300, 400'000},
    {"server restarted: its clock 40 s back", 500 * S, 1.0, 30'000, 5'000, PLAYER_START + 60 * S,
     -40 * S, 70, 10'000},
};

TEST(ClockSync, FollowsTheServersClockOverEachLink) {
    for (const auto &c : LINKS) {
        SCOPED_TRACE(c.name);
        long long end;
        clock_sync sync = run(c, &end);
        ASSERT_TRUE(clock_sync_ready(sync));
        EXPECT_NEAR(static_cast<double>(server_clock(c, end)),
                    static_cast<double>(clock_sync_server_at(sync, end)),
                    static_cast<double>(c.tolerance));
        if (c.jitter < MS) {
            EXPECT_NEAR(c.rate, clock_sync_rate(sync), 2e-6);
        }
        long long s = clock_sync_server_at(sync, end);
        EXPECT_NEAR(static_cast<double>(end), static_cast<double>(clock_sync_player_at(sync, s)),
                    2);
    }
}

TEST(ClockSync, RefusesTimesThatCannotBeAndAsksInABurstFirst) {
    clock_sync sync;
    EXPECT_FALSE(clock_sync_take(&sync, {100, 50, 40, 200}));  // sent after it was read
    EXPECT_FALSE(clock_sync_take(&sync, {100, 0, 500, 200}));  // the server took longer
    EXPECT_FALSE(clock_sync_take(&sync, {100, 0, 10, 90}));    // came before it went
    EXPECT_FALSE(clock_sync_ready(sync));
    EXPECT_EQ(0, clock_sync_next_request(sync));
    long long at = 5 * S;
    for (int i = 0; i < CLOCK_BURST; i++) {
        clock_sync_asked(&sync, at);
        at = clock_sync_next_request(sync);
    }
    EXPECT_EQ(5 * S + (CLOCK_BURST - 1) * CLOCK_BURST_GAP_NS + CLOCK_INTERVAL_NS, at);
}

}  // namespace
