// decode.h - the channel's datagrams, as the timeline places them, decoded
// to 16-bit samples with libmpg123: fed frame by frame in feed mode, with
// gapless decoding off (so that every frame gives all its samples, and the
// stream's timeline stays the server's), the output forced to the device's
// channel count. Each frame's samples come with their due time: the due
// time of its datagram plus the frames of that datagram before it. The
// decoder may hold a frame back until the next comes (it does at the
// start, to check the stream's sync), so frames are matched to their
// datagram by the number libmpg123 gives each, not by when they come out.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>

#include "timeline.h"

struct mpg123_handle_struct;

// The frames of one datagram that was fed, for matching.
struct decode_fed {
    long long first = 0;  // the number of its first frame since the reset
    int frames = 0;
    int samples = 0;  // per frame and channel
    int rate = 0;     // samples per second
    long long due = 0;
};

struct decoder {
    mpg123_handle_struct *mh = nullptr;
    int channels = 2;            // forced on every frame's output
    long long fed_frames = 0;    // frames fed since the reset
    std::deque<decode_fed> fed;  // datagrams whose frames have not all come out
    long long errors = 0;        // frames the decoder refused
};

// Called for each decoded frame: frames of d.channels samples at rate,
// the first due at due (the server's clock).
using decode_out = void (*)(void *arg, long long due, int rate, const int16_t *pcm, size_t frames);

// A decoder whose output has channels channels (1 or 2); false when
// libmpg123 cannot make one.
bool decode_start(decoder *d, int channels);

// Forgets the stream so far: the next datagram starts a new one (another
// channel, another server, a new format).
void decode_reset(decoder *d);

void decode_stop(decoder *d);

// Feeds the datagram of item (not a gap) and hands each frame that comes
// out to out.
void decode_item(decoder *d, const timeline_item &item, decode_out out, void *arg);
