// channel.cc - a channel's datagrams on their way to its history, segments
// and listeners.
#include "channel.h"

#include <utility>

namespace {

// Keeps the payload of the data datagram d[0, n) for c's chunk.
void keep(channel *c, const uint8_t *d, size_t n) {
    c->pending.insert(c->pending.end(), d + 1, d + n);
}

// c's decoder, started when the listed channel's first datagram comes.
repair_decoder *decoder(channel *c) {
    if (!c->decoder)
        c->decoder = std::make_unique<repair_decoder>(repair_decoder_start(c->id, REPAIR_HOLD_NS));
    return c->decoder.get();
}

// Keeps what c's decoder handed out, in order, and the counts of all of
// c's decoders.
void keep_decoded(channel *c, const repair_datagrams &out) {
    for (const auto &d : out) keep(c, d.data(), d.size());
    const repair_counts &k = c->decoder->counts;
    c->entry->rebuilt = c->rebuilt_before + static_cast<uint64_t>(k.rebuilt);
    c->entry->lost = c->lost_before + static_cast<uint64_t>(k.lost);
}

// Takes p[0, n) into c's scan: each frame it shows whole is marked in the
// history and goes to the segments. The newest waits for more bytes
// unless at_eof: the stream stops here.
void scan(channel *c, const hls_conf &conf, const uint8_t *p, size_t n, bool at_eof) {
    mp3_scan_feed(&c->scan, p, n, at_eof,
                  [c, &conf](const uint8_t *f, const mp3_header &h, uint64_t at) {
                      long long ns = mp3_frame_ns(h);
                      history_mark(&c->hist, at, ns);
                      hls_take_frame(&c->hls, conf, f, static_cast<size_t>(h.size), ns);
                  });
}

// The stream stops here: its last frame counts, the open segment closes,
// and the scan starts again where the history ends.
void end_stream(channel *c, const hls_conf &conf) {
    scan(c, conf, nullptr, 0, true);
    hls_close(&c->hls, conf);
    c->scan = {};
    c->scan.offset = c->hist.end;
}

}  // namespace

void channel_init(channel *c, table *t, uint8_t id) {
    c->id = id;
    c->entry = &t->ch[id];
}

void channel_take_data(channel *c, const uint8_t *d, size_t n, long long now, bool repair) {
    if (!repair || !c->entry->listed) return keep(c, d, n);
    repair_datagrams out;
    repair_decoder_data(decoder(c), d, n, now, &out);
    keep_decoded(c, out);
}

bool channel_take_repair(channel *c, const uint8_t *d, size_t n, long long now) {
    if (!c->entry->listed) return false;
    repair_datagrams out;
    bool taken = repair_decoder_repair(decoder(c), d, n, now, &out);
    keep_decoded(c, out);
    return taken;
}

// Every hold ends within the hold time of now, so a tick then hands out
// all that the decoder holds.
void channel_follow_list(channel *c, long long now) {
    if (!c->decoder || c->entry->listed) return;
    repair_datagrams out;
    repair_decoder_tick(c->decoder.get(), now + c->decoder->hold_ns, &out);
    keep_decoded(c, out);
    c->rebuilt_before = c->entry->rebuilt;
    c->lost_before = c->entry->lost;
    c->decoder.reset();
}

void channel_take_due(channel *c, long long now) {
    if (!c->decoder) return;
    repair_datagrams out;
    repair_decoder_tick(c->decoder.get(), now, &out);
    keep_decoded(c, out);
}

chunk *channel_hand_out(channel *c, const channel_drain &d) {
    hls_arrival a = {d.source, d.now, d.wall_ns, table_channel_title(*c->entry)};
    if (hls_breaks(c->hls, a)) end_stream(c, d.hls);
    hls_take(&c->hls, d.hls, a);
    chunk *k = chunk_new(std::move(c->pending));
    c->pending = {};
    history_take(&c->hist, k, d.now);
    scan(c, d.hls, k->bytes.data(), k->bytes.size(), false);
    history_trim(&c->hist, d.now, d.limits);
    return k;
}

void channel_tick(channel *c, const history_limits &lim, const hls_conf &conf, long long now) {
    if (hls_off_air(c->hls, now) && (!c->hls.frames.empty() || !c->scan.pending.empty()))
        end_stream(c, conf);
    history_trim(&c->hist, now, lim);
}

void channel_clear(channel *c) {
    history_clear(&c->hist);
    hls_clear(&c->hls);
    c->decoder.reset();
}
