// mytbf_internal.h - the bucket record, its state word and the token
// arithmetic, for the library itself and its tests; not part of the public
// interface.
#ifndef MYTBF_INTERNAL_H
#define MYTBF_INTERNAL_H

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "mytbf.h"

// Most buckets live at once in one process.
constexpr int MYTBF_MAX = 1024;

// What a bucket's state word holds. The three change together in one
// atomic word, so that no lock-free fetch or give-back acts on a token
// count whose burst or line it has not seen.
struct bucket_state {
    int tokens;   // tokens now in the bucket, 0..burst
    int burst;    // most tokens the bucket holds, 1..INT_MAX
    bool queued;  // some fetch waits in line: the tokens are the line's
};

// The word's layout: tokens in bits 0-31, burst in bits 32-62, queued in 63.
constexpr uint64_t QUEUED_BIT = uint64_t{1} << 63;

inline uint64_t pack(bucket_state s) {
    return static_cast<uint32_t>(s.tokens) | static_cast<uint64_t>(s.burst) << 32 |
           (s.queued ? QUEUED_BIT : 0);
}

inline bucket_state unpack(uint64_t w) {
    return {static_cast<int>(static_cast<uint32_t>(w)), static_cast<int>(w >> 32 & 0x7fffffff),
            (w & QUEUED_BIT) != 0};
}

// A fetch waiting in a bucket's line. It lives on the waiting thread's
// stack, from before it joins the line until after it has left it; every
// field is read and written under the bucket's mutex.
struct waiter {
    waiter *prev, *next;  // neighbours in line; null at its ends
    int size;             // the most this fetch takes
    int granted;          // tokens handed to it; 0 while it waits in line
    pthread_cond_t cond;  // signalled when it is served, and at exit
};

// Which fields are atomic and which the mutex guards, why no fetch is
// served out of turn, and why no wake-up is lost:
// - state: one atomic word of tokens, burst and queued (bucket_state). A
//   fetch that finds tokens and queued clear takes them with a
//   compare-and-swap and no lock; a give-back adds with one, capped at the
//   burst of the same word. Every other change holds mutex and is a
//   compare-and-swap too: the refill, mytbf_setrate (the burst and the
//   tokens above it go in one step, so no give-back caps at a burst already
//   replaced), and joining, leaving and serving the line.
// - rate: guarded by mutex (the refill reads it, mytbf_setrate writes it).
// - slot: set by mytbf_init; the job table that it indexes is guarded by
//   mut_job.
// - first, last and the waiter records in line: guarded by mutex. queued
//   is set exactly while the line is not empty.
// Turns. A fetch that finds the bucket empty, or queued set, takes mutex
// and joins the end of the line, setting queued in a compare-and-swap that
// every later lock-free fetch must get past: those fail (the word changed)
// or see queued and join the line behind it. Tokens reach the line only
// under mutex, oldest waiter first, each taking up to its size
// (serve_unlocked). A give-back while the line is not empty wakes nobody:
// its tokens stay in the word until the line is next served (a tick, a
// fetch joining, a waiter leaving).
// Wake-ups. A waiter sleeps on its own cond, with mutex, until granted is
// set; whoever serves it sets granted and signals under mutex, so the
// signal comes after it sleeps or before its check. The refill adds and
// serves under mutex: a waiter cannot miss a tick.
struct mytbf_bucket {
    std::atomic<uint64_t> state;  // tokens, burst, queued (bucket_state)
    int rate;                     // tokens added at every tick; under mutex
    int slot;                     // index of this bucket in the job table
    waiter *first, *last;         // the line, oldest first; under mutex
    pthread_mutex_t mutex;        // guards the line and rate; see above
};

// The bucket's state now.
inline bucket_state state_of(const mytbf_bucket *b) {
    return unpack(b->state.load());
}

// Sets up a new bucket: its numbers, no slot yet, nobody in line, a fresh
// mutex. The library's init uses it; so do tests that keep a bucket out of
// the job table, where only they refill it.
inline void bucket_setup(mytbf_bucket *b, int rate, int burst, int tokens) {
    b->state = pack({tokens, burst, false});
    b->rate = rate;
    b->slot = -1;
    b->first = b->last = nullptr;
    pthread_mutex_init(&b->mutex, nullptr);
}

// Releases what bucket_setup made (not the bucket's memory).
inline void bucket_teardown(mytbf_bucket *b) {
    pthread_mutex_destroy(&b->mutex);
}

// Tokens after adding add (>= 0) to tokens (<= burst): never above burst, and
// the sum saturates there instead of overflowing int.
inline int refill(int tokens, int add, int burst) {
    return tokens >= burst - add ? burst : tokens + add;
}

// What one tick of the refill thread does to one live bucket: add rate,
// capped at burst, and hand the tokens to the line, oldest first. Caller
// holds b->mutex.
void tick_unlocked(mytbf_bucket *b);

// tick_unlocked under the bucket's mutex.
void refill_bucket(mytbf_bucket *b);

// One refill scan: refill_bucket on every live bucket, under the table lock,
// as the refill thread makes once a tick. Tests call it to run many scans.
void refill_all();

#endif
