// pacing.h - when the server sends: each channel's messages at the pace their
// audio plays, a little ahead of it, and the channel list at its interval.
// Arithmetic on times handed in (monotonic nanoseconds), as a rate limiter
// is handed `now`, so that the rules are checked without sleeping.
#pragma once

#include <stddef.h>

// A wake-up sends every message due within PACING_BATCH_NS of it, and a
// message is due when its end is PACING_LEAD_NS ahead of real time; so no
// channel is ever more than LEAD + BATCH = 50 ms of audio ahead. Batching
// saves wake-ups, the larger part of the server's CPU: with 32 channels it
// measured 1.0 % of a core against 2.2-2.5 % for one wake-up per message
// (bench/README.md). A batch holds a few messages of different channels,
// which still interleave.
constexpr long long PACING_BATCH_NS = 10'000'000;
constexpr long long PACING_LEAD_NS = 40'000'000;
// The channels' clocks start this far apart in all, so their sends interleave.
constexpr long long PACING_STAGGER_NS = 50'000'000;

// One channel's clock.
struct channel_clock {
    long long start_ns = 0;  // when its audio starts; moved on after a stall
    long long sent_ns = 0;   // playing time sent so far
};

// The clock of channel index of count, all started at start: their starts
// spread over PACING_STAGGER_NS.
channel_clock pacing_start(long long start, size_t index, size_t count);

// When the channel's next message, of payload_ns playing time, is due:
// once its end is no more than PACING_LEAD_NS ahead of real time.
long long pacing_due(const channel_clock &c, long long payload_ns);

// Whether a wake-up at now sends that message: it is due within the batch.
bool pacing_sends_now(const channel_clock &c, long long payload_ns, long long now);

// Counts the message as sent at now. A channel more than PACING_LEAD_NS late
// (the server was not scheduled for a while) first moves its clock on by
// the excess rather than sending all the missed audio at once: it catches
// up PACING_LEAD_NS, so even then no stretch of its sends carries more than
// 50 ms of audio beyond the time it spans. Its audio comes later; none is
// skipped.
void pacing_sent(channel_clock *c, long long payload_ns, long long now);

// When the list goes next after the one due at due, sent at now: an interval
// later, or an interval after now when the server fell further behind (after
// a stall one list goes, not every missed one).
long long pacing_next_list(long long due, long long interval, long long now);
