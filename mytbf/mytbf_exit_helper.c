/* mytbf_exit_helper.c - uses the token bucket library from C and ends the
 * process in the state named by its argument, so that tests can check that
 * the exit handler stops the refill thread without hanging or crashing,
 * even while other threads are inside the library. The buckets still live
 * stay allocated and in the library's table, so a leak checker sees them
 * as reachable; an exit handler that runs after the library's checks that
 * no thread started by the library is left. */
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mytbf.h"

/* Ids of the threads of this process in /proc/self/task, up to max. */
static size_t list_tasks(long *ids, size_t max) {
    size_t n = 0;
    DIR *d = opendir("/proc/self/task");
    if (d == NULL) return 0;
    struct dirent *e;
    while ((e = readdir(d)) != NULL && n < max)
        if (e->d_name[0] != '.') ids[n++] = atol(e->d_name);
    closedir(d);
    return n;
}

#define MAX_TASKS 64
static long tasks_before[MAX_TASKS]; /* before the library started */
static size_t ntasks_before;

/* Threads other than the calling one that were not there before. */
static size_t new_tasks(void) {
    long ids[MAX_TASKS];
    size_t n = list_tasks(ids, MAX_TASKS), found = 0;
    long self = syscall(SYS_gettid);
    for (size_t i = 0; i < n; i++) {
        int old = ids[i] == self;
        for (size_t j = 0; j < ntasks_before && !old; j++) old = ids[i] == tasks_before[j];
        found += !old;
    }
    return found;
}

/* The library's exit handler has cancelled and joined its refill thread, so
 * that thread is gone (the kernel may take a moment to remove its entry). */
static void check_threads_gone(void) {
    for (int ms = 0; new_tasks() > 0; ms++) {
        if (ms == 2000) {
            fprintf(stderr, "a thread of the library is still running after its exit handler\n");
            _exit(6);
        }
        usleep(1000);
    }
}

/* Exits with every bucket live; the refill thread has run and sleeps. */
static int live(void) {
    mytbf_bucket *first = mytbf_init(5, 5);
    for (int i = 1; i < 100; i++) mytbf_init(i, 2 * i);
    /* The first fetch waits for a tick. */
    if (mytbf_fetchtoken(first, 1) != 1) return 2;
    return 0;
}

/* Exits right after creating buckets, maybe before the first scan. */
static int early(void) {
    for (int i = 1; i <= 3; i++) mytbf_init(i, i);
    exit(0);
}

/* Exits with the refill thread running over an empty table. */
static int empty(void) {
    mytbf_bucket *b = mytbf_init(1, 1);
    mytbf_destroy(b);
    return 0;
}

/* 1024 buckets can be live; the 1025th ends the process. */
static int full(void) {
    for (int i = 0; i < 1024; i++)
        if (mytbf_init(1, 1) == NULL) return 2;
    fputs("1024 live\n", stderr);
    mytbf_init(1, 1);
    return 3;
}

/* A child forked after the library started exits, and so does the parent:
 * the refill thread is not copied into the child, whose exit handler must
 * not wait for it. */
static int forked(void) {
    mytbf_init(1, 1);
    pid_t pid = fork();
    if (pid < 0) return 2;
    if (pid == 0) exit(0);
    int st;
    if (waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0) return 4;
    return 0;
}

/* Leaves no room for the refill thread's stack, so it cannot be created. */
static int nothread(void) {
    long pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f == NULL || fscanf(f, "%ld", &pages) != 1) return 2;
    fclose(f);
    struct rlimit lim = {0, 0};
    getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = (rlim_t)pages * (rlim_t)sysconf(_SC_PAGESIZE) + 64 * 1024;
    if (setrlimit(RLIMIT_AS, &lim) < 0) return 2;
    mytbf_init(1, 1);
    return 3;
}

/* Threads that are inside the library when the process exits. They start
 * together with the library, through start. */
static pthread_barrier_t start;
static mytbf_bucket *shared;

