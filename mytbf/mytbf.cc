// mytbf.cc - token buckets, refilled once a second by one background thread.
#include "mytbf.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <new>

#include "mytbf_internal.h"

namespace {

// Live buckets; a null entry is a free slot. Guarded by mut_job.
mytbf_bucket *job[MYTBF_MAX];
// Lock order: mut_job before a bucket's mutex. Only the refill thread and
// the fork handlers hold both.
pthread_mutex_t mut_job = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t once_init = PTHREAD_ONCE_INIT;
pthread_t tid;
// Whether tid is a refill thread of this process: false in a forked child
// until its first call into the library starts one. Guarded by mut_job,
// read without it by the exit handler.
bool refill_running;

// What a call into the library must do first. READY costs the calls one
// load; the other phases are rare and take the slow path in enter_slow.
enum lib_phase : int {
    READY,        // usable (or not started yet)
    CHILD_START,  // a forked child that has no refill thread yet
    SHUT_DOWN,    // the exit handler has run: every call fails at once
};
std::atomic<int> phase{READY};

int min(int a, int b) {
    return a < b ? a : b;
}

// The refill thread. Its only cancellation point is the sleep, where it holds
// no lock. glibc cancels by unwinding this stack, so neither this function
// nor anything below it may be noexcept or hold an object whose clean-up
// could stop the unwind: in a build with exceptions, an unwind that meets a
// noexcept frame ends the process.
void *thr_alrm(void *) {
    for (;;) {
        refill_all();
        // A whole second after the scan, on the monotonic clock: no signal
        // (all are blocked here anyway) and no clock change cuts it short.
        timespec next;
        clock_gettime(CLOCK_MONOTONIC, &next);
        next.tv_sec += 1;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
    return nullptr;
}

// Starts the refill thread with every signal blocked, so that the program's
// signals always go to the program's threads. Returns pthread_create's result.
int start_refill_thread() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&tid, nullptr, thr_alrm, nullptr);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return err;
}

void refill_thread_failed(int err) {
    fprintf(stderr, "pthread_create():%s", strerror(err));
    exit(1);
}

// Applies change to the bucket's state word in one compare-and-swap, so that
// no lock-free fetch or give-back comes between; returns the state replaced.
template <typename F>
bucket_state update_state(mytbf_bucket *b, F change) {
    uint64_t w = b->state.load();
    while (!b->state.compare_exchange_weak(w, pack(change(unpack(w))))) {
    }
    return unpack(w);
}

// Adds add (>= 0) to the bucket's tokens, never beyond burst. Lock free.
void add_tokens(mytbf_bucket *b, int add) {
    update_state(b, [add](bucket_state s) {
        s.tokens = refill(s.tokens, add, s.burst);
        return s;
    });
}

// Takes min(tokens, size) without a lock when the bucket holds tokens and
// nobody waits in line. Returns the number taken, 0 when it took none.
inline int take(mytbf_bucket *b, int size) {
    uint64_t w = b->state.load();
    for (;;) {
        bucket_state s = unpack(w);
        if (s.queued || s.tokens == 0) return 0;
        int n = min(s.tokens, size);
        s.tokens -= n;
        if (b->state.compare_exchange_weak(w, pack(s))) return n;
    }
}

// Takes w out of the line, wherever it stands. Caller holds b->mutex and
// sets queued after.
void unlink_unlocked(mytbf_bucket *b, waiter *w) {
    (w->prev != nullptr ? w->prev->next : b->first) = w->next;
    (w->next != nullptr ? w->next->prev : b->last) = w->prev;
}

// Puts w at the end of the line; from this compare-and-swap on, no lock-free
// fetch takes tokens ahead of it. Caller holds b->mutex.
void join_line_unlocked(mytbf_bucket *b, waiter *w) {
    w->prev = b->last;
    w->next = nullptr;
    (b->last != nullptr ? b->last->next : b->first) = w;
    b->last = w;
    update_state(b, [](bucket_state s) {
        s.queued = true;
        return s;
    });
}

