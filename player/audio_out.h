// audio_out.h - the audio device a player writes to, through ALSA: opened
// non-blocking with 16-bit samples at the stream's rate and channels (the
// plug layer, or the sound server behind "default", converts them to what
// the hardware takes), a buffer of --buffer and periods of a few
// milliseconds (some cards move the position they report, and so the
// delay, only a period at a time), its poll descriptors in the player's one
// poll, which wakes for the device when it has room for a few periods. An
// underrun
// is recovered from; a device that fails (unplugged, its sound server
// gone) is closed and opened again every AUDIO_RETRY_NS, the radio going
// on meanwhile. Each such event is said in one line.
//
// Some devices take frames faster than they play them: ALSA's null device
// takes everything at once and reports nothing queued. So frames never go
// out faster than the clock plays them, and AUDIO_PACE_SLACK more, which
// a real device never notices: such a device costs what a real one does.
#pragma once

#include <alsa/asoundlib.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "device_clock.h"

constexpr long long AUDIO_RETRY_NS = 1'000'000'000;
constexpr int AUDIO_PERIOD_MAX_MS = 10;  // and at most a quarter of the buffer
// The room the player waits for before it writes, at most; and at most
// half the buffer. Each wake costs a sound server's plugin a round trip to
// its thread: this halves them at the default buffer.
constexpr int AUDIO_WAKE_MAX_MS = 20;
constexpr double AUDIO_PACE_SLACK = 0.01;
constexpr int AUDIO_POLL_MAX = 8;  // a device's poll descriptors at most

struct audio_out {
    const char *name = nullptr;  // ALSA's
    int buffer_ms = 0;
    FILE *report = nullptr;    // where its lines go
    snd_pcm_t *pcm = nullptr;  // null while closed
    int rate = 0;              // the format to play; 0 until the stream gives one
    int channels = 0;
    long buffer_frames = 0;  // as the device took them
    long period_frames = 0;
    long wake_frames = 0;  // the room written at, at least (ALSA's avail_min)
    pollfd fds[AUDIO_POLL_MAX];
    int nfds = 0;
    long long retry_at = 0;          // while closed with a format: when to open it again
    bool failing = false;            // the last open failed: said once, until one works
    double credit = 0;               // frames the clock lets go out now
    long long credit_at = 0;         // when credit was counted
    long long delay_failed_at = -1;  // when the delay first failed in a row; -1: it works
    long long quiet_until = 0;       // not watched before: woken early, or the delay failed
    long long asked_at = 0;          // when the device was last asked for its room
    long long underruns = 0;
    // Frames the device did not take when they were written (it took
    // fewer than it had said it had room for): they go first next time,
    // and count as queued ahead of the loudspeaker meanwhile.
    std::vector<int16_t> unwritten;
    device_clock clock;  // how fast it plays against the player's clock
};

// A closed device called name, with a buffer of buffer_ms, saying its
// events on report.
void audio_init(audio_out *a, const char *name, int buffer_ms, FILE *report);

// Plays rate and channels from now: the device is opened (again, when it
// was open with another format) at once.
void audio_format(audio_out *a, int rate, int channels, long long now);

// Closes the device; the format is kept, but nothing opens it again
// before the next audio_format.
void audio_close(audio_out *a);

// Copies into `into` (room for AUDIO_POLL_MAX) the descriptors that the
// poll watches for the device at now: none while it is closed, or while
// the clock lets no wake_frames out. Their number.
int audio_watch(audio_out *a, pollfd *into, long long now);

// When the device needs the loop without a descriptor ready: to open it
// again, when the clock next lets wake_frames out, or a buffer's time
// after it was last asked for its room (a plugin whose server went away
// may never wake its descriptor: it is asked, and so found out); LLONG_MAX
// for never.
long long audio_due(const audio_out &a, long long now);

// After the poll, whose descriptors for the device were watched[0, n):
// opens a closed device when its time has come, recovers from an underrun,
// closes a device that failed. The frames that may be written now (0 for
// none), the first of which will be heard at *heard (the player's clock:
// what the device holds, at the rate it plays, a.clock.ratio times what it
// says).
// Room is written from half a period short of wake_frames on: a sound
// server's plugin may count the room a frame short of it for good.
// A delay that cannot be had writes nothing for a period (a sound
// server's plugin fails it for a moment while its stream is made again),
// and closes the device only after AUDIO_RETRY_NS of failures.
long audio_room(audio_out *a, const pollfd *watched, int n, long long now, long long *heard);

// Writes frames of pcm that audio_room allowed; what the device does not
// take now waits for its next room, ahead of anything else.
void audio_write(audio_out *a, const int16_t *pcm, long frames, long long now);
