// audio_out.cc - the ALSA device: opened, paced, recovered, and opened
// again after it failed.
#include "audio_out.h"

#include <errno.h>
#include <limits.h>
#include <math.h>

#include <algorithm>

#include "mono_clock.h"

namespace {

// ALSA's own messages say nothing ours do not, and a device that stays
// away would have them printed every second.
void quiet_alsa(const char *, int, const char *, int, const char *, ...) {}

// What opening takes: the hardware side (format, rate, buffer, period) and
// the software side (wake at wake_frames of room, start at a period). 0,
// or ALSA's error with *step naming the call that failed.
int set_params(audio_out *a, snd_pcm_t *pcm, const char **step) {
    snd_pcm_hw_params_t *hw;
    snd_pcm_hw_params_alloca(&hw);
    unsigned buffer_us = static_cast<unsigned>(a->buffer_ms) * 1000;
    unsigned period_us =
        static_cast<unsigned>(std::min(AUDIO_PERIOD_MAX_MS * 1000, a->buffer_ms * 250));
    int e;
    *step = "the format";
    if ((e = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
        (e = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
        (e = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16)) < 0 ||
        (e = snd_pcm_hw_params_set_channels(pcm, hw, static_cast<unsigned>(a->channels))) < 0 ||
        (e = snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(a->rate), 0)) < 0)
        return e;
    *step = "the buffer";
    if ((e = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr)) < 0 ||
        (e = snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_us, nullptr)) < 0 ||
        (e = snd_pcm_hw_params(pcm, hw)) < 0)
        return e;
    snd_pcm_uframes_t buffer = 0, period = 0;
    if ((e = snd_pcm_get_params(pcm, &buffer, &period)) < 0) return e;
    a->buffer_frames = static_cast<long>(buffer);
    a->period_frames = static_cast<long>(period);
    long most = std::min(static_cast<long>(buffer) / 4,
                         static_cast<long>(a->rate) * AUDIO_WAKE_MAX_MS / 1000);
    a->wake_frames = std::max(a->period_frames, most / a->period_frames * a->period_frames);
    snd_pcm_sw_params_t *sw;
    snd_pcm_sw_params_alloca(&sw);
    *step = "the wake-up";
    if ((e = snd_pcm_sw_params_current(pcm, sw)) < 0 ||
        (e = snd_pcm_sw_params_set_avail_min(pcm, sw,
                                             static_cast<snd_pcm_uframes_t>(a->wake_frames))) < 0 ||
        (e = snd_pcm_sw_params_set_start_threshold(pcm, sw, period)) < 0 ||
        (e = snd_pcm_sw_params(pcm, sw)) < 0)
        return e;
    *step = "its poll descriptors";
    int n = snd_pcm_poll_descriptors_count(pcm);
    if (n < 0 || n > AUDIO_POLL_MAX) return n < 0 ? n : -EMFILE;
    a->nfds = snd_pcm_poll_descriptors(pcm, a->fds, static_cast<unsigned>(n));
    return a->nfds < 0 ? a->nfds : 0;
}