// Hands the bucket's tokens to the line, oldest waiter first, each taking up
// to its size, until the tokens or the line run out; signals each waiter
// served. The last one served clears queued in the same compare-and-swap
// that takes its tokens. Caller holds b->mutex.
void serve_unlocked(mytbf_bucket *b) {
    // While anyone is in line no lock-free fetch takes tokens, and all else
    // that lowers them holds the mutex: tokens seen here are still there.
    while (b->first != nullptr && state_of(b).tokens > 0) {
        waiter *w = b->first;
        bucket_state before = update_state(b, [w](bucket_state s) {
            s.tokens -= min(s.tokens, w->size);
            s.queued = w->next != nullptr;
            return s;
        });
        unlink_unlocked(b, w);
        w->granted = min(before.tokens, w->size);
        pthread_cond_signal(&w->cond);
    }
}

// A waiter that gives up (deadline, cancellation, exit) leaves its place;
// tokens already handed to it go back to the bucket, and so to the next in
// line. Caller holds b->mutex.
void leave_line_unlocked(mytbf_bucket *b, waiter *w) {
    if (w->granted > 0) {
        add_tokens(b, w->granted);
    } else {
        unlink_unlocked(b, w);
        bool queued = b->first != nullptr;
        update_state(b, [queued](bucket_state s) {
            s.queued = queued;
            return s;
        });
    }
    serve_unlocked(b);
}

// Runs at process exit. It stops the refill thread and wakes every fetch in
// line, which leaves with -ESHUTDOWN; later calls fail with -ESHUTDOWN
// without touching a bucket, so a destroy from an earlier atexit handler or
// a static destructor stays harmless. It frees no bucket: a thread may still
// be inside any call on any of them, lock-free, where nothing counts it.
// They stay in the table, reachable, until the process is gone.
void module_unload() {
    phase.store(SHUT_DOWN);
    if (refill_running) {
        pthread_cancel(tid);
        pthread_join(tid, nullptr);
        refill_running = false;
    }
    pthread_mutex_lock(&mut_job);
    for (mytbf_bucket *b : job) {
        if (b == nullptr) continue;
        // Under the mutex, so each waiter either sleeps already or sees
        // SHUT_DOWN before it would.
        pthread_mutex_lock(&b->mutex);
        for (waiter *w = b->first; w != nullptr; w = w->next) pthread_cond_signal(&w->cond);
        pthread_mutex_unlock(&b->mutex);
    }
    pthread_mutex_unlock(&mut_job);
}

// fork: the child gets every lock free. Before the fork the forking thread
// takes the table lock and then every live bucket's lock, in the lock order
// (so no scan, init or destroy is half done, no fetch is half in line, and
// no fetch holds a bucket's lock); the parent releases them after. The
// lock-free token updates are single atomic operations, never half done.
void before_fork() {
    pthread_mutex_lock(&mut_job);
    for (mytbf_bucket *b : job) {
        if (b != nullptr) pthread_mutex_lock(&b->mutex);
    }
}

void after_fork_parent() {
    for (mytbf_bucket *b : job) {
        if (b != nullptr) pthread_mutex_unlock(&b->mutex);
    }
    pthread_mutex_unlock(&mut_job);
}

// The child has only the forking thread: nobody waits in a bucket's line,
// and the refill thread is gone. The next call into the library starts a
// new one (enter_slow); a child that only execs or exits never does.
void after_fork_child() {
    pthread_mutex_init(&mut_job, nullptr);
    for (mytbf_bucket *b : job) {
        if (b == nullptr) continue;
        pthread_mutex_init(&b->mutex, nullptr);
        b->first = b->last = nullptr;
        update_state(b, [](bucket_state s) {
            s.queued = false;
            return s;
        });
    }
    if (refill_running) {
        refill_running = false;
        phase.store(CHILD_START);
    }
}

