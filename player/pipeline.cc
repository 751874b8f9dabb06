// pipeline.cc - the played channel from its datagrams to the device.
#include "pipeline.h"

#include <algorithm>

#include "mp3_frames.h"

namespace {

// Whether audio queued now can play: the schedule runs, the server's clock
// is known and the device is open.
bool playable(const pipeline &p) {
    return p.formatted && clock_sync_ready(p.clock) && p.out.pcm != nullptr;
}

void to_timeline(pipeline *p, const repair_datagrams &handed, long long now) {
    for (const auto &d : handed) timeline_data(&p->tl, d.data(), d.size(), now);
}

// The header of the first frame of the data datagram d[0, n); false when
// it holds none.
bool first_frame(const uint8_t *d, size_t n, mp3_header *h) {
    if (n < 2) return false;
    mp3_step s = mp3_next_frame(d + 1, n - 1, true);
    *h = s.h;
    return s.kind == MP3_FRAME;
}

// The channels of the datagram's first frame; 2 when none is found.
int channels_of(const timeline_item &item) {
    mp3_header h;
    return first_frame(item.bytes.data(), item.bytes.size(), &h) ? h.channels : 2;
}

// Runs the schedule, the decoder's output and the device at rate and
// channels; false after a line when the schedule cannot.
bool set_format(pipeline *p, int rate, int channels, long long now) {
    if (p->formatted) schedule_stop(&p->sched);
    p->formatted = schedule_start(&p->sched, {rate, channels, p->conf.latency_ns, p->conf.trim_ns});
    if (!p->formatted) {
        fprintf(p->conf.report, "cannot resample %d Hz audio: nothing plays\n", rate);
        return false;
    }
    if (channels == p->dec.channels) {
        decode_reset(&p->dec);
    } else {
        decode_stop(&p->dec);
        if (!decode_start(&p->dec, channels)) {
            fprintf(p->conf.report, "libmpg123 cannot decode to %d channels\n", channels);
            schedule_stop(&p->sched);
            p->formatted = false;
            return false;
        }
    }
    audio_format(&p->out, rate, channels, now);
    return true;
}

// decode_out for the schedule: frames are queued when they can play.
void queue_frames(void *arg, long long due, int rate, const int16_t *pcm, size_t frames) {
    auto *p = static_cast<pipeline *>(arg);
    if (playable(*p) && rate == p->sched.conf.rate) schedule_add(&p->sched, due, pcm, frames);
}

// Takes what the timeline placed: a datagram is decoded into the schedule
// (in a new format first when it brings one), a gap becomes silence of its
// length.
void place(pipeline *p, const timeline_item &item, long long now) {
    if (item.rate <= 0 || item.samples <= 0) return;
    bool new_format = !p->formatted || item.rate != p->sched.conf.rate;
    if (new_format && (item.gap || !set_format(p, item.rate, channels_of(item), now))) return;
    if (!item.gap) return decode_item(&p->dec, item, queue_frames, p);
    if (!playable(*p)) return;
    std::vector<int16_t> silence(static_cast<size_t>(item.samples) *
                                 static_cast<size_t>(p->sched.conf.channels));
    schedule_add(&p->sched, item.due, silence.data(), static_cast<size_t>(item.samples));
}

// With -v: how far from its time the next frame is, how much the stream is
// resampled by and why (the server's clock and the device's against the
// player's), and the silence, the late audio and the underruns so far.
void say_time(pipeline *p, long long now) {
    const schedule_stats &k = p->sched.stats;
    double rate = static_cast<double>(p->sched.conf.rate);
    fprintf(p->conf.report,
            "timekeeping: %+.3f ms off; resampled by %+.0f ppm (the server's clock %+.1f ppm, "
            "the device's %+.0f ppm); silence %.1f s, late audio dropped %.1f s, underruns %lld\n",
            static_cast<double>(k.error_ns) / 1e6, (k.ratio - 1) * 1e6,
            (clock_sync_rate(p->clock) - 1) * 1e6, (p->out.clock.ratio - 1) * 1e6,
            static_cast<double>(k.silence) / rate, static_cast<double>(k.dropped) / rate,
            p->out.underruns);
    p->said_at = now;
}

}  // namespace

bool pipeline_start(pipeline *p, const pipeline_conf &conf) {
    p->conf = conf;
    audio_init(&p->out, conf.device, conf.buffer_ms, conf.report);
    if (decode_start(&p->dec, 2)) return true;
    fprintf(conf.report, "libmpg123 cannot make a decoder\n");
    return false;
}

