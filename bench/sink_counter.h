// sink_counter.h - the record count_sink keeps in a shared file for the
// harness. The file holds SINK_SLOTS of them, one per sink, each on its own
// cache line so that sinks running at once do not slow each other down.
#pragma once

#include <atomic>

constexpr int SINK_SLOTS = 8;

struct alignas(64) sink_counter {
    std::atomic<unsigned long long> bytes;  // bytes read so far
    std::atomic<int> pid;                   // the sink's pid, 0 until it runs
    std::atomic<int> done;                  // 1 once it has read end of file
};
static_assert(std::atomic<unsigned long long>::is_always_lock_free);
