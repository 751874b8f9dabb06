// clock_probe.cc - what a program under faketime sees of its clock: it waits
// as the server does (sigtimedwait with a timeout, computed on its own
// CLOCK_MONOTONIC) for COUNT deadlines STEP_MS apart on that clock, and at
// each prints the deadline's number, its clock and the host's real one
// (read by the system call itself, which libfaketime does not see), both in
// nanoseconds since its start.
//
// usage: clock_probe COUNT STEP_MS
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

long long ns_of(const timespec &t) {
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

long long own_clock() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return ns_of(t);
}

long long real_clock() {
    timespec t;
    syscall(SYS_clock_gettime, CLOCK_MONOTONIC, &t);
    return ns_of(t);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || atoi(argv[1]) <= 0 || atoi(argv[2]) <= 0) {
        fputs("usage: clock_probe COUNT STEP_MS\n", stderr);
        return 1;
    }
    int count = atoi(argv[1]);
    long long step = atoll(argv[2]) * 1'000'000;
    sigset_t none;
    sigemptyset(&none);
    sigaddset(&none, SIGUSR1);
    sigprocmask(SIG_BLOCK, &none, nullptr);
    long long own0 = own_clock(), real0 = real_clock();
    for (int k = 1; k <= count; k++) {
        long long due = own0 + k * step;
        for (long long now = own_clock(); now < due; now = own_clock()) {
            timespec left = {static_cast<time_t>((due - now) / 1'000'000'000),
                             static_cast<long>((due - now) % 1'000'000'000)};
            sigtimedwait(&none, nullptr, &left);
        }
        printf("%d %lld %lld\n", k, own_clock() - own0, real_clock() - real0);
    }
    return fflush(stdout) == 0 ? 0 : 1;
}
