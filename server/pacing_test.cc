// The send times. The rule every case keeps: no channel's audio is ever more
// than PACING_LEAD_NS + PACING_BATCH_NS (50 ms) ahead of real time, and a
// channel never sends a stretch of audio much longer than the time it spans.
#include "pacing.h"

#include <gtest/gtest.h>

namespace {

constexpr long long MS = 1'000'000;
constexpr long long FRAME = 26 * MS;  // one MP3 frame at 44.1 kHz, about

TEST(Pacing, AMessageGoesOnceItsEndIsWithinLeadAndBatch) {
    struct due_case {
        const char *name;
        long long end_ahead;  // how far the message's end lies ahead of now
        bool sends;
    };
    const due_case cases[] = {
        {"end already past", -5 * MS, true},
        {"end the lead ahead", 40 * MS, true},
        {"end lead and batch ahead", 50 * MS, true},
        {"end just beyond lead and batch", 50 * MS + 1, false},
        {"end 100 ms ahead", 100 * MS, false},
        {"end a second ahead", 1000 * MS, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        channel_clock clock;  // started at 0, nothing sent: the end is at FRAME
        EXPECT_EQ(c.sends, pacing_sends_now(clock, FRAME, FRAME - c.end_ahead));
    }
}

// A wake-up sends what is due, as the server's loop does; returns the
// playing time it sent.
long long wake_up(channel_clock *c, long long now) {
    long long sent = 0;
    while (pacing_sends_now(*c, FRAME, now)) {
        pacing_sent(c, FRAME, now);
        sent += FRAME;
    }
    return sent;
}

TEST(Pacing, AStalledChannelCatchesUpOnlyTheLead) {
    struct stall_case {
        const char *name;
        long long stall;  // how long the server was not scheduled
        long long moved;  // how far the channel's clock moves on
    };
    const stall_case cases[] = {
        {"no stall", 0, 0},
        {"a stall shorter than the lead", 30 * MS, 0},
        {"a stall of a second", 1000 * MS, 1000 * MS - 50 * MS},
        {"a stall of a minute", 60000 * MS, 60000 * MS - 50 * MS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        channel_clock clock;
        long long now = 0;
        for (; now < 2000 * MS; now += 10 * MS) wake_up(&clock, now);
        long long start = clock.start_ns;
        now += c.stall;
        long long burst = wake_up(&clock, now);
        long long ahead = clock.start_ns + clock.sent_ns - now;
        EXPECT_LE(ahead, PACING_LEAD_NS + PACING_BATCH_NS);
        EXPECT_GE(ahead, PACING_LEAD_NS + PACING_BATCH_NS - FRAME);
        EXPECT_LE(burst, PACING_LEAD_NS + PACING_BATCH_NS + FRAME);  // never the whole stall
        EXPECT_NEAR(c.moved, clock.start_ns - start, FRAME);
    }
}

TEST(Pacing, TheListGoesEveryIntervalAndOnceAfterAStall) {
    struct list_case {
        const char *name;
        long long due, now, next;
    };
    const list_case cases[] = {
        {"on time", 1000 * MS, 1000 * MS, 2000 * MS},
        {"a little late keeps the beat", 1000 * MS, 1300 * MS, 2000 * MS},
        {"a stall of several intervals", 1000 * MS, 4500 * MS, 5500 * MS},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.next, pacing_next_list(c.due, 1000 * MS, c.now));
    }
}

TEST(Pacing, ChannelStartsSpreadOverTheStagger) {
    EXPECT_EQ(500, pacing_start(500, 0, 1).start_ns);
    long long last = -1;
    for (size_t i = 0; i < 32; i++) {
        long long s = pacing_start(0, i, 32).start_ns;
        EXPECT_GT(s, last);
        EXPECT_LT(s, PACING_STAGGER_NS);
        last = s;
    }
    EXPECT_EQ(PACING_STAGGER_NS / 2, pacing_start(0, 16, 32).start_ns);
}

}  // namespace
