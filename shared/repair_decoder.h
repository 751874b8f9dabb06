// repair_decoder.h - the receiver's side of repair (repair.h): a decoder per
// channel takes the channel's data and repair datagrams as they come and
// hands out the channel's data datagrams in the order they were sent, the
// lost ones rebuilt where their block allows. Time is passed in (monotonic
// nanoseconds, never going back); nothing here reads a clock or does I/O.
//
// A receiver gives it the datagrams of the channel it relays (data from
// the data port, repair from the repair port, both only from the server's
// address and port), writes out what each call appends, and wakes at
// repair_decoder_due to call repair_decoder_tick.
//
// What holds, whatever comes in:
// - no data datagram is held longer than the hold time after it came, nor
//   is a rebuilt one handed out later than the hold time after its block's
//   first datagram or repair datagram came; at that time it goes, with
//   everything that came before it;
// - a block's datagrams go out in the order of its table; a datagram that
//   came before a block's first one goes out before it;
// - a rebuilt datagram goes out only when it is what the block's table and
//   CRC say; a block that cannot be rebuilt still hands out what came;
// - a datagram goes out once when the network brings it twice before its
//   block goes out, or brings it late after its block's repair rebuilt it
//   (a copy that comes after its block went out is taken for a new one);
// - memory stays bounded: at most REPAIR_MAX_HELD datagrams and
//   REPAIR_MAX_HELD_BYTES of them are held (past that the oldest goes out
//   early), at most REPAIR_MAX_BLOCKS blocks are known at once (past that
//   the oldest goes out as it is), and at most REPAIR_MAX_SYMBOL_BYTES of
//   repair symbols are kept (past that a repair datagram is refused).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "repair.h"
#include "repair_encoder.h"

constexpr size_t REPAIR_MAX_HELD = 1024;
constexpr size_t REPAIR_MAX_HELD_BYTES = 1 << 20;
constexpr size_t REPAIR_MAX_BLOCKS = 4;
constexpr size_t REPAIR_MAX_SYMBOL_BYTES = 1 << 20;

// What a decoder did, for the receiver's reports.
struct repair_counts {
    long long handed = 0;      // data datagrams handed out, the rebuilt ones too
    long long rebuilt = 0;     // of those, the ones rebuilt from repair
    long long lost = 0;        // datagrams of known blocks that went without being rebuilt
    long long duplicates = 0;  // data datagrams that came twice or after being rebuilt, dropped
    long long refused = 0;     // repair datagrams not taken: malformed, another channel's,
                               // unlike the others of their block, or past the memory bound
};

// A data datagram waiting to go out.
struct repair_held {
    std::vector<uint8_t> bytes;
    uint16_t fingerprint = 0;
    long long arrived = 0;
    long long seq = 0;      // its place among the data datagrams that came, from 0
    bool in_block = false;  // it has a slot in a known block:
    uint32_t block = 0;     //   that block's number
    bool gone = false;      // handed out or dropped
};

// A block known from its repair datagrams, not handed out yet.
struct repair_block {
    uint32_t number = 0;
    int k = 0;
    int r = 0;
    size_t symbol_len = 0;
    uint32_t crc = 0;
    std::vector<uint8_t> table;                       // the fingerprints as they came, 2k bytes
    long long known_at = 0;                           // when its first repair datagram came
    long long deadline = 0;                           // when it goes out, complete or not
    std::vector<long long> slot_seq;                  // the held datagram in each slot, or -1
    std::vector<std::vector<uint8_t>> rebuilt;        // a rebuilt datagram per slot, or empty
    std::vector<int> repair_index;                    // repair symbols kept: their numbers,
    std::vector<std::vector<uint8_t>> repair_symbol;  // and the symbols
    bool first = false;   // the decoder's first block: slots before the first that came
                          // may be from before the receiver joined
    bool failed = false;  // its repair did not rebuild what its table says
    bool ended = false;   // goes out at the next chance
};

struct repair_decoder {
    uint8_t chnid = 0;
    long long hold_ns = 0;
    std::deque<repair_held> held;      // data datagrams by arrival; held[i].seq = held[0].seq + i
    std::vector<repair_block> blocks;  // by number, oldest first
    long long next_seq = 0;
    bool handed_block = false;  // a block went out:
    uint32_t last_block = 0;    //   the last one's number
    size_t held_bytes = 0;
    size_t symbol_bytes = 0;
    // The last block handed out: the datagrams rebuilt in it, and until
    // when one of them may still come from the network, late.
    std::vector<std::vector<uint8_t>> last_rebuilt;
    long long last_rebuilt_until = 0;
    repair_counts counts;
};

// A decoder for channel chnid (1 to 255) that holds a datagram at most
// hold_ns (REPAIR_HOLD_NS for the server's defaults).
repair_decoder repair_decoder_start(uint8_t chnid, long long hold_ns);

// Takes the data datagram p[0, n) that came at now and appends to out, in
// order, the data datagrams that may go. False, taking nothing, when it is
// no data datagram of the channel (empty, too long, another chnid).
bool repair_decoder_data(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                         repair_datagrams *out);

// Takes the repair datagram p[0, n) that came at now and appends to out
// what may go. False, counted in refused, when it is not taken (see
// repair_counts); a late one, of a block already handed out, is taken and
// ignored. A block number far from the ones before means that the server
// started again: the blocks known go out as they are.
bool repair_decoder_repair(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                           repair_datagrams *out);

// Appends to out what may go at now: blocks and datagrams whose time is up.
void repair_decoder_tick(repair_decoder *d, long long now, repair_datagrams *out);

// When repair_decoder_tick next has something to hand out by time;
// LLONG_MAX while nothing is held.
long long repair_decoder_due(const repair_decoder &d);
