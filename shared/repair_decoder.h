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
// A block that the repair datagrams announce is a candidate until
// max(1, k - r) of the data datagrams held fill its slots (the least from
// which it can be rebuilt): then it is confirmed, keeps the datagrams it
// holds for itself and waits for its repair. It orders its datagrams, and
// goes out, only once verified: every slot holds a datagram that came or
// was rebuilt, and the whole block has its CRC-32. A confirmed block that
// is not verified by its time is given up: its datagrams go as they came.
// So a forged or stray table, or a number far from the ones before,
// changes nothing unless the data bear it out; a confirmed block far from
// the ones before means that the server started again, and the blocks
// known go first, as they are.
//
// What holds, whatever comes in (late, twice, reordered or forged), for a
// stream whose datagrams' fingerprints differ (a fingerprint has 16 bits:
// a datagram that shares one with another may take that one's slot, and
// the block then fails its CRC-32 and goes as it came):
// - a datagram goes out at most once: a copy, or a late datagram that its
//   block's repair rebuilt, is dropped, whether it comes while the first
//   is held or within REPAIR_PAST_NS after it went out while verified
//   blocks go out. Of a stream without repair nothing is known: copies go
//   as they came;
// - the datagrams go out in the order sent: a verified block's in the
//   order of its table, verified blocks by number, and a datagram of no
//   verified block in the order it came, before the blocks whose first
//   datagram came after it (a datagram that comes later than its block's
//   next ones goes where it came);
// - no data datagram is held longer than the hold time after it came, nor
//   is a rebuilt one handed out later than the hold time after its block's
//   first datagram or repair datagram came; at that time it goes, with
//   everything that came before it;
// - a rebuilt datagram goes out only when it is what its block's table and
//   CRC say;
// - memory stays bounded: at most REPAIR_MAX_HELD datagrams and
//   REPAIR_MAX_HELD_BYTES of them are held (past that the oldest goes out
//   early), at most REPAIR_MAX_BLOCKS confirmed blocks (past that the
//   oldest goes out, or is given up) and REPAIR_MAX_CANDIDATES candidates (past
//   that the one with the fewest datagrams is forgotten) are known, at most
//   REPAIR_MAX_SYMBOL_BYTES of repair symbols are kept, only for blocks that
//   some datagram held fills (past that a repair datagram is refused), and
//   at most REPAIR_PAST_MAX records of what went out.
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
constexpr size_t REPAIR_MAX_CANDIDATES = 8;
constexpr size_t REPAIR_MAX_SYMBOL_BYTES = 1 << 20;
// How long what went out is remembered: a copy the network brings later
// than this goes out again. Three times the hold, so copies seconds late
// are known.
constexpr long long REPAIR_PAST_NS = 3 * REPAIR_HOLD_NS;
constexpr size_t REPAIR_PAST_MAX = 4096;

// What a decoder did, for the receiver's reports.
struct repair_counts {
    long long handed = 0;      // data datagrams handed out, the rebuilt ones too
    long long rebuilt = 0;     // of those, the ones rebuilt from repair
    long long lost = 0;        // datagrams of blocks the server sent that went without
                               // being rebuilt (a confirmed block's, or one between two)
    long long duplicates = 0;  // data datagrams dropped: copies, or late after their block
    long long refused = 0;     // repair datagrams not taken: malformed, another channel's,
                               // a table unlike its block's that the data fit no better,
                               // or past the memory bound
};

// A data datagram waiting to go out.
struct repair_held {
    std::vector<uint8_t> bytes;
    uint32_t crc = 0;  // CRC-32 of bytes; the fingerprint is its low 16 bits
    long long arrived = 0;
    long long seq = 0;     // its place among the data datagrams that came, from 0
    long long claim = -1;  // the id of the block with it in a slot; -1: none
    bool gone = false;     // handed out or dropped
};

// A block known from its repair datagrams, not handed out yet.
struct repair_block {
    long long id = 0;  // unique in its decoder
    uint32_t number = 0;
    int k = 0;
    int r = 0;
    size_t symbol_len = 0;
    uint32_t crc = 0;
    std::vector<uint8_t> table;                       // the fingerprints as they came, 2k bytes
    long long known_at = 0;                           // when its first repair datagram came
    long long deadline = 0;                           // when it goes out, complete or not
    std::vector<long long> slot_seq;                  // the datagram that came for each slot, or -1
    std::vector<std::vector<uint8_t>> rebuilt;        // a rebuilt datagram per slot, or empty
    std::vector<int> repair_index;                    // repair symbols kept: their numbers,
    std::vector<std::vector<uint8_t>> repair_symbol;  // and the symbols
    int came = 0;                                     // slots whose datagram came
    bool confirmed = false;  // came reached max(1, k - r): it orders its datagrams
    bool spent = false;      // a candidate one of whose datagrams went out: it never orders
    bool first = false;      // the decoder's first confirmed block: slots before the first
                             // that came may be from before the receiver joined
    bool verified = false;   // every slot holds what the table and CRC say: it orders
                             // its datagrams and goes out
    bool failed = false;     // what came or its repair is not what its table says
    bool ended = false;      // goes out at the next chance
};

// A datagram that went out, remembered for REPAIR_PAST_NS.
struct repair_past {
    long long at = 0;    // when it went out
    uint32_t crc = 0;    // its CRC-32
    uint32_t len = 0;    // its length
    bool alone = false;  // it went out with no block
};

struct repair_decoder {
    uint8_t chnid = 0;
    long long hold_ns = 0;
    std::deque<repair_held> held;      // data datagrams by arrival; held[i].seq = held[0].seq + i
    std::vector<repair_block> blocks;  // confirmed ones and candidates, in no order
    std::deque<repair_past> past;      // oldest first
    std::deque<uint32_t> given_up;     // the numbers of the last blocks that did not check out
    long long next_seq = 0;
    long long next_id = 0;
    bool handed_block = false;    // a confirmed block went out or was given up since the
    uint32_t last_block = 0;      //   server started: the last one's number
    bool block_out = false;       // a verified block went out at all:
    long long last_block_at = 0;  //   the last one when
    size_t held_bytes = 0;
    size_t symbol_bytes = 0;
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
// repair_counts); a late one, of a block already handed out or older, is
// taken and ignored.
bool repair_decoder_repair(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                           repair_datagrams *out);

// Appends to out what may go at now: blocks and datagrams whose time is up.
void repair_decoder_tick(repair_decoder *d, long long now, repair_datagrams *out);

// When repair_decoder_tick next has something to hand out by time;
// LLONG_MAX while nothing is held.
long long repair_decoder_due(const repair_decoder &d);
