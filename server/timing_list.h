// timing_list.h - a channel's last data datagrams as they lie on its
// timeline, and the timing datagram (shared/timing.h) that lists them:
// players learn from it when each datagram's first sample is due.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "timing.h"

// One data datagram of the list.
struct timing_listed {
    timing_entry entry;
    uint32_t crc;   // its full CRC-32
    long long due;  // when its first sample is due on the channel's clock
};

// What holds, whatever comes in: every datagram listed follows the one
// before it exactly on the timeline (its first sample is due when the
// audio of those before it has played, at the one sample rate), there
// are at most TIMING_MAX_LISTED, and without the first they would cover
// less than TIMING_LISTED_NS.
struct timing_list {
    std::deque<timing_listed> listed;  // the newest last
    uint32_t sample_rate = 0;          // of every datagram listed
    long long samples = 0;             // of them all, each audio channel's
    bool broken = false;               // the next datagram starts a new list
};

// Lists the data datagram d[0, n), of samples (each audio channel's) at
// sample_rate, its first sample due at due: after the datagrams before it,
// unless the timeline broke there (timing_list_break), the sample rate
// changed, or the datagram does not fit the format (no samples, more than
// 65535, or a sample rate of 0, as for a payload of mixed rates); such a
// datagram is not listed, and the next starts a new list.
void timing_list_add(timing_list *l, const uint8_t *d, size_t n, long long samples, int sample_rate,
                     long long due);

// Says that the channel's timeline broke after the datagram listed last
// (its clock was moved on after a stall): the next starts a new list.
void timing_list_break(timing_list *l);

// The timing datagram of channel chnid that lists l; false when l lists
// nothing.
bool timing_list_datagram(const timing_list &l, uint8_t chnid, std::vector<uint8_t> *out);