// Opens the device in the format asked for; says how it plays, or, once
// until an open works, why it cannot.
void open_device(audio_out *a, long long now) {
    snd_pcm_t *pcm = nullptr;
    const char *step = "it";
    int e = snd_pcm_open(&pcm, a->name, SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (e >= 0) e = set_params(a, pcm, &step);
    if (e < 0) {
        if (pcm) snd_pcm_close(pcm);
        if (!a->failing)
            fprintf(a->report, "audio device %s: cannot set %s up: %s; trying every second\n",
                    a->name, step, snd_strerror(e));
        a->failing = true;
        a->retry_at = now + AUDIO_RETRY_NS;
        return;
    }
    a->pcm = pcm;
    device_clock_restart(&a->clock);
    a->failing = false;
    a->delay_failed_at = -1;
    a->quiet_until = 0;
    a->asked_at = now;
    a->credit = static_cast<double>(a->buffer_frames);
    a->credit_at = now;
    fprintf(a->report,
            "audio device %s: playing %d Hz, %d channels, buffer %ld ms, period %ld ms\n", a->name,
            a->rate, a->channels, a->buffer_frames * 1000 / a->rate,
            a->period_frames * 1000 / a->rate);
}

void close_device(audio_out *a) {
    if (a->pcm == nullptr) return;
    snd_pcm_drop(a->pcm);
    snd_pcm_close(a->pcm);
    a->pcm = nullptr;
    a->nfds = 0;
    a->unwritten.clear();
}

// Takes ALSA's error e of the call what: an underrun or a suspend is
// recovered from, anything else closes the device until its next try.
// False when the device is closed.
bool survive(audio_out *a, int e, const char *what, long long now) {
    if (e == -EAGAIN) return true;
    if ((e == -EPIPE || e == -ESTRPIPE) && snd_pcm_recover(a->pcm, e, 1) == 0) {
        if (e == -EPIPE) a->underruns++;
        device_clock_restart(&a->clock);
        fprintf(a->report, "audio device %s: %s, recovered\n", a->name,
                e == -EPIPE ? "underrun" : "suspended");
        return true;
    }
    fprintf(a->report, "audio device %s: %s: %s; opening it again every second\n", a->name, what,
            snd_strerror(e));
    close_device(a);
    a->failing = true;  // said: the opens that fail until it is back say nothing
    a->retry_at = now + AUDIO_RETRY_NS;
    return false;
}

// Writes frames of pcm until the device takes no more; the frames taken.
long write_some(audio_out *a, const int16_t *pcm, long frames, long long now) {
    long done = 0;
    while (a->pcm && done < frames) {
        snd_pcm_sframes_t w = snd_pcm_writei(a->pcm, pcm + done * a->channels,
                                             static_cast<snd_pcm_uframes_t>(frames - done));
        if (w == -EAGAIN) break;
        if (w < 0) {
            // Recovered or not, what was queued was meant for a moment gone by.
            survive(a, static_cast<int>(w), "snd_pcm_writei()", now);
            a->unwritten.clear();
            return frames;
        }
        a->credit -= static_cast<double>(w);
        device_clock_took(&a->clock, w);
        done += w;
    }
    return done;
}

// Writes what the device did not take before; the frames of it left.
long write_unwritten(audio_out *a, long long now) {
    long frames = static_cast<long>(a->unwritten.size()) / a->channels;
    if (frames == 0) return 0;
    long done = write_some(a, a->unwritten.data(), frames, now);
    a->unwritten.erase(a->unwritten.begin(),
                       a->unwritten.begin() + std::min(done, frames) * a->channels);
    return static_cast<long>(a->unwritten.size()) / a->channels;
}

// A failed snd_pcm_delay: nothing is written, and the device is not
// watched for a period, unless it is an underrun, a suspend, or failures
// that went on for AUDIO_RETRY_NS. 0, the frames to write.
long delay_failed(audio_out *a, int e, long long now) {
    if (e == -EPIPE || e == -ESTRPIPE ||
        (a->delay_failed_at >= 0 && now - a->delay_failed_at >= AUDIO_RETRY_NS)) {
        a->delay_failed_at = -1;
        survive(a, e, "snd_pcm_delay()", now);
        return 0;
    }
    if (a->delay_failed_at < 0) a->delay_failed_at = now;
    a->quiet_until = now + a->period_frames * NS_PER_S / a->rate;
    return 0;
}

// Whether the device's descriptors watched[0, n) say it has room, or an
// error to tell. Only then is it asked anything: a sound server's plugin
// answers each question with a round trip to its thread, and other
// inputs wake the poll many times a second. A plugin's descriptor is
// also reset here.
bool woken(audio_out *a, const pollfd *watched, int n) {
    bool any = false;
    for (int i = 0; i < n; i++) any = any || watched[i].revents != 0;
    if (!any) return false;
    unsigned short revents = 0;
    snd_pcm_poll_descriptors_revents(a->pcm, const_cast<pollfd *>(watched),
                                     static_cast<unsigned>(n), &revents);
    return (revents & (POLLOUT | POLLERR | POLLHUP | POLLNVAL)) != 0;
}

// When a device whose descriptors stay quiet is asked for its room anyway.
long long ask_again_at(const audio_out &a) {
    return a.asked_at + a.buffer_frames * NS_PER_S / a.rate;
}

// The frames the clock lets out at now: what it played since the last
// count, and the slack, never more than a buffer.
void count_credit(audio_out *a, long long now) {
    double played = static_cast<double>(now - a->credit_at) * a->rate / NS_PER_S;
    a->credit = std::min(static_cast<double>(a->buffer_frames),
                         a->credit + played * (1 + AUDIO_PACE_SLACK));
    a->credit_at = now;
}

}  // namespace