// Starts the refill thread; runs once, from the first mytbf_init.
void module_load() {
    pthread_atfork(before_fork, after_fork_parent, after_fork_child);
    // Under mut_job, so that no fork comes between the start and its record.
    pthread_mutex_lock(&mut_job);
    int err = start_refill_thread();
    if (err == 0) refill_running = true;
    pthread_mutex_unlock(&mut_job);
    if (err != 0) refill_thread_failed(err);
    atexit(module_unload);
}

// The rare phases of enter(): -ESHUTDOWN after the exit handler; in a forked
// child, starts its refill thread and returns 0.
int enter_slow(int p) {
    if (p == SHUT_DOWN) return -ESHUTDOWN;
    pthread_mutex_lock(&mut_job);
    if (phase.load() == CHILD_START) {
        int err = start_refill_thread();
        if (err != 0) {
            pthread_mutex_unlock(&mut_job);
            refill_thread_failed(err);
        }
        refill_running = true;
        phase.store(READY);
    }
    pthread_mutex_unlock(&mut_job);
    return phase.load() == SHUT_DOWN ? -ESHUTDOWN : 0;
}

// First step of every call: 0 when the library may be used, else -ESHUTDOWN.
// One load and no system call while the library is ready.
inline int enter() {
    int p = phase.load(std::memory_order_acquire);
    return p == READY ? 0 : enter_slow(p);
}

// Lowest free index of job, or -1. Caller holds mut_job.
int get_free_pos_unlocked() {
    for (int i = 0; i < MYTBF_MAX; i++) {
        if (job[i] == nullptr) return i;
    }
    return -1;
}

// A waiter's place, for the clean-up of a cancelled wait.
struct line_place {
    mytbf_bucket *b;
    waiter *w;
};

// Cancellation clean-up of a fetch cancelled in its wait: the wait has taken
// the mutex again; leave the line and let the mutex go.
void cancelled_wait(void *arg) {
    auto *place = static_cast<line_place *>(arg);
    leave_line_unlocked(place->b, place->w);
    pthread_mutex_unlock(&place->b->mutex);
    pthread_cond_destroy(&place->w->cond);
}

// One wait of w for its turn, until deadline (CLOCK_MONOTONIC) when it is
// not null; the wait's result. Caller holds b->mutex, and w is in line. A
// cancellation point: a thread cancelled here leaves the line, costing the
// others nothing, and lets the mutex go.
int wait_once_unlocked(mytbf_bucket *b, waiter *w, const timespec *deadline) {
    int rc;
    line_place place = {b, w};
    pthread_cleanup_push(cancelled_wait, &place);
    if (deadline == nullptr) {
        rc = pthread_cond_wait(&w->cond, &b->mutex);
    } else {
        rc = pthread_cond_clockwait(&w->cond, &b->mutex, CLOCK_MONOTONIC, deadline);
    }
    pthread_cleanup_pop(0);
    return rc;
}

// A fetch that found the bucket empty or others in line: joins the end of
// the line and waits for its turn, at most until deadline when it is not
// null. Returns the tokens taken, -ETIMEDOUT or -ESHUTDOWN.
int fetch_in_line(mytbf_bucket *b, int size, const timespec *deadline) {
    waiter w = {nullptr, nullptr, size, 0, {}};
    pthread_cond_init(&w.cond, nullptr);
    pthread_mutex_lock(&b->mutex);
    join_line_unlocked(b, &w);
    // Tokens given back since the last serving go to the line now; this
    // fetch gets some only if all before it are served.
    serve_unlocked(b);
    // Only a deadline wait fails, and then only with ETIMEDOUT (its
    // nanoseconds were checked, the clock is fixed).
    int rc = 0;
    while (w.granted == 0 && rc == 0 && phase.load() != SHUT_DOWN) {
        rc = wait_once_unlocked(b, &w, deadline);
    }
    int n = w.granted;
    if (n == 0) {
        leave_line_unlocked(b, &w);
        n = rc != 0 ? -ETIMEDOUT : -ESHUTDOWN;
    }
    pthread_mutex_unlock(&b->mutex);
    pthread_cond_destroy(&w.cond);
    return n;
}

