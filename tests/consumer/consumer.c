/* A program outside the project that uses the installed library from C. */
#include <stdio.h>

#include <mytbf.h>

int main(void) {
    mytbf_bucket *b = mytbf_init(3, 3);
    if (!b) return 1;
    int n = mytbf_fetchtoken(b, 10); /* blocks until the first refill */
    mytbf_destroy(b);
    printf("took %d\n", n);
    return n == 3 ? 0 : 1;
}
