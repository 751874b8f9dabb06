/* A program outside the project that uses the installed library from C. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdio.h>
#include <time.h>

#include <mytbf.h>

int main(void) {
    mytbf_bucket *b = mytbf_init(3, 3);
    if (!b) return 1;
    /* A new bucket is empty until the first refill. */
    int none = mytbf_tryfetchtoken(b, 10);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 5;
    int n = mytbf_timedfetchtoken(b, 10, &deadline); /* waits for the first refill */
    mytbf_returntoken(b, n);
    int again = mytbf_fetchtoken(b, 10);
    mytbf_destroy(b);
    printf("try %d, took %d, then %d\n", none, n, again);
    return none == -EAGAIN && n == 3 && again == 3 ? 0 : 1;
}
