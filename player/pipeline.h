// pipeline.h - what becomes of the played channel's datagrams, in order:
// the repair decoder (repair_decoder.h) hands them out whole and in the
// order sent, the timeline places them on the server's clock by the timing
// datagrams, libmpg123 decodes them, the schedule holds their samples with
// their due times, and whenever the device has room the schedule fills it
// with what is due when those frames will be heard. The format (rate and
// channels) is that of the first datagram placed after a start or a switch;
// a datagram of another rate starts the schedule and the device again.
//
// Audio is queued only while it can be played: once the server's clock is
// known, and while the device is open. So nothing piles up while the
// server does not answer or the device is away, and what comes when they
// are back plays at its time.
#pragma once

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <deque>
#include <vector>

#include "audio_out.h"
#include "clock_sync.h"
#include "decode.h"
#include "repair_decoder.h"
#include "schedule.h"
#include "timeline.h"
#include "timing.h"

// How far below the last datagram placed the first of a timing datagram
// may lie before the server's clock counts as started again: its lists go
// back TIMING_LISTED_NS, and far less than this.
constexpr long long PIPELINE_CLOCK_BACK_NS = 30'000'000'000;
// How often -v says how well the player keeps time.
constexpr long long PIPELINE_SAY_NS = 10'000'000'000;
// Datagrams decoded at most in one turn of the loop.
constexpr size_t PIPELINE_DECODE_TURN = 4;

struct pipeline_conf {
    bool repair = true;        // datagrams go through a repair decoder
    long long latency_ns = 0;  // schedule_conf's
    long long trim_ns = 0;
    const char *device = nullptr;
    int buffer_ms = 0;
    FILE *report = nullptr;
    bool verbose = false;  // a line on the timekeeping every PIPELINE_SAY_NS
};

struct pipeline {
    pipeline_conf conf;
    int chnid = 0;          // the channel played; 0 none yet
    bool decoding = false;  // a repair decoder for chnid:
    repair_decoder repair;  //   this one
    repair_counts left;     // what the decoders of the channels left counted
    timeline tl;
    decoder dec;
    bool formatted = false;  // the schedule runs, at sched.conf's rate and channels
    schedule sched;
    clock_sync clock;  // the server's clock, from the time exchange
    audio_out out;
    std::vector<int16_t> buf;  // frames on their way to the device
    // What the timeline placed and is not decoded yet: decoded a few at a
    // time, so that a burst the repair decoder hands out (a block of 1.8
    // s) never keeps the loop from a device that waits.
    std::deque<timeline_item> placed;
    long long said_at = 0;  // with verbose: when the last line went
};

// A pipeline that plays nothing yet; false after a line when libmpg123
// cannot decode.
bool pipeline_start(pipeline *p, const pipeline_conf &conf);

// Plays chnid from now on: what the channel before left is dropped.
void pipeline_follow(pipeline *p, int chnid);

// Another server: its channel starts afresh, and its clock is not known.
void pipeline_restart(pipeline *p);

// Takes the played channel's data datagram d[0, n) that came at now.
void pipeline_data(pipeline *p, const uint8_t *d, size_t n, long long now);

// Takes the played channel's repair datagram d[0, n) that came at now.
void pipeline_repair(pipeline *p, const uint8_t *d, size_t n, long long now);

// Takes the played channel's timing datagram; one whose times went back
// by PIPELINE_CLOCK_BACK_NS starts the channel afresh.
void pipeline_timing(pipeline *p, const timing_datagram &t);

// Moves on what time lets go at now: datagrams whose hold is over, those
// the timeline places, decoded into the schedule.
void pipeline_tick(pipeline *p, long long now);

// When pipeline_tick or the device next needs the loop without a
// descriptor ready; LLONG_MAX for never.
long long pipeline_due(const pipeline &p, long long now);

// The device's descriptors to watch (see audio_watch).
int pipeline_watch(pipeline *p, pollfd *into, long long now);

// After the poll: writes what the device has room for.
void pipeline_play(pipeline *p, const pollfd *watched, int n, long long now);

// The counts of the repair: datagrams rebuilt, and of the blocks known,
// those that could not be.
repair_counts pipeline_repair_counts(const pipeline &p);

// Closes the device and frees the decoder and the schedule.
void pipeline_stop(pipeline *p);
