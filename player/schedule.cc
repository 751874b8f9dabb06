// schedule.cc - the queued audio as one stream on the server's timeline,
// resampled onto the device's so that each sample is heard when it is due.
#include "schedule.h"

#include <math.h>
#include <soxr.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "mono_clock.h"

namespace {

// The ratio's reach the resampler is made for (it needs the largest).
constexpr double MAX_RATIO = 1.01;
// The ratio follows the error in proportion over P_NS, and its sum over
// I_NS, so that a device whose clock drifts from the player's is followed
// with no error left: with I_NS = 2 P_NS a critically damped loop that
// settles in a few seconds and averages away the jitter of a device's
// delay reports.
constexpr double P_NS = 1e9;
constexpr double I_NS = 2e9;
// A gap in the queued audio longer than this is not fed as silence
// through the resampler: the stream starts again at the audio after it.
constexpr long long REFEED_NS = 1'000'000'000;
// Audio due this little apart from where the stream stands is its next
// frame: half a frame at 44.1 kHz.
constexpr long long TOUCH_NS = 11'000;
// The resampler takes in all it is offered, and holds what it does not
// need yet: it is offered the stream up to this many frames past where
// its output will stand, so that the stream (fed, next_due) never runs
// further ahead of what is heard, and audio queued beyond it is never
// taken for passed. (Its filter needs some 240 frames; offered 64 frames
// past a fill's need, it took 500 frames a second more than it played,
// in fills of 10 ms.)
constexpr double REACH_FRAMES = 512;
// What it is offered at least and at most in one call.
constexpr size_t OFFER_MIN = 16, OFFER_MAX = 1024;

long long frames_ns(const schedule &s, long long frames) {
    return frames * NS_PER_S / s.conf.rate;
}

long long ns_frames(const schedule &s, long long ns) {
    return ns * s.conf.rate / NS_PER_S;
}

// Due time of the next frame of the front chunk.
long long front_due(const schedule &s) {
    const schedule_chunk &c = s.queue.front();
    return c.due + frames_ns(s, static_cast<long long>(c.used));
}

// Takes the queued audio due before due off the queue; late says that its
// time has gone unplayed (counted as dropped), else it was fed.
void take_before(schedule *s, long long due, bool late) {
    while (!s->queue.empty()) {
        schedule_chunk &c = s->queue.front();
        size_t frames = c.pcm.size() / static_cast<size_t>(s->conf.channels);
        long long before = ns_frames(*s, due - front_due(*s) + TOUCH_NS);
        if (before <= 0) return;
        size_t n = std::min(frames - c.used, static_cast<size_t>(before));
        c.used += n;
        if (late)
            s->stats.dropped += static_cast<long long>(n);
        else
            s->audio_end = front_due(*s);
        if (c.used == frames) s->queue.pop_front();
    }
}

// Writes into buf the n frames of the stream from where it stands (at
// s->next_due): queued audio, silence where none is due; drops audio due
// before it. Does not move the stream on.
void peek(schedule *s, int16_t *buf, size_t n) {
    take_before(s, s->next_due, true);
    const size_t ch = static_cast<size_t>(s->conf.channels);
    memset(buf, 0, n * ch * sizeof *buf);
    long long at = s->next_due;
    size_t i = 0;
    for (size_t q = 0; q < s->queue.size() && i < n; q++) {
        const schedule_chunk &c = s->queue[q];
        size_t frames = c.pcm.size() / ch, from = q == 0 ? c.used : 0;
        long long due = c.due + frames_ns(*s, static_cast<long long>(from));
        long long skip = ns_frames(*s, due - at + TOUCH_NS);
        i += static_cast<size_t>(std::max(0LL, skip));
        if (i >= n) break;
        size_t take = std::min(frames - from, n - i);
        memcpy(buf + i * ch, c.pcm.data() + from * ch, take * ch * sizeof *buf);
        i += take;
        at = c.due + frames_ns(*s, static_cast<long long>(frames));
    }
}

// Moves the stream on by n frames.
void advance(schedule *s, size_t n) {
    s->fed += static_cast<long long>(n);
    s->next_due = s->base_due + frames_ns(*s, s->fed);
    take_before(s, s->next_due, false);
}

// Starts the stream at due: nothing fed, the resampler empty.
void restart_at(schedule *s, long long due) {
    s->base_due = due;
    s->audio_end = due;
    s->fed = 0;
    s->next_due = due;
    s->out_pos = 0;
    soxr_clear(s->resampler);
    soxr_set_io_ratio(s->resampler, s->stats.ratio, 0);
}

// When on the server's clock the next frame out of the resampler was due.
// (It holds input ahead of what it hands out, more at first than later:
// its delay is not what tells where the output stands, the ratio is.)
long long out_due(const schedule &s) {
    return s.base_due + llround((s.out_pos - s.lag) * 1e9 / s.conf.rate);
}

// The resampler's lag: how many frames after an impulse goes in it comes
// out, found by sending one through (to a fraction of a frame). The same
// on every player, it counts only against the server's due times.
double measure_lag(soxr *r, int channels) {
    constexpr size_t N = 2048, AT = 512;
    std::vector<int16_t> in(N * static_cast<size_t>(channels), 0), out(in.size(), 0);
    for (int k = -2; k <= 2; k++)
        in[(AT + k) * static_cast<size_t>(channels)] = static_cast<int16_t>(16000 - 3000 * k * k);
    size_t used = 0, made = 0;
    soxr_process(r, in.data(), N, &used, out.data(), N, &made);
    size_t best = 1;
    for (size_t j = 1; j + 1 < made; j++)
        if (out[j * static_cast<size_t>(channels)] > out[best * static_cast<size_t>(channels)])
            best = j;
    auto y = [&](size_t j) { return static_cast<double>(out[j * static_cast<size_t>(channels)]); };
    double bend = y(best - 1) - 2 * y(best) + y(best + 1);
    double peak =
        static_cast<double>(best) + (bend != 0 ? 0.5 * (y(best - 1) - y(best + 1)) / bend : 0);
    soxr_clear(r);
    return made > AT ? peak - static_cast<double>(AT) : 0;
}

// Writes frames of silence to out: the stream stands still.
void silence(schedule *s, int16_t *out, size_t frames) {
    memset(out, 0, frames * static_cast<size_t>(s->conf.channels) * sizeof *out);
    s->stats.silence += static_cast<long long>(frames);
}

// Resamples the stream into out[0, frames) at ratio.
void resample(schedule *s, int16_t *out, size_t frames) {
    const size_t ch = static_cast<size_t>(s->conf.channels);
    size_t done = 0;
    int16_t in[OFFER_MAX * 2];
    while (done < frames) {
        double reach = s->out_pos + REACH_FRAMES - static_cast<double>(s->fed);
        size_t want = static_cast<size_t>(std::clamp(reach, double{OFFER_MIN}, double{OFFER_MAX}));
        peek(s, in, want);
        size_t used = 0, made = 0;
        soxr_process(s->resampler, in, want, &used, out + done * ch, frames - done, &made);
        advance(s, used);
        done += made;
        if (used == 0 && made == 0) break;  // cannot happen with input offered; never spin
    }
    if (done < frames) silence(s, out + done * ch, frames - done);
}

// Whether the stream must start again: the error beyond a jump, or the
// next audio queued far beyond where it stands once the audio fed before
// it has come out of the resampler (which holds some of it yet).
bool must_restart(const schedule &s, long long want) {
    long long error = out_due(s) - want;
    if (error > SCHEDULE_JUMP_NS || error < -SCHEDULE_JUMP_NS) return true;
    return !s.queue.empty() && front_due(s) - s.next_due > REFEED_NS && out_due(s) >= s.audio_end;
}

// Starts the stream so that the first audio queued is heard when due:
// silence until then (all of out's frames while it is later still), or
// the audio due before want dropped. Returns the frames of silence written.
size_t start(schedule *s, double rate, long long want, int16_t *out, size_t frames) {
    take_before(s, want, true);
    long long n = s->queue.empty() ? static_cast<long long>(frames)
                                   : std::max(0LL, ns_frames(*s, front_due(*s) - want));
    if (n >= static_cast<long long>(frames)) {
        silence(s, out, frames);
        return frames;
    }
    silence(s, out, static_cast<size_t>(n));
    s->stats.ratio = rate;
    restart_at(s, want + frames_ns(*s, n));
    s->streaming = true;
    return static_cast<size_t>(n);
}

// Sets the ratio for the next frames: the clocks' rate (input frames per
// output frame when nothing is wrong), corrected by the error (the next
// frame out due at want) in proportion and by its sum. The sum stops while
// the correction is at its bound; it holds what the rate misses (a
// device's drift before it is known), so it outlives a start of the
// stream, and gives back what a new rate brings: the ratio moves on
// smoothly when the rate does.
void steer(schedule *s, double rate, long long want, size_t frames) {
    if (s->rate > 0 && rate != s->rate) s->integral += (rate / s->rate - 1) * I_NS * I_NS;
    s->rate = rate;
    long long error = out_due(*s) - want;
    double e = static_cast<double>(error);
    double c = -(e / P_NS + s->integral / (I_NS * I_NS));
    if (fabs(c) < SCHEDULE_MAX_CORRECTION)
        s->integral += e * static_cast<double>(frames_ns(*s, static_cast<long long>(frames)));
    c = std::clamp(c, -SCHEDULE_MAX_CORRECTION, SCHEDULE_MAX_CORRECTION);
    double last = s->stats.ratio;
    s->stats.error_ns = error;
    s->stats.ratio = rate * (1 + c);
    soxr_set_io_ratio(s->resampler, s->stats.ratio, frames);
    s->out_pos += static_cast<double>(frames) * (last + s->stats.ratio) / 2;
}

}  // namespace

