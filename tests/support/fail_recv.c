/* fail_recv.c - a preloaded shim that makes one receive fail, for tests of
 * how a program handles it: once FAIL_RECV_AFTER datagrams have been
 * received, the next call of recvfrom, recvmsg or recvmmsg fails with EIO
 * without taking anything from the socket; every other call goes through. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>

typedef ssize_t recvfrom_fn(int, void *, size_t, int, struct sockaddr *, socklen_t *);
typedef ssize_t recvmsg_fn(int, struct msghdr *, int);
typedef int recvmmsg_fn(int, struct mmsghdr *, unsigned int, int, struct timespec *);

static long received;
static int failed;

/* True when this call is the one to fail (and counts it as done). */
static int fail_now(void) {
    const char *after = getenv("FAIL_RECV_AFTER");
    if (failed || after == NULL || received < atol(after)) return 0;
    failed = 1;
    errno = EIO;
    return 1;
}

ssize_t recvfrom(int fd, void *buf, size_t len, int flags, struct sockaddr *src, socklen_t *alen) {
    static recvfrom_fn *real;
    if (fail_now()) return -1;
    if (real == NULL) real = (recvfrom_fn *)dlsym(RTLD_NEXT, "recvfrom");
    ssize_t n = real(fd, buf, len, flags, src, alen);
    if (n >= 0) received++;
    return n;
}

ssize_t recvmsg(int fd, struct msghdr *msg, int flags) {
    static recvmsg_fn *real;
    if (fail_now()) return -1;
    if (real == NULL) real = (recvmsg_fn *)dlsym(RTLD_NEXT, "recvmsg");
    ssize_t n = real(fd, msg, flags);
    if (n >= 0) received++;
    return n;
}

int recvmmsg(int fd, struct mmsghdr *msgs, unsigned int vlen, int flags, struct timespec *timeout) {
    static recvmmsg_fn *real;
    if (fail_now()) return -1;
    if (real == NULL) real = (recvmmsg_fn *)dlsym(RTLD_NEXT, "recvmmsg");
    int n = real(fd, msgs, vlen, flags, timeout);
    if (n > 0) received += n;
    return n;
}