void audio_init(audio_out *a, const char *name, int buffer_ms, FILE *report) {
    snd_lib_error_set_handler(quiet_alsa);
    *a = audio_out{};
    a->name = name;
    a->buffer_ms = buffer_ms;
    a->report = report;
}

void audio_format(audio_out *a, int rate, int channels, long long now) {
    if (a->pcm && a->rate == rate && a->channels == channels) return;
    close_device(a);
    a->rate = rate;
    a->channels = channels;
    open_device(a, now);
}

void audio_close(audio_out *a) {
    close_device(a);
    a->rate = 0;
}

int audio_watch(audio_out *a, pollfd *into, long long now) {
    if (a->pcm == nullptr || now < a->quiet_until) return 0;
    count_credit(a, now);
    if (a->credit < static_cast<double>(a->wake_frames)) return 0;
    std::copy(a->fds, a->fds + a->nfds, into);
    return a->nfds;
}

long long audio_due(const audio_out &a, long long now) {
    if (a.pcm == nullptr) return a.rate > 0 ? a.retry_at : LLONG_MAX;
    if (now < a.quiet_until) return std::min(a.quiet_until, ask_again_at(a));
    double missing = static_cast<double>(a.wake_frames) - a.credit;
    if (missing <= 0) return ask_again_at(a);  // else the descriptors say when
    double ns = missing * NS_PER_S / (a.rate * (1 + AUDIO_PACE_SLACK));
    return std::min(now + static_cast<long long>(ns) + 1, ask_again_at(a));
}

long audio_room(audio_out *a, const pollfd *watched, int n, long long now, long long *heard) {
    if (a->pcm == nullptr && a->rate > 0 && now >= a->retry_at) open_device(a, now);
    if (a->pcm == nullptr || (!woken(a, watched, n) && now < ask_again_at(*a))) return 0;
    a->asked_at = now;
    count_credit(a, now);
    snd_pcm_sframes_t avail = snd_pcm_avail_update(a->pcm);
    if (avail < 0 && !survive(a, static_cast<int>(avail), "snd_pcm_avail_update()", now)) return 0;
    if (avail < 0) avail = snd_pcm_avail_update(a->pcm);  // recovered: all room again
    long room = std::min(static_cast<long>(std::max<snd_pcm_sframes_t>(avail, 0)),
                         static_cast<long>(a->credit));
    if (room < a->wake_frames - a->period_frames / 2) {
        // Woken early (a plugin may wake at less room than it was asked
        // to): not watched again before that room is there.
        a->quiet_until = now + (a->wake_frames - room) * NS_PER_S / a->rate;
        return 0;
    }
    long waiting = write_unwritten(a, now);
    if (waiting > 0 || a->pcm == nullptr) return 0;
    snd_pcm_sframes_t delay = 0;
    int e = snd_pcm_delay(a->pcm, &delay);
    if (e < 0) return delay_failed(a, e, now);
    a->delay_failed_at = -1;
    long long held = std::max<snd_pcm_sframes_t>(delay, 0);
    device_clock_holds(&a->clock, now, held, a->rate);
    double holds = device_clock_held(a->clock, now, held);
    *heard = now + llround(holds * 1e9 / (a->rate * a->clock.ratio));
    return room;
}

void audio_write(audio_out *a, const int16_t *pcm, long frames, long long now) {
    long done = write_some(a, pcm, frames, now);
    if (a->pcm && done < frames)
        a->unwritten.assign(pcm + done * a->channels, pcm + frames * a->channels);
}
