// mytbf_internal.h - the bucket record and the token arithmetic, for the
// library itself and its tests; not part of the public interface.
#ifndef MYTBF_INTERNAL_H
#define MYTBF_INTERNAL_H

#include <pthread.h>

#include <atomic>

#include "mytbf.h"

// Most buckets live at once in one process.
constexpr int MYTBF_MAX = 1024;

// Which fields are atomic and which the mutex guards, and why no wake-up is
// lost:
// - rate, burst: set by mytbf_init, never changed; read without a lock.
// - slot: set by mytbf_init; the job table that it indexes is guarded by
//   mut_job.
// - tokens: atomic. A fetch that finds tokens takes them with a
//   compare-and-swap and no lock; a give-back adds with one. The refill
//   thread adds with a compare-and-swap too, but only while holding mutex.
// - waiters: atomic, changed only under mutex, read without it by the lock
//   free fetch.
// - mutex: guards nothing but the sleep: a fetch that finds the bucket empty
//   takes it, counts itself in waiters, checks tokens once more and waits on
//   cond, all without letting mutex go between the check and the wait.
// Every broadcast is made holding mutex, so it comes either before a
// waiter's last check (which then sees the tokens it announces) or after the
// waiter sleeps. A refill adds under mutex and then broadcasts: a waiter
// cannot miss a tick. A fetch that leaves tokens reads waiters after its
// compare-and-swap; a waiter counts itself before its last check. Both are
// sequentially consistent, so either the waiter's check sees the tokens left
// or the fetch sees the waiter and broadcasts (taking mutex, so after the
// waiter sleeps). A give-back wakes nobody: waiters see its tokens at their
// next wake-up, at the latest at the next tick.
struct mytbf_bucket {
    int rate;                  // tokens added at every tick
    int burst;                 // most tokens the bucket holds
    std::atomic<int> tokens;   // tokens now in the bucket, 0..burst
    int slot;                  // index of this bucket in the job table
    std::atomic<int> waiters;  // fetches in the waiting path; changed only under mutex
    pthread_mutex_t mutex;     // taken to sleep on cond and to broadcast it
    // Broadcast at every tick, and after a fetch that leaves tokens to waiters.
    pthread_cond_t cond;
};

// Sets up a new bucket: its numbers, no slot yet, no waiters, a fresh mutex
// and cond. The library's init uses it; so do tests that keep a bucket out
// of the job table, where only they refill it.
inline void bucket_setup(mytbf_bucket *b, int rate, int burst, int tokens) {
    b->rate = rate;
    b->burst = burst;
    b->tokens = tokens;
    b->slot = -1;
    b->waiters = 0;
    pthread_mutex_init(&b->mutex, nullptr);
    pthread_cond_init(&b->cond, nullptr);
}

// Releases what bucket_setup made (not the bucket's memory).
inline void bucket_teardown(mytbf_bucket *b) {
    pthread_mutex_destroy(&b->mutex);
    pthread_cond_destroy(&b->cond);
}

// Tokens after adding add (>= 0) to tokens (<= burst): never above burst, and
// the sum saturates there instead of overflowing int.
inline int refill(int tokens, int add, int burst) {
    return tokens >= burst - add ? burst : tokens + add;
}

// Adds add (>= 0) to the bucket's tokens, never beyond burst. Lock free.
inline void add_tokens(mytbf_bucket *b, int add) {
    int t = b->tokens.load();
    while (!b->tokens.compare_exchange_weak(t, refill(t, add, b->burst))) {
    }
}

// What one tick of the refill thread does to one live bucket: add rate,
// capped at burst, and wake the fetches waiting for tokens. Under mutex, so
// that a fetch between its last check and its wait cannot miss the tick.
inline void refill_bucket(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    add_tokens(b, b->rate);
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mutex);
}

// One refill scan: refill_bucket on every live bucket, under the table lock,
// as the refill thread makes once a tick. Tests call it to run many scans.
void refill_all();

#endif
