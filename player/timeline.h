// timeline.h - when each data datagram of the channel a player plays is due
// on the server's clock: the datagrams, in the order the repair decoder
// hands them out, matched to the lists of the timing datagrams (timing.h),
// and the datagrams listed that never came (lost beyond repair), whose
// time is played as silence. Pure: times are handed in.
//
// A datagram is matched to the first listed entry after the one placed
// last whose fingerprint is its own (the first listed of a timing datagram
// by its whole CRC-32 too) and whose due time fits when it came out of the
// repair decoder: from TIMELINE_BEFORE_NS before that (the decoder holds a
// datagram REPAIR_HOLD_NS at most) to TIMELINE_AFTER_NS after it (the
// server sends a little ahead). So a fingerprint of 16 bits is compared
// with the few dozen entries of those seconds, not the whole list, and a
// datagram after an outage finds its place however many were lost. The
// entries passed over are the ones lost. One that is not listed yet waits
// for the timing datagram that lists it, at most TIMELINE_WAIT_NS; after
// that it follows the one before it on the timeline (its samples after
// that one's end), or, with none before it, is dropped. What holds:
// - items come out in the order of the timeline, each due no earlier than
//   the end of the one before it (an entry due before that is a datagram
//   that came again, and is dropped);
// - an item is a datagram with its due time, or a gap: the due time and
//   length of a listed datagram that never came, due within
//   TIMELINE_BEFORE_NS of the next that did;
// - memory stays bounded: at most TIMELINE_MAX_ENTRIES entries (past that
//   the oldest are forgotten) and TIMELINE_MAX_WAITING datagrams (past that
//   the oldest is dropped: the server's clock is not known yet).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "clock_sync.h"
#include "timing.h"

constexpr long long TIMELINE_BEFORE_NS = 2'700'000'000;
constexpr long long TIMELINE_AFTER_NS = 200'000'000;
constexpr long long TIMELINE_WAIT_NS = 1'500'000'000;
constexpr size_t TIMELINE_MAX_ENTRIES = 1024;
constexpr size_t TIMELINE_MAX_WAITING = 512;

// A datagram listed by a timing datagram.
struct timeline_entry {
    uint16_t fingerprint = 0;
    bool has_crc = false;  // the first listed of its timing datagram:
    uint32_t crc = 0;      //   its whole CRC-32
    long long due = 0;     // of its first sample, on the server's clock
    int samples = 0;       // of each audio channel
    int rate = 0;          // samples per second
};

// What the timeline hands out, in order.
struct timeline_item {
    bool gap = false;   // listed datagrams that never came: silence
    long long due = 0;  // of the first sample
    int samples = 0;    // of each audio channel
    int rate = 0;
    std::vector<uint8_t> bytes;  // the datagram, chnid first (none for a gap)
};

// A datagram out of the repair decoder, not placed yet.
struct timeline_waiting {
    std::vector<uint8_t> bytes;
    uint32_t crc = 0;
    int samples = 0;  // from its frames' headers
    int rate = 0;
    long long came = 0;  // the player's clock
};

struct timeline {
    std::deque<timeline_entry> entries;  // not placed yet, by due time
    std::deque<timeline_waiting> waiting;
    bool placed = false;    // a datagram was placed:
    long long end_due = 0;  //   where the last one ended on the timeline
};

// Takes the timing datagram t of the channel: its entries join the
// timeline (those known already are passed over).
void timeline_timing(timeline *tl, const timing_datagram &t);

// Takes the data datagram p[0, n) that the repair decoder handed out at
// now (the player's clock). False when it holds no MP3 frame (nothing to
// play).
bool timeline_data(timeline *tl, const uint8_t *p, size_t n, long long now);

// Appends to out, in order, what is placed by now (the player's clock),
// which clock maps to the server's; nothing while it cannot
// (clock_sync_ready).
void timeline_take(timeline *tl, const clock_sync &clock, long long now,
                   std::vector<timeline_item> *out);

// Forgets everything (another channel, another server).
void timeline_reset(timeline *tl);
