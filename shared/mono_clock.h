// mono_clock.h - the monotonic clock, which the programs pace and age by,
// and the wall clock, which dates what they serve.
#pragma once

// CLOCK_MONOTONIC in nanoseconds.
long long now_ns();

// CLOCK_REALTIME in nanoseconds since 1970.
long long wall_ns();