void pipeline_follow(pipeline *p, int chnid) {
    if (p->decoding) {
        p->left.rebuilt += p->repair.counts.rebuilt;
        p->left.lost += p->repair.counts.lost;
    }
    p->chnid = chnid;
    p->decoding = p->conf.repair && chnid >= 1 && chnid <= 255;
    if (p->decoding) p->repair = repair_decoder_start(static_cast<uint8_t>(chnid), REPAIR_HOLD_NS);
    timeline_reset(&p->tl);
    p->placed.clear();
    decode_reset(&p->dec);
    if (p->formatted) schedule_stop(&p->sched);
    p->formatted = false;  // the channel's first datagram says the format
}

void pipeline_restart(pipeline *p) {
    pipeline_follow(p, p->chnid);
    clock_sync_reset(&p->clock);
}

void pipeline_data(pipeline *p, const uint8_t *d, size_t n, long long now) {
    mp3_header h;
    if (!p->formatted && first_frame(d, n, &h)) set_format(p, h.sample_rate, h.channels, now);
    if (!p->decoding) {
        timeline_data(&p->tl, d, n, now);
        return;
    }
    repair_datagrams handed;
    repair_decoder_data(&p->repair, d, n, now, &handed);
    to_timeline(p, handed, now);
}

void pipeline_repair(pipeline *p, const uint8_t *d, size_t n, long long now) {
    if (!p->decoding) return;
    repair_datagrams handed;
    repair_decoder_repair(&p->repair, d, n, now, &handed);
    to_timeline(p, handed, now);
}

void pipeline_timing(pipeline *p, const timing_datagram &t) {
    // A server started again on the same address and port keeps its clock,
    // unless its host started again too: then its clock went back, and
    // every datagram it times now would fall before the last one placed.
    if (p->tl.placed && t.due < p->tl.end_due - PIPELINE_CLOCK_BACK_NS)
        pipeline_follow(p, p->chnid);
    timeline_timing(&p->tl, t);
}

void pipeline_tick(pipeline *p, long long now) {
    if (p->decoding && repair_decoder_due(p->repair) <= now) {
        repair_datagrams handed;
        repair_decoder_tick(&p->repair, now, &handed);
        to_timeline(p, handed, now);
    }
    std::vector<timeline_item> items;
    timeline_take(&p->tl, p->clock, now, &items);
    for (timeline_item &item : items) p->placed.push_back(std::move(item));
    for (size_t i = 0; i < PIPELINE_DECODE_TURN && !p->placed.empty(); i++) {
        place(p, p->placed.front(), now);
        p->placed.pop_front();
    }
}

long long pipeline_due(const pipeline &p, long long now) {
    if (!p.placed.empty()) return now;
    long long due = audio_due(p.out, now);
    if (p.decoding) due = std::min(due, repair_decoder_due(p.repair));
    // A wait already over was handed to timeline_take at the last tick: only
    // those still to end count, so that one it kept can never spin the poll.
    for (const timeline_waiting &w : p.tl.waiting)
        if (w.came + TIMELINE_WAIT_NS > now) due = std::min(due, w.came + TIMELINE_WAIT_NS);
    return due;
}

int pipeline_watch(pipeline *p, pollfd *into, long long now) {
    return audio_watch(&p->out, into, now);
}

void pipeline_play(pipeline *p, const pollfd *watched, int n, long long now) {
    long long heard = 0;
    long room = audio_room(&p->out, watched, n, now, &heard);
    if (p->out.pcm == nullptr && p->formatted) schedule_flush(&p->sched);  // nothing plays it
    if (room <= 0) return;
    p->buf.assign(static_cast<size_t>(room) * static_cast<size_t>(p->out.channels), 0);
    if (playable(*p))
        schedule_fill(&p->sched, p->clock, heard, p->out.clock.ratio, p->buf.data(),
                      static_cast<size_t>(room));
    if (p->conf.verbose && playable(*p) && now - p->said_at >= PIPELINE_SAY_NS) say_time(p, now);
    audio_write(&p->out, p->buf.data(), room, now);
}

repair_counts pipeline_repair_counts(const pipeline &p) {
    repair_counts c = p.left;
    if (p.decoding) c.rebuilt += p.repair.counts.rebuilt, c.lost += p.repair.counts.lost;
    return c;
}

void pipeline_stop(pipeline *p) {
    audio_close(&p->out);
    if (p->formatted) schedule_stop(&p->sched);
    p->formatted = false;
    decode_stop(&p->dec);
}
