// mytbf.h - token buckets refilled once a second by one background thread.
//
// A caller creates a bucket with a rate and a burst, takes tokens before it
// acts (blocking while the bucket is empty) and may give back what it did not
// use. One refill thread, started by the first mytbf_init, adds `rate` tokens
// to every live bucket once a second, never beyond `burst`. At most 1024
// buckets are live at once. Usable from C and C++.
//
// Safe in threaded programs: a fetch cancelled while it waits leaves the
// bucket as it found it; the refill thread blocks every signal; a forked
// child that goes on using the library gets its own refill thread. After
// the library's exit handler has run, every call is harmless: destroy
// returns 0, the others return -ESHUTDOWN (init: null, errno ESHUTDOWN).
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
// and returns that number; blocks while the bucket is empty (a cancellation
// point there). -EINVAL at once when size is below 1.
int mytbf_fetchtoken(mytbf_bucket *handle, int size);

// Like mytbf_fetchtoken when the bucket holds tokens; else returns -EAGAIN
// at once. For event loops. -EINVAL when size is below 1.
int mytbf_tryfetchtoken(mytbf_bucket *handle, int size);

// Like mytbf_fetchtoken, but waits at most until deadline, an absolute time
// on CLOCK_MONOTONIC (so changes of the system clock do not move it), and
// then returns -ETIMEDOUT; with a deadline already past it takes what is
// there or returns -ETIMEDOUT without waiting. A cancellation point while
// it waits, as safe to cancel as mytbf_fetchtoken. -EINVAL when size is
// below 1 or deadline is null or has tv_nsec outside 0..999999999.
int mytbf_timedfetchtoken(mytbf_bucket *handle, int size, const struct timespec *deadline);

// Gives size unused tokens back (the bucket still holds no more than burst).
// Returns 0, or -EINVAL when size is below 0. Does not wake waiting fetches:
// they see the tokens at their next wake-up, at the latest at the next tick.
int mytbf_returntoken(mytbf_bucket *handle, int size);

// Removes and frees the bucket; returns 0. No other thread may be using it.
int mytbf_destroy(mytbf_bucket *handle);

#ifdef __cplusplus
}
#endif

#endif
