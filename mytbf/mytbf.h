// mytbf.h - token buckets refilled once a second by one background thread.
//
// A caller creates a bucket with a rate and a burst, takes tokens before it
// acts (blocking while the bucket is empty, in turn with other waiters) and
// may give back what it did not use. One refill thread, started by the
// first mytbf_init, adds `rate` tokens to every live bucket once a second,
// never beyond `burst`. At most 1024 buckets are live at once. Usable from
// C and C++.
//
// Safe in threaded programs: a fetch cancelled while it waits leaves the
// line without costing the others their place or tokens; the refill thread
// blocks every signal; a forked child that goes on using the library gets
// its own refill thread. After the library's exit handler has run, every
// call is harmless: destroy returns 0, the others return -ESHUTDOWN (init:
// null, errno ESHUTDOWN); calls still running then touch no freed memory
// (the handler frees no bucket).
#ifndef MYTBF_H
#define MYTBF_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct mytbf_bucket mytbf_bucket;

// A new empty bucket (0 tokens) filled by `rate` tokens a second up to `burst`.
// Null when it cannot be allocated (errno from the allocator), or with errno
// EINVAL when rate or burst is below 1. Ends the process with status 1 when
// 1024 buckets are already live.
mytbf_bucket *mytbf_init(int rate, int burst);

// Takes between 1 and size tokens (as many as the bucket holds, up to size)
// and returns that number; blocks while the bucket is empty or earlier
// fetches wait (a cancellation point there). Waiting fetches are served in
// the order they began to wait. -EINVAL at once when size is below 1.
int mytbf_fetchtoken(mytbf_bucket *handle, int size);

// Like mytbf_fetchtoken when the bucket holds tokens and no fetch waits;
// else returns -EAGAIN at once. For event loops. -EINVAL when size is below 1.
int mytbf_tryfetchtoken(mytbf_bucket *handle, int size);

// Like mytbf_fetchtoken, but waits at most until deadline, an absolute time
// on CLOCK_MONOTONIC (so changes of the system clock do not move it), and
// then returns -ETIMEDOUT, leaving its place in line; with a deadline
// already past it does not wait: it takes what it can have at once, or
// returns -ETIMEDOUT. A cancellation point while it waits, as safe to
// cancel as mytbf_fetchtoken. -EINVAL when size is below 1 or deadline is
// null or has tv_nsec outside 0..999999999.
int mytbf_timedfetchtoken(mytbf_bucket *handle, int size, const struct timespec *deadline);

// Gives size unused tokens back (the bucket still holds no more than burst).
// Returns 0, or -EINVAL when size is below 0. Does not wake waiting fetches:
// the tokens go to them, oldest first, at the next wake-up, at the latest at
// the next tick.
int mytbf_returntoken(mytbf_bucket *handle, int size);

// From the next tick on adds rate tokens a tick, up to burst; tokens above
// the new burst are dropped at once. Wakes nobody. Returns 0, or -EINVAL
// when rate or burst is below 1.
int mytbf_setrate(mytbf_bucket *handle, int rate, int burst);

// Removes and frees the bucket; returns 0. No other thread may be using it.
int mytbf_destroy(mytbf_bucket *handle);

#ifdef __cplusplus
}
#endif

#endif
