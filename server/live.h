// live.h - a channel's live source: a stream that FFmpeg's libraries read
// (an http:// or https:// radio, another gateway's /channels/N, an HLS
// playlist, a FIFO or file that a program writes, or a command's standard
// output with --allow-commands), named by the first line
// of the file "live" in the channel's folder. A thread of its own reads it
// and, unless it is MP3 of the channel's format already (whose frames go
// out as they come), decodes and encodes it as MP3 of that format, with LAME's bit
// reservoir off, so that every frame stands alone and whole frames can be
// dropped or repeated; the send loop takes the frames from a queue and
// never waits for the source.
//
// What holds, whatever the source does:
//   - the queue holds at most LIVE_QUEUE_NS of audio: the oldest frames
//     are dropped when the source runs ahead of the server's clock (or
//     sends a burst), and a silent frame goes out in a gap shorter than
//     the fallback time, each counted;
//   - every attempt to open and every wait for data are bounded (by
//     LIVE_OPEN_S and the fallback time), and a failed source is tried
//     again after 1 s, then 2, 4... up to LIVE_RETRY_MAX_S;
//   - live_stop ends the thread within a bounded time, whatever it waits on.
#pragma once

#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transcode.h"

constexpr long long LIVE_QUEUE_NS = 2'000'000'000;  // the most audio queued
constexpr long long LIVE_START_NS = 500'000'000;    // queued before it goes on the air
constexpr int LIVE_OPEN_S = 5;
constexpr int LIVE_RETRY_MAX_S = 30;

struct live_source {
    std::string url;    // as the live file names it
    std::string shown;  // as it is shown: without credentials or query
    audio_format format;
    long long fallback_ns = 5'000'000'000;
    FILE *report = stderr;
    int channel = 0;

    std::mutex lock;  // guards what follows, up to the thread
    std::condition_variable wake;
    std::deque<std::vector<uint8_t>> frames;  // whole MP3 frames, oldest first
    long long frame_ns = 0;                   // the playing time of one
    long long last_audio_ns = -1;             // when audio last came (CLOCK_MONOTONIC), -1: never
    std::string title;                        // the stream's title (ICY), when it gives one
    std::string codec;                        // what it is coded as
    bool as_is = false;      // MP3 of the channel's format: its frames go out as they come
    long long dropped = 0;   // frames dropped: the source ran ahead
    long long inserted = 0;  // silent frames sent in its gaps
    bool stop = false;

    std::vector<uint8_t> silence;  // one silent frame of the channel's format
    long long silence_ns = 0;      // its playing time
    std::thread worker;
};

// Whether url is a command ("| COMMAND"), run with /bin/sh -c and read on
// its standard output (only with --allow-commands).
bool live_is_command(const std::string &url);

// The source as it may be shown: credentials, query and fragment dropped;
// a command by its program's name.
std::string live_shown(const std::string &url);

// Starts reading url for a channel of format f. False with *why set when
// the channel's encoder cannot start.
bool live_start(live_source *l, const std::string &url, audio_format f, long long fallback_ns,
                int channel, FILE *report, std::string *why);

// Whether the source is on the air at now: for a channel that plays it
// (playing true), audio came within the fallback time; for one that plays
// its files, LIVE_START_NS of audio is queued and came within a second.
bool live_on_air(live_source *l, long long now, bool playing);

// Takes the next frames into *payload, as many as fit max bytes (one at
// least), or a silent frame when none is queued. Returns their playing
// time in nanoseconds.
long long live_take(live_source *l, size_t max, std::vector<uint8_t> *payload);

void live_stop(live_source *l);
