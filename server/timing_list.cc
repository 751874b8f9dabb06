// timing_list.cc - a channel's last data datagrams on its timeline.
#include "timing_list.h"

#include "mono_clock.h"
#include "repair.h"

namespace {

// The playing time of samples at rate, in nanoseconds.
long long playing_ns(long long samples, uint32_t rate) {
    return samples * NS_PER_S / rate;
}

}  // namespace

void timing_list_add(timing_list *l, const uint8_t *d, size_t n, long long samples, int sample_rate,
                     long long due) {
    bool fits = samples >= 1 && samples <= UINT16_MAX && sample_rate > 0;
    if (!fits || l->broken || static_cast<uint32_t>(sample_rate) != l->sample_rate) {
        l->listed.clear();
        l->samples = 0;
        l->sample_rate = fits ? static_cast<uint32_t>(sample_rate) : 0;
    }
    l->broken = !fits;
    if (!fits) return;
    uint32_t crc = repair_crc(0, d, n);
    // The fingerprint is the CRC's low 16 bits (repair.h).
    timing_entry e{static_cast<uint16_t>(crc), static_cast<uint16_t>(samples)};
    l->listed.push_back({e, crc, due});
    l->samples += samples;
    while (l->listed.size() > TIMING_MAX_LISTED ||
           playing_ns(l->samples - l->listed.front().entry.samples, l->sample_rate) >=
               TIMING_LISTED_NS) {
        l->samples -= l->listed.front().entry.samples;
        l->listed.pop_front();
    }
}

void timing_list_break(timing_list *l) {
    l->broken = true;
}

bool timing_list_datagram(const timing_list &l, uint8_t chnid, std::vector<uint8_t> *out) {
    if (l.listed.empty()) return false;
    timing_datagram t;
    t.chnid = chnid;
    t.sample_rate = l.sample_rate;
    t.due = l.listed.front().due;
    t.first_crc = l.listed.front().crc;
    t.listed.reserve(l.listed.size());
    for (const auto &x : l.listed) t.listed.push_back(x.entry);
    return timing_encode(t, out);
}
