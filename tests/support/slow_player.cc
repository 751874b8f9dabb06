// slow_player.cc - a player for tests that reads its standard input slowly.
//
//   slow_player BLOCK PAUSE_MS [GO_FILE]
//
// Reads at most BLOCK bytes at a time with a pause of PAUSE_MS milliseconds
// after each read, copying them to standard output, until end of input.
// With GO_FILE it reads nothing before that file exists. It gives up after
// a minute in all, so a test that dies leaves no reader behind for long.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "write_all.h"

namespace {

constexpr double LIFETIME_S = 60;

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void pause_ms(long ms) {
    timespec ts = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

}  // namespace

int main(int argc, char **argv) {
    long block = argc >= 3 ? atol(argv[1]) : 0;
    long pause = argc >= 3 ? atol(argv[2]) : -1;
    if (argc > 4 || block < 1 || block > (1 << 20) || pause < 0) {
        fprintf(stderr, "usage: slow_player BLOCK PAUSE_MS [GO_FILE]\n");
        return 2;
    }
    double deadline = now_s() + LIFETIME_S;
    struct stat st;
    while (argc == 4 && stat(argv[3], &st) < 0) {
        if (now_s() > deadline) return 3;
        pause_ms(5);
    }
    std::vector<char> buf(static_cast<size_t>(block));
    while (now_s() < deadline) {
        ssize_t n = read(0, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            perror("read()");
            return 1;
        }
        if (n == 0) return 0;
        if (write_all(1, buf.data(), static_cast<size_t>(n)) < 0) {
            perror("write()");
            return 1;
        }
        pause_ms(pause);
    }
    return 3;
}
