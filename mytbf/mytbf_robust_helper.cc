// mytbf_robust_helper.cc - uses the token bucket library the way programs
// around it do: it cancels a waiting thread, handles and blocks signals,
// cleans up at exit from its own handlers. Each mode exits 0 when the
// library behaved, else with a status and a line on stderr naming the fault.
// Built twice: against the shipped library (no exceptions, so glibc's
// setjmp-based clean-up frames) and against a copy built with exceptions.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include "mytbf.h"

namespace {

int fail(int status, const char *what) {
    fprintf(stderr, "%s\n", what);
    exit(status);
}

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(int ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

timespec mono_in(int seconds) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += seconds;
    return ts;
}

mytbf_bucket *drained;  // empty until the next tick

// Fetches for ever (blocking or with a far deadline); only cancelled.
void *fetch_for_ever(void *) {
    for (;;) mytbf_fetchtoken(drained, 1);
    return nullptr;
}
void *timed_fetch_for_ever(void *) {
    for (;;) {
        timespec far = mono_in(3600);
        mytbf_timedfetchtoken(drained, 1, &far);
    }
    return nullptr;
}
void *fetch_once(void *arg) {
    *static_cast<int *>(arg) = mytbf_fetchtoken(drained, 1);
    return nullptr;
}

// Two fetches cancelled while they wait, one blocking and one with a
// deadline; a third waiter and the refill thread carry on, and the process
// then exits (the caller times that).
int cancel_waiters() {
    drained = mytbf_init(1, 1);
    mytbf_bucket *other = mytbf_init(3, 3);
    if (mytbf_fetchtoken(drained, 1) != 1) fail(2, "first fetch");  // just after a tick
    pthread_t blocking, timed, survivor;
    int got = 0;
    pthread_create(&blocking, nullptr, fetch_for_ever, nullptr);
    pthread_create(&timed, nullptr, timed_fetch_for_ever, nullptr);
    pthread_create(&survivor, nullptr, fetch_once, &got);
    sleep_ms(200);
    void *res = nullptr;
    pthread_cancel(blocking);
    pthread_join(blocking, &res);
    if (res != PTHREAD_CANCELED) fail(3, "blocking fetch not cancelled");
    pthread_cancel(timed);
    pthread_join(timed, &res);
    if (res != PTHREAD_CANCELED) fail(3, "deadline fetch not cancelled");
    // The next tick still reaches every bucket and every waiter.
    pthread_join(survivor, nullptr);
    if (got != 1) fail(4, "the other waiter got no token");
    if (mytbf_fetchtoken(other, 3) < 1) fail(5, "other bucket");
    mytbf_bucket *b = mytbf_init(1, 1);  // the table lock is free
    mytbf_destroy(b);
    return 0;
}

mytbf_bucket *at_exit_bucket;
mytbf_bucket *waited_bucket;
pthread_t waiter;
int waiter_result;

void *wait_past_exit(void *) {
    waiter_result = mytbf_fetchtoken(waited_bucket, 1);
    return nullptr;
}

// Registered before the first mytbf_init, so it runs after the library's
// exit handler: every call is harmless and none blocks.
void clean_up_at_exit() {
    if (mytbf_destroy(at_exit_bucket) != 0) fail(10, "destroy after exit handler");
    if (mytbf_fetchtoken(at_exit_bucket, 1) != -ESHUTDOWN) fail(11, "fetch after exit handler");
    if (mytbf_tryfetchtoken(at_exit_bucket, 1) != -ESHUTDOWN) fail(11, "try after exit handler");
    timespec far = mono_in(3600);
    if (mytbf_timedfetchtoken(at_exit_bucket, 1, &far) != -ESHUTDOWN)
        fail(11, "timed fetch after exit handler");
    if (mytbf_returntoken(at_exit_bucket, 1) != -ESHUTDOWN)
        fail(12, "give-back after exit handler");
    if (mytbf_setrate(at_exit_bucket, 1, 1) != -ESHUTDOWN) fail(12, "setrate after exit handler");
    errno = 0;
    if (mytbf_init(1, 1) != nullptr || errno != ESHUTDOWN) fail(13, "init after exit handler");
    // The fetch that was waiting when the process began to exit has left.
    pthread_join(waiter, nullptr);
    if (waiter_result != -ESHUTDOWN) fail(14, "waiter at exit");
    mytbf_destroy(waited_bucket);
}

int destroy_at_exit() {
    atexit(clean_up_at_exit);
    at_exit_bucket = mytbf_init(5, 5);
    waited_bucket = mytbf_init(1, 1);
    if (mytbf_fetchtoken(waited_bucket, 1) != 1) fail(2, "first fetch");
    pthread_create(&waiter, nullptr, wait_past_exit, nullptr);
    sleep_ms(300);  // long enough for the waiter to be waiting when exit begins
    return 0;
}

// Destroys its bucket from a static destructor, which runs after the
// library's exit handler (it was registered before it).
struct bucket_holder {
    mytbf_bucket *b = nullptr;
    ~bucket_holder() {
        if (b != nullptr && mytbf_destroy(b) != 0) fail(10, "destroy from a static destructor");
    }
};
bucket_holder holder;

int destroy_in_static_destructor() {
    holder.b = mytbf_init(5, 5);
    if (mytbf_fetchtoken(holder.b, 1) != 1) fail(2, "first fetch");
    return 0;
}

void on_usr1(int) {}

void *send_usr1(void *arg) {
    double until = *static_cast<double *>(arg);
    while (now_s() < until) {
        kill(getpid(), SIGUSR1);
        sleep_ms(10);
    }
    return nullptr;
}

// A program that handles SIGUSR1 but blocks it in its own threads, under
// SIGUSR1 at about 100 Hz: no more than burst + rate x whole seconds
// elapsed. Then SIGTERM, blocked and read through signalfd, must be read
// there and not end the process.
int signals() {
    constexpr int RATE = 5, SECONDS = 3;
    struct sigaction sa = {};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    double start = now_s();
    mytbf_bucket *b = mytbf_init(RATE, RATE);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    double until = start + SECONDS + 0.5;
    pthread_t sender;
    pthread_create(&sender, nullptr, send_usr1, &until);
    long taken = 0;
    double end = start;
    while (end < until) {
        taken += mytbf_fetchtoken(b, INT_MAX);
        end = now_s();
    }
    pthread_join(sender, nullptr);
    long bound = RATE + RATE * static_cast<long>(end - start);
    if (taken > bound) {
        fprintf(stderr, "%ld tokens in %.2f s, at most %ld allowed\n", taken, end - start, bound);
        exit(20);
    }

    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    int fd = signalfd(-1, &term, 0);
    if (fd < 0) fail(21, "signalfd");
    kill(getpid(), SIGTERM);
    pollfd p = {fd, POLLIN, 0};
    signalfd_siginfo si;
    if (poll(&p, 1, 5000) != 1 || read(fd, &si, sizeof si) != sizeof si || si.ssi_signo != SIGTERM)
        fail(22, "SIGTERM not read through signalfd");
    close(fd);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "cancel") == 0) return cancel_waiters();
    if (strcmp(mode, "atexit") == 0) return destroy_at_exit();
    if (strcmp(mode, "static") == 0) return destroy_in_static_destructor();
    if (strcmp(mode, "signals") == 0) return signals();
    fprintf(stderr, "usage: mytbf_robust_helper cancel|atexit|static|signals\n");
    return 64;
}
