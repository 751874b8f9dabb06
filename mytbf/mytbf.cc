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
// load; the other states are rare and take the slow path in enter_slow.
enum lib_state : int {
    READY,        // usable (or not started yet)
    CHILD_START,  // a forked child that has no refill thread yet
    SHUT_DOWN,    // the exit handler has run: every call fails at once
};
std::atomic<int> state{READY};

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

// Runs at process exit; later calls fail with -ESHUTDOWN without touching a
// bucket, so a destroy from an earlier atexit handler or a static destructor
// stays harmless. A bucket that a fetch still waits on is not freed: the
// waiter is woken, leaves with -ESHUTDOWN, and the bucket stays in the table.
void module_unload() {
    state.store(SHUT_DOWN);
    if (refill_running) {
        pthread_cancel(tid);
        pthread_join(tid, nullptr);
        refill_running = false;
    }
    pthread_mutex_lock(&mut_job);
    for (int i = 0; i < MYTBF_MAX; i++) {
        mytbf_bucket *b = job[i];
        if (b == nullptr) continue;
        pthread_mutex_lock(&b->mutex);
        bool waited_on = b->waiters > 0;
        if (waited_on) pthread_cond_broadcast(&b->cond);
        pthread_mutex_unlock(&b->mutex);
        if (waited_on) continue;
        job[i] = nullptr;
        free(b);
    }
    pthread_mutex_unlock(&mut_job);
}

// fork: the child gets every lock free. Before the fork the forking thread
// takes the table lock and then every live bucket's lock, in the lock order
// (so no scan, init or destroy is half done, and no fetch holds a bucket's
// lock); the parent releases them after. The lock-free token updates are
// single atomic operations, never half done.
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

// The child has only the forking thread: nobody waits on a bucket, and the
// refill thread is gone. The next call into the library starts a new one
// (enter_slow); a child that only execs or exits never does.
void after_fork_child() {
    pthread_mutex_init(&mut_job, nullptr);
    for (mytbf_bucket *b : job) {
        if (b == nullptr) continue;
        pthread_mutex_init(&b->mutex, nullptr);
        pthread_cond_init(&b->cond, nullptr);
        b->waiters = 0;
    }
    if (refill_running) {
        refill_running = false;
        state.store(CHILD_START);
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

// The rare states of enter(): -ESHUTDOWN after the exit handler; in a forked
// child, starts its refill thread and returns 0.
int enter_slow(int s) {
    if (s == SHUT_DOWN) return -ESHUTDOWN;
    pthread_mutex_lock(&mut_job);
    if (state.load() == CHILD_START) {
        int err = start_refill_thread();
        if (err != 0) {
            pthread_mutex_unlock(&mut_job);
            refill_thread_failed(err);
        }
        refill_running = true;
        state.store(READY);
    }
    pthread_mutex_unlock(&mut_job);
    return state.load() == SHUT_DOWN ? -ESHUTDOWN : 0;
}

// First step of every call: 0 when the library may be used, else -ESHUTDOWN.
// One load and no system call while the library is ready.
inline int enter() {
    int s = state.load(std::memory_order_acquire);
    return s == READY ? 0 : enter_slow(s);
}

// Lowest free index of job, or -1. Caller holds mut_job.
int get_free_pos_unlocked() {
    for (int i = 0; i < MYTBF_MAX; i++) {
        if (job[i] == nullptr) return i;
    }
    return -1;
}

// Takes min(tokens, size) from the bucket if it holds any, without a lock.
// Returns the number taken (0 when empty); *left is what it left behind.
inline int take(mytbf_bucket *b, int size, int *left) {
    int t = b->tokens.load();
    while (t > 0) {
        int n = min(t, size);
        if (b->tokens.compare_exchange_weak(t, t - n)) {
            *left = t - n;
            return n;
        }
    }
    return 0;
}

// Cancellation clean-up of a fetch cancelled in its wait: the wait has taken
// the mutex again; undo the waiter count and let the mutex go.
void cancelled_wait(void *arg) {
    auto *b = static_cast<mytbf_bucket *>(arg);
    b->waiters--;
    pthread_mutex_unlock(&b->mutex);
}

// One wait on the bucket's cond, until deadline (CLOCK_MONOTONIC) when it is
// not null; the wait's result. Caller holds b->mutex and is counted in
// b->waiters. A cancellation point: a thread cancelled here leaves the
// bucket as it found it.
int wait_once_unlocked(mytbf_bucket *b, const timespec *deadline) {
    int rc;
    pthread_cleanup_push(cancelled_wait, b);
    if (deadline == nullptr) {
        rc = pthread_cond_wait(&b->cond, &b->mutex);
    } else {
        rc = pthread_cond_clockwait(&b->cond, &b->mutex, CLOCK_MONOTONIC, deadline);
    }
    pthread_cleanup_pop(0);
    return rc;
}

// A fetch that found the bucket empty: waits for tokens under the mutex, at
// most until deadline when it is not null. Returns the tokens taken,
// -ETIMEDOUT or -ESHUTDOWN.
int fetch_slow(mytbf_bucket *b, int size, const timespec *deadline) {
    pthread_mutex_lock(&b->mutex);
    // Counted before the last check: see the record's comment.
    b->waiters++;
    int left = 0;
    int n = take(b, size, &left);
    while (n == 0) {
        if (state.load() == SHUT_DOWN) {
            n = -ESHUTDOWN;
            break;
        }
        // Only a deadline wait fails, and then only with ETIMEDOUT (its
        // nanoseconds were checked, the clock is fixed).
        if (wait_once_unlocked(b, deadline) != 0) {
            n = take(b, size, &left);
            if (n == 0) n = -ETIMEDOUT;
            break;
        }
        n = take(b, size, &left);
    }
    b->waiters--;
    // Waiters still counted may take what is left.
    if (n > 0 && left > 0 && b->waiters.load() > 0) pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mutex);
    return n;
}

// A fetch that took tokens without the lock and left some: wakes the fetches
// waiting, with the mutex held so that none of them is between its last
// check and its wait.
void wake_waiters(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mutex);
}

