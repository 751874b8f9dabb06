// mono_clock.h - the monotonic clock, which the programs pace and age by.
#pragma once

// CLOCK_MONOTONIC in nanoseconds.
long long now_ns();
