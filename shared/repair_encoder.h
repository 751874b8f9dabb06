// repair_encoder.h - the sender's side of repair (repair.h): an encoder per
// channel takes the channel's data datagrams as they are sent and gives
// back the repair datagrams to send, each when its time comes. Time is
// passed in (monotonic nanoseconds, never going back), so nothing here
// reads a clock, sleeps or does I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "repair.h"

// Datagrams handed back, each whole, in the order to send them.
using repair_datagrams = std::vector<std::vector<uint8_t>>;

// A repair datagram waiting for its time.
struct repair_queued {
    long long due;  // when it goes, in nanoseconds
    std::vector<uint8_t> bytes;
};

struct repair_encoder {
    repair_conf conf;
    uint32_t block = 0;                      // the open block's number
    std::vector<std::vector<uint8_t>> open;  // its datagrams, as sent
    long long opened = 0;                    // when its first one was sent
    std::deque<repair_queued> queue;         // closed blocks' repair, in the order it goes
    int tables_k = 0;                        // the block shape that tables were made for
    int tables_r = 0;
    std::vector<uint8_t> tables;  // the coefficients of that shape, expanded for ISA-L
};

// Whether conf is one the encoder takes: k and r in range, a block time
// above 0 and a spread not below 0.
bool repair_conf_valid(const repair_conf &conf);

// An encoder with no block open, for a valid conf; its first block has the
// number first_block (the server picks it at random, so that receivers
// tell its blocks from those of the server that ran before).
repair_encoder repair_encoder_start(const repair_conf &conf, uint32_t first_block);

// Takes the data datagram p[0, n), whole, as sent at now, into the open
// block, and appends to out the repair datagrams due by now. A block closes
// when it is full, before a datagram of another channel (so blocks never
// mix channels) and before one that would make its repair datagrams too
// long for UDP; a datagram longer than REPAIR_MAX_SOURCE, or empty, goes
// without repair. A closed block's first repair datagram is due at once,
// the others evenly over conf.spread_ns; a block that closes while the
// previous one's repair is still waiting sends that at once.
void repair_encoder_add(repair_encoder *e, const uint8_t *p, size_t n, long long now,
                        repair_datagrams *out);

// Closes the open block when conf.block_ns has passed since its first
// datagram, and appends to out the repair datagrams due by now. A sender
// that wakes for several sends at once may pass a now a few milliseconds
// ahead: the repair then goes that much early, which costs nothing.
void repair_encoder_tick(repair_encoder *e, long long now, repair_datagrams *out);

// repair_encoder_tick for a channel that sends no more data: the open block
// closes at now, however young, so that its repair is out at most
// conf.spread_ns later.
void repair_encoder_flush(repair_encoder *e, long long now, repair_datagrams *out);

// When repair_encoder_tick next has something to do: the open block's time
// limit or the next repair datagram's time; LLONG_MAX while nothing waits.
long long repair_encoder_due(const repair_encoder &e);