bool schedule_start(schedule *s, const schedule_conf &conf) {
    *s = schedule{};
    s->conf = conf;
    soxr_error_t err = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    soxr_quality_spec_t q = soxr_quality_spec(SOXR_16_BITQ, SOXR_VR);
    s->resampler =
        soxr_create(MAX_RATIO, 1, static_cast<unsigned>(conf.channels), &err, &io, &q, nullptr);
    if (err != nullptr) return false;
    soxr_set_io_ratio(s->resampler, 1, 0);
    s->lag = measure_lag(s->resampler, conf.channels);
    soxr_set_io_ratio(s->resampler, 1, 0);
    return true;
}

void schedule_stop(schedule *s) {
    if (s->resampler != nullptr) soxr_delete(s->resampler);
    s->resampler = nullptr;
}

void schedule_add(schedule *s, long long due, const int16_t *pcm, size_t frames) {
    schedule_chunk c;
    c.due = due;
    c.pcm.assign(pcm, pcm + frames * static_cast<size_t>(s->conf.channels));
    if (!s->queue.empty()) {  // what overlaps the audio queued last is cut from the front
        const schedule_chunk &last = s->queue.back();
        long long end =
            last.due + frames_ns(*s, static_cast<long long>(last.pcm.size()) / s->conf.channels);
        long long cut = ns_frames(*s, end - due + TOUCH_NS);
        if (cut >= static_cast<long long>(frames)) return;
        c.used = static_cast<size_t>(std::max(0LL, cut));
    }
    s->queue.push_back(std::move(c));
}

void schedule_fill(schedule *s, const clock_sync &clock, long long heard, double device_ratio,
                   int16_t *out, size_t frames) {
    long long want = clock_sync_server_at(clock, heard) - s->conf.latency_ns - s->conf.trim_ns;
    double rate = clock_sync_rate(clock) / device_ratio;
    if (s->streaming && must_restart(*s, want)) s->streaming = false;
    size_t done = s->streaming ? 0 : start(s, rate, want, out, frames);
    if (done == frames) return;
    steer(s, rate, want + frames_ns(*s, static_cast<long long>(done)), frames - done);
    resample(s, out + done * static_cast<size_t>(s->conf.channels), frames - done);
}

void schedule_flush(schedule *s) {
    s->queue.clear();
    s->streaming = false;
}