// The three fetches. deadline: null to wait as long as it takes; else an
// absolute CLOCK_MONOTONIC time. try_only: return -EAGAIN instead of waiting.
int fetch(mytbf_bucket *b, int size, const timespec *deadline, bool try_only) {
    if (size < 1) return -EINVAL;
    int err = enter();
    if (err != 0) return err;
    int left = 0;
    int n = take(b, size, &left);
    if (n > 0) {
        if (left > 0 && b->waiters.load() > 0) wake_waiters(b);
        return n;
    }
    if (try_only) return -EAGAIN;
    return fetch_slow(b, size, deadline);
}

}  // namespace

void refill_all() {
    pthread_mutex_lock(&mut_job);
    for (int i = 0; i < MYTBF_MAX; i++) {
        if (job[i] != nullptr) refill_bucket(job[i]);
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
    if (state.load() == SHUT_DOWN) {
        // The exit handler has already freed the table.
        pthread_mutex_unlock(&mut_job);
        free(b);
        errno = ESHUTDOWN;
        return nullptr;
    }
    int pos = get_free_pos_unlocked();
    if (pos < 0) {
        // Unlock first: the exit handler joins the refill thread, which must
        // be able to finish its scan and reach its sleep.
        pthread_mutex_unlock(&mut_job);
        fprintf(stderr, "no free position.\n");
        free(b);
        exit(1);
    }
    b->slot = pos;
    job[pos] = b;
    pthread_mutex_unlock(&mut_job);
    return b;
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

int mytbf_destroy(mytbf_bucket *handle) {
    // After the exit handler the bucket may be freed already: touch nothing.
    if (enter() != 0) return 0;
    pthread_mutex_lock(&mut_job);
    job[handle->slot] = nullptr;
    pthread_mutex_unlock(&mut_job);
    bucket_teardown(handle);
    free(handle);
    return 0;
}
