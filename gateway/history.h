// history.h - what the gateway holds of one channel's byte stream: the
// recent chunks that a new listener's burst is cut from, where the MP3
// frames in them start, and when each byte arrived (for the lag rule).
// Pure: the caller hands in the time.
//
// Stream offsets count the channel's payload bytes since the gateway
// started. A chunk is the payloads of the channel that one drain of the
// socket took, kept once and shared, by reference count, by every
// listener's output queue that holds it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

struct chunk {
    int refs;
    std::vector<uint8_t> bytes;
};

// A chunk holding bytes, with one reference (the caller's).
chunk *chunk_new(std::vector<uint8_t> bytes);
void chunk_ref(chunk *c);
// Drops one reference; the last frees the chunk.
void chunk_unref(chunk *c);

struct held_chunk {
    chunk *c;  // one reference held by the history
    uint64_t offset;
    long long arrival_ns;
};

// The start of an audio frame, and the playing time of every frame marked
// before it.
struct frame_mark {
    uint64_t offset;
    long long ns_before;
};

struct arrival {
    uint64_t offset;  // the first byte of a chunk
    long long ns;
};

struct history_limits {
    long long burst_ns;  // how much audio a new listener starts with
    long long lag_ns;    // how old a listener's oldest unsent byte may be
};

struct history {
    uint64_t end = 0;  // the offset after the last byte taken
    // The first byte that a listener has still to take from the held
    // chunks (UINT64_MAX: none has): the chunks from it on stay held.
    uint64_t pull_from = UINT64_MAX;
    std::deque<held_chunk> held;
    size_t held_bytes = 0;
    std::deque<frame_mark> marks;  // frames starting in held chunks, in order
    long long marked_ns = 0;       // playing time of every frame marked so far
    std::deque<arrival> arrivals;  // every chunk of the last lag_ns and more
};

// Takes the next chunk of the stream (with a reference of its own). The
// caller then marks the frames that it completes and calls history_trim.
void history_take(history *h, chunk *c, long long now);

// Marks the frame that starts at offset and plays ns, the next one after
// those marked: only its time counts when it starts before the held chunks.
void history_mark(history *h, uint64_t offset, long long ns);

// Drops what the limits no longer need at now: held chunks beyond the
// burst (or older than the burst and HISTORY_HOLD_SLACK_NS, or past
// HISTORY_HOLD_MAX_BYTES) that end before pull_from, and arrivals older
// than the lag and HISTORY_ARRIVAL_SLACK_NS.
void history_trim(history *h, long long now, const history_limits &lim);

// Drops everything held; the offsets go on from end.
void history_clear(history *h);

// Where a new listener starts: the latest frame start from which the
// marked frames play for at least burst_ns, or the earliest frame held
// when they all play for less. False when no frame start is held.
bool history_burst_start(const history &h, long long burst_ns, uint64_t *offset);

// The age at now of the byte at offset by its arrival time; -1 when it
// arrived before the oldest arrival kept (so it is older than the lag).
long long history_age_ns(const history &h, uint64_t offset, long long now);

// Held chunks are kept at most this long beyond the burst, and at most
// this many bytes, whatever their frames play for.
constexpr long long HISTORY_HOLD_SLACK_NS = 5'000'000'000LL;
constexpr size_t HISTORY_HOLD_MAX_BYTES = 1 << 20;
constexpr long long HISTORY_ARRIVAL_SLACK_NS = 5'000'000'000LL;
constexpr size_t HISTORY_ARRIVALS_MAX = 1 << 16;
