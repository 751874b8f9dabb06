// mono_clock.cc - the monotonic clock in nanoseconds.
#include "mono_clock.h"

#include <time.h>

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
