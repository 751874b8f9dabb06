// history.cc - a channel's recent chunks, frame starts and arrival times.
#include "history.h"

#include <algorithm>

namespace {

// Playing time of the marked frames from the first one at or after offset;
// -1 when none is.
long long audio_from(const history &h, uint64_t offset) {
    auto it = std::lower_bound(h.marks.begin(), h.marks.end(), offset,
                               [](const frame_mark &m, uint64_t o) { return m.offset < o; });
    return it == h.marks.end() ? -1 : h.marked_ns - it->ns_before;
}

// The first held chunk is needed while a burst could still start in it.
bool first_held_needed(const history &h, long long now, const history_limits &lim) {
    const held_chunk &first = h.held.front();
    if (first.offset + first.c->bytes.size() > h.pull_from) return true;
    if (now - first.arrival_ns > lim.burst_ns + HISTORY_HOLD_SLACK_NS) return false;
    if (h.held_bytes > HISTORY_HOLD_MAX_BYTES && h.held.size() > 1) return false;
    return h.held.size() == 1 || audio_from(h, h.held[1].offset) < lim.burst_ns;
}

void drop_first_held(history *h) {
    h->held_bytes -= h->held.front().c->bytes.size();
    chunk_unref(h->held.front().c);
    h->held.pop_front();
    uint64_t start = h->held.empty() ? h->end : h->held.front().offset;
    while (!h->marks.empty() && h->marks.front().offset < start) h->marks.pop_front();
}

}  // namespace

chunk *chunk_new(std::vector<uint8_t> bytes) {
    return new chunk{1, std::move(bytes)};
}

void chunk_ref(chunk *c) {
    c->refs++;
}

void chunk_unref(chunk *c) {
    if (--c->refs == 0) delete c;
}

void history_take(history *h, chunk *c, long long now) {
    chunk_ref(c);
    h->held.push_back({c, h->end, now});
    h->held_bytes += c->bytes.size();
    h->arrivals.push_back({h->end, now});
    h->end += c->bytes.size();
}

void history_mark(history *h, uint64_t offset, long long ns) {
    // A frame whose first bytes were dropped already can start no burst.
    if (!h->held.empty() && offset >= h->held.front().offset)
        h->marks.push_back({offset, h->marked_ns});
    h->marked_ns += ns;
}

void history_trim(history *h, long long now, const history_limits &lim) {
    while (!h->held.empty() && !first_held_needed(*h, now, lim)) drop_first_held(h);
    long long keep_ns = lim.lag_ns + HISTORY_ARRIVAL_SLACK_NS;
    while (h->arrivals.size() > HISTORY_ARRIVALS_MAX ||
           (h->arrivals.size() > 1 && now - h->arrivals[1].ns > keep_ns))
        h->arrivals.pop_front();
}

void history_clear(history *h) {
    while (!h->held.empty()) drop_first_held(h);
    h->arrivals.clear();
}

bool history_burst_start(const history &h, long long burst_ns, uint64_t *offset) {
    if (h.marks.empty()) return false;
    // ns_before grows along the marks: the last one that leaves burst_ns of
    // playing time after it.
    auto it = std::upper_bound(h.marks.begin(), h.marks.end(), h.marked_ns - burst_ns,
                               [](long long v, const frame_mark &m) { return v < m.ns_before; });
    *offset = it == h.marks.begin() ? h.marks.front().offset : std::prev(it)->offset;
    return true;
}

long long history_age_ns(const history &h, uint64_t offset, long long now) {
    auto it = std::upper_bound(h.arrivals.begin(), h.arrivals.end(), offset,
                               [](uint64_t o, const arrival &a) { return o < a.offset; });
    if (it == h.arrivals.begin()) return -1;
    return now - std::prev(it)->ns;
}
