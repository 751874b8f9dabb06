// mono_clock.h - the monotonic clock, which the programs pace and age by,
// and the wall clock, which dates what they serve.
#pragma once

// Nanoseconds in a second, the unit of every time the programs pass around.
constexpr long long NS_PER_S = 1'000'000'000;

// CLOCK_MONOTONIC in nanoseconds.
long long now_ns();

// CLOCK_REALTIME in nanoseconds since 1970.
long long wall_ns();
