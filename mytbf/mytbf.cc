// mytbf.cc - token buckets, refilled once a second by one background thread.
#include "mytbf.h"

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mytbf_internal.h"

namespace {

// Live buckets; a null entry is a free slot. Guarded by mut_job.
mytbf_bucket *job[MYTBF_MAX];
// Lock order: mut_job before a bucket's mutex. Only the refill thread holds both.
pthread_mutex_t mut_job = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t once_init = PTHREAD_ONCE_INIT;
pthread_t tid;
// The process that started the refill thread; a child forked from it has none.
pid_t loader_pid;

int min(int a, int b) {
    return a < b ? a : b;
}

// Adds one tick's tokens to every live bucket and wakes its waiting fetches.
void refill_all() {
    pthread_mutex_lock(&mut_job);
    for (int i = 0; i < MYTBF_MAX; i++) {
        if (job[i] != nullptr) refill_bucket(job[i]);
    }
    pthread_mutex_unlock(&mut_job);
}

// The refill thread. It is cancelled at exit inside sleep(), its only
// cancellation point, where it holds no lock. glibc cancels by unwinding this
// stack, so neither this function nor anything below it may be noexcept or
// hold an object whose clean-up could stop the unwind: in a build with
// exceptions, an unwind that meets a noexcept frame ends the process.
void *thr_alrm(void *) {
    for (;;) {
        refill_all();
        sleep(1);
    }
    return nullptr;
}

// Runs at process exit. No other thread may be inside the library by then.
void module_unload() {
    if (getpid() == loader_pid) {
        pthread_cancel(tid);
        pthread_join(tid, nullptr);
    }
    for (int i = 0; i < MYTBF_MAX; i++) free(job[i]);
}

// Starts the refill thread; runs once, from the first mytbf_init.
void module_load() {
    int err = pthread_create(&tid, nullptr, thr_alrm, nullptr);
    if (err != 0) {
        fprintf(stderr, "pthread_create():%s", strerror(err));
        exit(1);
    }
    loader_pid = getpid();
    atexit(module_unload);
}

// Lowest free index of job, or -1. Caller holds mut_job.
int get_free_pos_unlocked() {
    for (int i = 0; i < MYTBF_MAX; i++) {
        if (job[i] == nullptr) return i;
    }
    return -1;
}

}  // namespace

mytbf_bucket *mytbf_init(int rate, int burst) {
    if (rate < 1 || burst < 1) {
        errno = EINVAL;
        return nullptr;
    }
    pthread_once(&once_init, module_load);

    auto *b = static_cast<mytbf_bucket *>(malloc(sizeof(mytbf_bucket)));
    if (b == nullptr) return nullptr;
    b->rate = rate;
    b->burst = burst;
    b->tokens = 0;
    b->waiters = 0;
    pthread_mutex_init(&b->mutex, nullptr);
    pthread_cond_init(&b->cond, nullptr);

    pthread_mutex_lock(&mut_job);
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
    if (size < 1) return -EINVAL;
    pthread_mutex_lock(&handle->mutex);
    while (handle->tokens <= 0) {
        handle->waiters++;
        pthread_cond_wait(&handle->cond, &handle->mutex);
        handle->waiters--;
    }
    int n = min(handle->tokens, size);
    handle->tokens -= n;
    // Other fetches waiting may take what is left. A broadcast that would
    // wake nobody, or wake them only to find the bucket empty, is skipped:
    // it is pure cost on the common, uncontended fetch.
    bool wake = handle->waiters > 0 && handle->tokens > 0;
    pthread_mutex_unlock(&handle->mutex);
    if (wake) pthread_cond_broadcast(&handle->cond);
    return n;
}

int mytbf_returntoken(mytbf_bucket *handle, int size) {
    if (size < 0) return -EINVAL;
    pthread_mutex_lock(&handle->mutex);
    handle->tokens = refill(handle->tokens, size, handle->burst);
    pthread_mutex_unlock(&handle->mutex);
    return 0;
}

int mytbf_destroy(mytbf_bucket *handle) {
    pthread_mutex_lock(&mut_job);
    job[handle->slot] = nullptr;
    pthread_mutex_unlock(&mut_job);
    pthread_mutex_destroy(&handle->mutex);
    pthread_cond_destroy(&handle->cond);
    free(handle);
    return 0;
}
