// mytbf_internal.h - the bucket record and the token arithmetic, for the
// library itself and its tests; not part of the public interface.
#ifndef MYTBF_INTERNAL_H
#define MYTBF_INTERNAL_H

#include <pthread.h>

#include "mytbf.h"

// Most buckets live at once in one process.
constexpr int MYTBF_MAX = 1024;

struct mytbf_bucket {
    int rate;     // tokens added at every tick
    int burst;    // most tokens the bucket holds
    int tokens;   // tokens now in the bucket, 0..burst; guarded by mutex
    int slot;     // index of this bucket in the job table
    int waiters;  // fetches waiting on cond; guarded by mutex
    pthread_mutex_t mutex;
    // Broadcast at every tick, and after a fetch that leaves tokens to waiters.
    pthread_cond_t cond;
};

// Tokens after adding add (>= 0) to tokens (<= burst): never above burst, and
// the sum saturates there instead of overflowing int.
inline int refill(int tokens, int add, int burst) {
    return tokens >= burst - add ? burst : tokens + add;
}

// What one tick of the refill thread does to one live bucket: add rate,
// capped at burst, and wake the fetches waiting for tokens.
inline void refill_bucket(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    b->tokens = refill(b->tokens, b->rate, b->burst);
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mutex);
}

// One refill scan: refill_bucket on every live bucket, under the table lock,
// as the refill thread makes once a tick. Tests call it to run many scans.
void refill_all();

#endif
