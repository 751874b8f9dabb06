// sink_counter.h - the record count_sink keeps in a shared file for the harness.
#pragma once

#include <atomic>

struct sink_counter {
    std::atomic<unsigned long long> bytes;  // bytes read so far
    std::atomic<int> pid;                   // the sink's pid, 0 until it runs
    std::atomic<int> done;                  // 1 once it has read end of file
};
static_assert(std::atomic<unsigned long long>::is_always_lock_free);
