// write_all.cc - writing every byte, as a loop around write(2).
#include "write_all.h"

#include <errno.h>
#include <unistd.h>

int write_all(int fd, const void *buf, size_t len) {
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}