static void *fetch_and_give_back(void *arg) {
    (void)arg;
    pthread_barrier_wait(&start);
    for (;;) {
        mytbf_tryfetchtoken(shared, 1);
        mytbf_returntoken(shared, 1);
    }
    return NULL;
}

/* Makes, uses and destroys buckets, so that destroys race the exit. */
static void *churn(void *arg) {
    (void)arg;
    pthread_barrier_wait(&start);
    for (int i = 0;; i++) {
        mytbf_bucket *b = mytbf_init(1 + i % 7, 5);
        if (b == NULL) {
            if (errno != ESHUTDOWN) _exit(7);
            continue;
        }
        mytbf_returntoken(b, 3);
        mytbf_setrate(b, 2, 2);
        mytbf_tryfetchtoken(b, 1);
        mytbf_destroy(b);
    }
    return NULL;
}

/* A signal holds each of those threads wherever it is, often inside a call
 * into the library, until the library's exit handler has run (or 20 ms have
 * passed, in case it holds a lock that the handler needs); then it goes on
 * from there. */
static atomic_int held, exit_handler_done;

static void hold(int sig) {
    (void)sig;
    struct timespec ms = {0, 1000000};
    atomic_fetch_add(&held, 1);
    for (int i = 0; i < 20 && !atomic_load(&exit_handler_done); i++) nanosleep(&ms, NULL);
}

/* Registered before the library's exit handler, so it runs after it: lets
 * the held threads go on, and gives them time to touch what they held. */
static void release_held(void) {
    atomic_store(&exit_handler_done, 1);
    usleep(20000);
}

/* Exits about a millisecond after starting threads that keep calling into
 * the library, with each of them held by a signal: two fetch and give back
 * lock-free, with "racing" also one that destroys the buckets it makes. */
static int in_flight(int racing) {
    void *(*const fns[])(void *) = {fetch_and_give_back, fetch_and_give_back, churn};
    int n = racing ? 3 : 2;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = hold;
    sigaction(SIGUSR1, &sa, NULL);
    pthread_t threads[3];
    pthread_barrier_init(&start, NULL, (unsigned)n + 1);
    for (int i = 0; i < n; i++)
        if (pthread_create(&threads[i], NULL, fns[i], NULL) != 0) return 2;
    ntasks_before = list_tasks(tasks_before, MAX_TASKS); /* ours, not the library's */
    atexit(release_held);
    shared = mytbf_init(1000, 1000);
    pthread_barrier_wait(&start);
    usleep(1000);
    for (int i = 0; i < n; i++) pthread_kill(threads[i], SIGUSR1);
    for (int ms = 0; atomic_load(&held) < n && ms < 2000; ms++) usleep(1000);
    exit(0);
}

static int inflight(void) {
    return in_flight(0);
}

static int racing(void) {
    return in_flight(1);
}

static const struct {
    const char *name;
    int (*run)(void);
} MODES[] = {
    {"unused", NULL},   {"live", live},         {"early", early},
    {"empty", empty},   {"full", full},         {"nothread", nothread},
    {"forked", forked}, {"inflight", inflight}, {"racing", racing},
};

static void *nothing(void *arg) {
    return arg;
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    /* ThreadSanitizer starts a thread of its own at the first thread
     * creation: get that done before the threads are counted. Not before
     * "nothread", where the cached stack of that thread would serve the
     * refill thread. */
    pthread_t t;
    if (strcmp(mode, "nothread") != 0 && pthread_create(&t, NULL, nothing, NULL) == 0)
        pthread_join(t, NULL);
    ntasks_before = list_tasks(tasks_before, MAX_TASKS);
    /* Registered before the library's own exit handler, so it runs after it. */
    atexit(check_threads_gone);
    for (size_t i = 0; i < sizeof MODES / sizeof MODES[0]; i++)
        if (strcmp(mode, MODES[i].name) == 0) return MODES[i].run ? MODES[i].run() : 0;
    fprintf(
        stderr,
        "usage: mytbf_exit_helper unused|live|early|empty|full|nothread|forked|inflight|racing\n");
    return 64;
}
