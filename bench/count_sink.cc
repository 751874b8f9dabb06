// count_sink.cc - a player stand-in that counts the bytes it reads.
//
// count_sink [COUNTER_FILE [SLOT]]
// Reads standard input to its end and prints the total number of bytes. With
// COUNTER_FILE (a file of SINK_SLOTS sink_counter records, made by the
// caller) it also keeps its pid and the running total in record SLOT
// (default 0), so that a harness can watch the count while the stream flows.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "sink_counter.h"

namespace {

sink_counter *map_counter(const char *path, int slot) {
    if (slot < 0 || slot >= SINK_SLOTS) {
        fprintf(stderr, "count_sink: slot %d out of range\n", slot);
        return nullptr;
    }
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        perror("open()");
        return nullptr;
    }
    void *p =
        mmap(nullptr, SINK_SLOTS * sizeof(sink_counter), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        perror("mmap()");
        return nullptr;
    }
    return static_cast<sink_counter *>(p) + slot;
}

}  // namespace

int main(int argc, char **argv) {
    sink_counter *counter = nullptr;
    if (argc > 1) {
        counter = map_counter(argv[1], argc > 2 ? atoi(argv[2]) : 0);
        if (!counter) return 1;
        counter->pid.store(getpid());
    }
    static char buf[1 << 16];
    unsigned long long total = 0;
    for (;;) {
        ssize_t n = read(0, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            perror("read()");
            return 1;
        }
        if (n == 0) break;
        total += static_cast<unsigned long long>(n);
        if (counter) counter->bytes.store(total, std::memory_order_relaxed);
    }
    if (counter) counter->done.store(1);
    printf("%llu\n", total);
    return 0;
}
