// device_clock.h - how fast an audio device plays against the player's
// clock, from what it was given and what it still holds: at each write the
// frames it took so far less the frames it holds ahead of the loudspeaker
// are the frames it played by then. A device's clock is its own (a DAC's
// crystal, a sound server's timer that rounds its blocks), often hundreds
// of ppm off, and the player must know it twice over: to turn the frames a
// device holds into the time until they are heard, and to resample the
// stream by the difference. Pure: times are handed in.
//
// The rate is the least-squares slope of the frames played against the
// time over the last DEVICE_WINDOW_NS, once they span DEVICE_MIN_SPAN_NS
// (before that, the device plays as it says); a rate beyond
// DEVICE_MAX_DRIFT of what it says is not believed. The same line, at the
// level of the points of the last DEVICE_LEVEL_NS, says what the device
// holds now better than the device does: what a device (a sound server's
// plugin most of all) says it holds is off by a tenth of a millisecond or
// more each time, and the mean of a hundred of them is not; the level
// follows what the device holds when that changes for good. An underrun, or the device opened
// again, starts the count afresh and keeps the rate known.
#pragma once

#include <stddef.h>

#include <deque>

constexpr long long DEVICE_WINDOW_NS = 30'000'000'000;
constexpr long long DEVICE_MIN_SPAN_NS = 2'000'000'000;
constexpr long long DEVICE_LEVEL_NS = 2'000'000'000;
// A device's first moment after it starts is not how it plays (a sound
// server fills its own buffers first): the points of that long are not kept.
constexpr long long DEVICE_SETTLE_NS = 750'000'000;
constexpr double DEVICE_MAX_DRIFT = 5e-3;
constexpr size_t DEVICE_MAX_POINTS = 4096;

struct device_point {
    long long at = 0;   // the player's clock
    double played = 0;  // frames the device played by then
};

struct device_clock {
    double taken = 0;                 // frames the device took since the count began
    long long began = -1;             // when it began; -1: at the next point
    std::deque<device_point> points;  // oldest first
    double ratio = 1;                 // frames played per frame its rate says
    bool fitted = false;              // the line through the points, once they span enough:
    long long fit_at = 0;             //   from this time on
    double fit_played = 0;            //   this many played then
    double fit_rate = 0;              //   and this many a second
};

// Counts frames the device took.
void device_clock_took(device_clock *c, long frames);

// Takes what the device held (frames, ahead of the loudspeaker) at now;
// rate is the frames per second it says it plays.
void device_clock_holds(device_clock *c, long long now, long long held, int rate);

// What the device holds at now by the line (frames); what it said it held
// at the last count before the line is known.
double device_clock_held(const device_clock &c, long long now, long long said);

// Starts the count afresh (an underrun, an open); the rate stays.
void device_clock_restart(device_clock *c);
