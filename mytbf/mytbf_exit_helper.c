/* mytbf_exit_helper.c - uses the token bucket library from C and ends the
 * process in the state named by its argument, so that tests can check that
 * the exit handler stops the refill thread without hanging, crashing or
 * leaking (a leak checker run over this program sees every bucket). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <unistd.h>

#include "mytbf.h"

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

/* The 1025th live bucket ends the process. */
static int full(void) {
    for (int i = 0; i <= 1024; i++) mytbf_init(1, 1);
    return 3;
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
    if (strcmp(mode, "unused") == 0) return 0;
    if (strcmp(mode, "live") == 0) return live();
    if (strcmp(mode, "early") == 0) return early();
    if (strcmp(mode, "empty") == 0) return empty();
    if (strcmp(mode, "full") == 0) return full();
    if (strcmp(mode, "nothread") == 0) return nothread();
    fprintf(stderr, "usage: mytbf_exit_helper unused|live|early|empty|full|nothread\n");
    return 64;
}
