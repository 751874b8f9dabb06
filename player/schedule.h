// schedule.h - what a player writes to its audio device so that each
// sample is heard at its due time on the server's clock plus the latency
// (and the room's trim): decoded audio queued with its due times, and a
// fill that, for the moment the next frame written will be heard, hands
// out silence, drops audio, or resamples it by a little (libsoxr), so that
// the error between when a sample is due and when it will be heard goes to
// zero without an audible jump.
//
// The loop: error = (due of the next sample to play + latency + trim) -
// (server's clock when the next frame written is heard). Beyond
// SCHEDULE_JUMP_NS (a start, a switch, a restart, a silence) the fill jumps
// at once: silence for an error above it, audio dropped for one below.
// Within it the resampling ratio follows the server's clock rate against
// the player's and the device's against the player's (their drifts),
// corrected in proportion to the error and its sum, by at most
// SCHEDULE_MAX_CORRECTION. Audio that is missing (not
// queued by its time) is silence; later audio is never moved for it.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <vector>

#include "clock_sync.h"

constexpr long long SCHEDULE_JUMP_NS = 2'000'000;
constexpr double SCHEDULE_MAX_CORRECTION = 1000e-6;

struct schedule_conf {
    int rate = 44100;          // frames per second of the audio and the device
    int channels = 2;          // samples per frame
    long long latency_ns = 0;  // a sample is heard at its due time plus this
    long long trim_ns = 0;     // and this (the room's own, may be below 0)
};

// Decoded audio waiting to be played.
struct schedule_chunk {
    long long due = 0;         // of its first frame, on the server's clock
    std::vector<int16_t> pcm;  // frames of conf.channels samples
    size_t used = 0;           // frames taken already
};

struct schedule_stats {
    long long error_ns = 0;  // at the last fill
    double ratio = 1;        // input frames per output frame, at the last fill
    long long silence = 0;   // frames of silence written (nothing due, or a jump)
    long long dropped = 0;   // frames of audio dropped (late, or a jump)
};

struct soxr;

struct schedule {
    schedule_conf conf;
    std::deque<schedule_chunk> queue;  // by due time
    soxr *resampler = nullptr;
    // The stream fed to the resampler: the queued audio with silence where
    // none is due, from base_due on; fed frames so far; where it stands.
    bool streaming = false;
    long long base_due = 0;
    long long fed = 0;
    long long next_due = 0;
    long long audio_end = 0;  // due just past the last queued audio fed
    // The stream's frame (since base_due) that the next frame out of the
    // resampler carries: each frame out moves it on by the ratio, which
    // slews from the last one set to the new one over a fill.
    double out_pos = 0;
    double lag = 0;       // frames from a frame into the resampler to the same out
    double integral = 0;  // of the error over time, ns * ns, for the ratio
    double rate = 0;      // the clocks' rate at the last fill; 0 before the first
    schedule_stats stats;
};

// A schedule for conf; false when the resampler cannot be made.
bool schedule_start(schedule *s, const schedule_conf &conf);

// Frees the resampler.
void schedule_stop(schedule *s);

// Queues frames pcm[0, frames * channels) whose first is due at due.
// Audio that overlaps what is queued already is cut from the front.
void schedule_add(schedule *s, long long due, const int16_t *pcm, size_t frames);

// Fills out[0, frames * channels) with what the device plays next; its
// first frame will be heard at heard on the player's clock, which clock
// maps to the server's (clock_sync_ready), and the device plays
// device_ratio times the frames its rate says (device_clock.h).
void schedule_fill(schedule *s, const clock_sync &clock, long long heard, double device_ratio,
                   int16_t *out, size_t frames);

// Drops everything queued; the next fill starts afresh (a switch).
void schedule_flush(schedule *s);
