/* mytbf_exit_helper.c - uses the token bucket library from C and ends the
 * process in the state named by its argument, so that tests can check that
 * the exit handler stops the refill thread without hanging or crashing, and
 * frees the buckets still live. A leak checker cannot tell the latter: the
 * library's table still points at them. So this program measures the heap
 * just before exit and again after the library's exit handler has run. It
 * also checks, then, that no thread started by the library is left. */
#include <dirent.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mytbf.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
size_t __sanitizer_get_current_allocated_bytes(void); /* the sanitizer's heap count */
static size_t allocated_bytes(void) {
    return __sanitizer_get_current_allocated_bytes();
}
#else
#include <malloc.h>
/* Counts freed chunks as free only without the per-thread cache, which
 * main() turns off. */
static size_t allocated_bytes(void) {
    return mallinfo2().uordblks;
}
#endif

/* A bucket holds at least a mutex, a condition variable and four ints. */
#define MIN_BUCKET_BYTES (sizeof(pthread_mutex_t) + sizeof(pthread_cond_t) + 4 * sizeof(int))

static size_t live_buckets;
static size_t bytes_before_exit;

/* Noted just before the process ends with live_buckets buckets live. */
static void note_exit(size_t live) {
    live_buckets = live;
    bytes_before_exit = allocated_bytes();
}

static void *idle(void *arg) {
    (void)arg;
    for (;;) pause();
    return NULL;
}

/* The first cancellation in a process loads the unwinder, which takes heap:
 * get that done before anything is measured. */
static void load_unwinder(void) {
    pthread_t t;
    if (pthread_create(&t, NULL, idle, NULL) != 0) return;
    pthread_cancel(t);
    pthread_join(t, NULL);
}

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

/* Registered before the library's own exit handler, so it runs after it. */
static void check_freed(void) {
    check_threads_gone();
    if (bytes_before_exit == 0) return; /* not measured (or not measurable) */
    size_t after = allocated_bytes();
    if (after + live_buckets * MIN_BUCKET_BYTES > bytes_before_exit) {
        fprintf(stderr, "buckets not freed: %zu heap bytes in use before exit, %zu after\n",
                bytes_before_exit, after);
        _exit(5);
    }
}

/* Exits with every bucket live; the refill thread has run and sleeps. */
static int live(void) {
    mytbf_bucket *first = mytbf_init(5, 5);
    for (int i = 1; i < 100; i++) mytbf_init(i, 2 * i);
    /* The first fetch waits for a tick. */
    if (mytbf_fetchtoken(first, 1) != 1) return 2;
    note_exit(100);
    return 0;
}

/* Exits right after creating buckets, maybe before the first scan. */
static int early(void) {
    for (int i = 1; i <= 3; i++) mytbf_init(i, i);
    note_exit(3);
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
    note_exit(1024);
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
    note_exit(1);
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

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (getenv("GLIBC_TUNABLES") == NULL) {
        setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
        execv("/proc/self/exe", argv);
    }
    if (strcmp(mode, "nothread") != 0) load_unwinder();
    ntasks_before = list_tasks(tasks_before, MAX_TASKS);
    atexit(check_freed);
    if (strcmp(mode, "unused") == 0) return 0;
    if (strcmp(mode, "live") == 0) return live();
    if (strcmp(mode, "early") == 0) return early();
    if (strcmp(mode, "empty") == 0) return empty();
    if (strcmp(mode, "full") == 0) return full();
    if (strcmp(mode, "nothread") == 0) return nothread();
    if (strcmp(mode, "forked") == 0) return forked();
    fprintf(stderr, "usage: mytbf_exit_helper unused|live|early|empty|full|nothread|forked\n");
    return 64;
}
