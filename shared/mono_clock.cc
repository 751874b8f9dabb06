// mono_clock.cc - the monotonic and the wall clock in nanoseconds.
#include "mono_clock.h"

#include <time.h>

namespace {

long long ns_of(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * NS_PER_S + ts.tv_nsec;
}

}  // namespace

long long now_ns() {
    return ns_of(CLOCK_MONOTONIC);
}

long long wall_ns() {
    return ns_of(CLOCK_REALTIME);
}