// The three fetches. deadline: null to wait as long as it takes; else an
// absolute CLOCK_MONOTONIC time. try_only: return -EAGAIN instead of waiting.
int fetch(mytbf_bucket *b, int size, const timespec *deadline, bool try_only) {
    if (size < 1) return -EINVAL;
    int err = enter();
    if (err != 0) return err;
    int n = take(b, size);
    if (n > 0) return n;
    if (try_only) return -EAGAIN;
    return fetch_in_line(b, size, deadline);
}

}  // namespace

void tick_unlocked(mytbf_bucket *b) {
    add_tokens(b, b->rate);
    serve_unlocked(b);
}

void refill_bucket(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    tick_unlocked(b);
    pthread_mutex_unlock(&b->mutex);
}

void refill_all() {
    pthread_mutex_lock(&mut_job);
    for (mytbf_bucket *b : job) {
        if (b != nullptr) refill_bucket(b);
    }
    pthread_mutex_unlock(&mut_job);
}

mytbf_bucket *mytbf_init(int rate, int burst) {
    if (rate < 1 || burst < 1) {
        errno = EINVAL;
        return nullptr;
    }
    int err = enter();
    if (err != 0) {
        errno = -err;
        return nullptr;
    }
    pthread_once(&once_init, module_load);

    void *mem = malloc(sizeof(mytbf_bucket));
    if (mem == nullptr) return nullptr;
    auto *b = new (mem) mytbf_bucket;
    bucket_setup(b, rate, burst, 0);

    pthread_mutex_lock(&mut_job);
    bool shut_down = phase.load() == SHUT_DOWN;
    int pos = shut_down ? -1 : get_free_pos_unlocked();
    if (pos >= 0) {
        b->slot = pos;
        job[pos] = b;
    }
    // Unlocked before the exit below: the exit handler joins the refill
    // thread, which must be able to finish its scan and reach its sleep.
    pthread_mutex_unlock(&mut_job);
    if (pos >= 0) return b;
    bucket_teardown(b);
    free(b);
    if (shut_down) {
        errno = ESHUTDOWN;
        return nullptr;
    }
    fprintf(stderr, "no free position.\n");
    exit(1);
}

int mytbf_fetchtoken(mytbf_bucket *handle, int size) {
    return fetch(handle, size, nullptr, false);
}

int mytbf_tryfetchtoken(mytbf_bucket *handle, int size) {
    return fetch(handle, size, nullptr, true);
}

int mytbf_timedfetchtoken(mytbf_bucket *handle, int size, const struct timespec *deadline) {
    if (deadline == nullptr || deadline->tv_nsec < 0 || deadline->tv_nsec >= 1000000000L)
        return -EINVAL;
    return fetch(handle, size, deadline, false);
}

int mytbf_returntoken(mytbf_bucket *handle, int size) {
    if (size < 0) return -EINVAL;
    int err = enter();
    if (err != 0) return err;
    add_tokens(handle, size);
    return 0;
}

int mytbf_setrate(mytbf_bucket *handle, int rate, int burst) {
    if (rate < 1 || burst < 1) return -EINVAL;
    int err = enter();
    if (err != 0) return err;
    pthread_mutex_lock(&handle->mutex);
    handle->rate = rate;
    // Burst and tokens change in one step: no give-back caps at the old
    // burst after the excess is dropped.
    update_state(handle, [burst](bucket_state s) {
        s.burst = burst;
        s.tokens = min(s.tokens, burst);
        return s;
    });
    pthread_mutex_unlock(&handle->mutex);
    return 0;
}

int mytbf_destroy(mytbf_bucket *handle) {
    // After the exit handler a call may still be inside the bucket: the
    // bucket stays, and this touches nothing.
    if (enter() != 0) return 0;
    pthread_mutex_lock(&mut_job);
    job[handle->slot] = nullptr;
    pthread_mutex_unlock(&mut_job);
    bucket_teardown(handle);
    free(handle);
    return 0;
}
