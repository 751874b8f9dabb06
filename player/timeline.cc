// timeline.cc - the channel's datagrams matched to the timing datagrams'
// lists, in order.
#include "timeline.h"

#include <algorithm>

#include "mono_clock.h"
#include "mp3_frames.h"
#include "repair.h"

namespace {

// Two entries of one fingerprint this close are one datagram, listed by
// two timing datagrams (each sums the playing time from its own first
// datagram, so they may differ by rounding).
constexpr long long SAME_DUE_NS = 1'000'000;

long long end_of(long long due, int samples, int rate) {
    return due + static_cast<long long>(samples) * NS_PER_S / rate;
}

// Adds e in due order, unless it is known already or lies before what was
// placed.
void add_entry(timeline *tl, const timeline_entry &e) {
    if (tl->placed && e.due < tl->end_due - SAME_DUE_NS) return;
    auto at = std::lower_bound(tl->entries.begin(), tl->entries.end(), e.due - SAME_DUE_NS,
                               [](const timeline_entry &x, long long due) { return x.due < due; });
    for (auto it = at; it != tl->entries.end() && it->due <= e.due + SAME_DUE_NS; ++it) {
        if (it->fingerprint != e.fingerprint) continue;
        if (e.has_crc && !it->has_crc) it->has_crc = true, it->crc = e.crc;
        return;
    }
    auto to = std::lower_bound(tl->entries.begin(), tl->entries.end(), e.due,
                               [](const timeline_entry &x, long long due) { return x.due < due; });
    tl->entries.insert(to, e);
    if (tl->entries.size() > TIMELINE_MAX_ENTRIES) tl->entries.pop_front();
}

// The samples of each audio channel in the MP3 frames of the data datagram
// p[0, n) (its payload after the chnid), and their rate; 0 when it holds
// none.
int samples_of(const uint8_t *p, size_t n, int *rate) {
    int samples = 0;
    mp3_header h;
    for (size_t at = 1; at + 4 <= n && mp3_parse_header(p + at, &h);
         at += static_cast<size_t>(h.size)) {
        if (samples == 0) *rate = h.sample_rate;
        samples += h.samples;
    }
    return samples;
}

// The entry that w is, among those whose due time fits when it came out
// (s_out on the server's clock); entries.size() for none.
size_t match(const timeline &tl, const timeline_waiting &w, long long s_out) {
    auto fp = static_cast<uint16_t>(w.crc);
    for (size_t i = 0; i < tl.entries.size(); i++) {
        const timeline_entry &e = tl.entries[i];
        if (e.due < s_out - TIMELINE_BEFORE_NS) continue;
        if (e.due > s_out + TIMELINE_AFTER_NS) break;
        if (e.fingerprint == fp && (!e.has_crc || e.crc == w.crc)) return i;
    }
    return tl.entries.size();
}

// Hands out the datagram w at due, after the entries before index j that
// are due from since on as the gaps of those lost; the entries up to end
// (w's own too) are done. Whatever overlaps what went out before it
// (lists that disagree) is passed over.
void place(timeline *tl, timeline_waiting w, long long due, size_t j, size_t end, long long since,
           std::vector<timeline_item> *out) {
    for (size_t i = 0; i < j; i++) {
        const timeline_entry &e = tl->entries[i];
        if (e.due < since || (tl->placed && e.due < tl->end_due - SAME_DUE_NS)) continue;
        out->push_back({true, e.due, e.samples, e.rate, {}});
        tl->placed = true;
        tl->end_due = end_of(e.due, e.samples, e.rate);
    }
    tl->entries.erase(tl->entries.begin(), tl->entries.begin() + static_cast<long>(end));
    if (!tl->placed || due >= tl->end_due - SAME_DUE_NS) {
        tl->placed = true;
        tl->end_due = end_of(due, w.samples, w.rate);
        out->push_back({false, due, w.samples, w.rate, std::move(w.bytes)});
    }
    while (!tl->entries.empty() && tl->entries.front().due < tl->end_due - SAME_DUE_NS)
        tl->entries.pop_front();
}

// Places the oldest waiting datagram, when it can be at now: true when it
// went (placed or dropped).
bool take_one(timeline *tl, const clock_sync &clock, long long now,
              std::vector<timeline_item> *out) {
    timeline_waiting &w = tl->waiting.front();
    long long s_out = clock_sync_server_at(clock, w.came);
    size_t j = match(*tl, w, s_out);
    if (j < tl->entries.size()) {
        long long due = tl->entries[j].due;
        timeline_waiting taken = std::move(w);
        tl->waiting.pop_front();
        if (tl->placed && due < tl->end_due - SAME_DUE_NS) return true;  // it came again
        place(tl, std::move(taken), due, j, j + 1, s_out - TIMELINE_BEFORE_NS, out);
        return true;
    }
    if (now - w.came < TIMELINE_WAIT_NS) return false;
    timeline_waiting taken = std::move(w);
    tl->waiting.pop_front();
    if (tl->placed) place(tl, std::move(taken), tl->end_due, 0, 0, 0, out);
    return true;
}

}  // namespace

void timeline_timing(timeline *tl, const timing_datagram &t) {
    for (size_t i = 0; i < t.listed.size(); i++) {
        if (t.listed[i].samples == 0) continue;  // no datagram of audio
        timeline_entry e;
        e.fingerprint = t.listed[i].fingerprint;
        e.has_crc = i == 0;
        e.crc = t.first_crc;
        e.due = timing_due_of(t, i);
        e.samples = t.listed[i].samples;
        e.rate = static_cast<int>(t.sample_rate);
        add_entry(tl, e);
    }
}

bool timeline_data(timeline *tl, const uint8_t *p, size_t n, long long now) {
    timeline_waiting w;
    w.samples = samples_of(p, n, &w.rate);
    if (w.samples == 0) return false;
    w.bytes.assign(p, p + n);
    w.crc = repair_crc(0, p, n);
    w.came = now;
    if (tl->waiting.size() >= TIMELINE_MAX_WAITING) tl->waiting.pop_front();
    tl->waiting.push_back(std::move(w));
    return true;
}

void timeline_take(timeline *tl, const clock_sync &clock, long long now,
                   std::vector<timeline_item> *out) {
    if (!clock_sync_ready(clock)) return;
    while (!tl->waiting.empty() && take_one(tl, clock, now, out)) {
    }
}

void timeline_reset(timeline *tl) {
    *tl = timeline{};
}
