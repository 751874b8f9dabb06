// throttlecat.cc - copies a file to standard output at most COPY_RATE bytes a second.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "mytbf.h"
#include "write_all.h"

namespace {

constexpr int COPY_RATE = 5;        // tokens (bytes) added per tick
constexpr int COPY_BURST = 5;       // most tokens the bucket holds
constexpr int COPY_BUFSIZE = 1024;  // copy buffer, and the most tokens asked for at once

// Copies fd to standard output, one token per byte. Returns 0 at end of file,
// 1 after a read error (reported here). A write error ends the process.
int copy_throttled(mytbf_bucket *tbf, int fd) {
    char buf[COPY_BUFSIZE];
    for (;;) {
        int size = mytbf_fetchtoken(tbf, COPY_BUFSIZE);
        ssize_t len = read(fd, buf, static_cast<size_t>(size));
        if (len < 0) {
            perror("read error()");
            return 1;
        }
        if (len == 0) return 0;
        if (len < size) mytbf_returntoken(tbf, size - static_cast<int>(len));
        if (write_all(1, buf, static_cast<size_t>(len)) < 0) {
            perror("write error");
            exit(1);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "Usage: a.out <pathname>\n");
        exit(1);
    }

    mytbf_bucket *tbf = mytbf_init(COPY_RATE, COPY_BURST);
    if (tbf == nullptr) {
        fprintf(stderr, "%s", strerror(errno));
        exit(1);
    }

    int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror("open()");
        exit(1);
    }

    int status = copy_throttled(tbf, fd);

    close(fd);
    close(1);
    mytbf_destroy(tbf);
    exit(status);
}
