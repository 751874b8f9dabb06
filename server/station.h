// station.h - what the server has on the air: each channel's run (its
// playout, its clock and what it has sent), the channel list, and how the
// station sends. The send loop (broadcast.h) and the reload (reload.h) both
// work on it.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "channels.h"
#include "pacing.h"
#include "playout.h"
#include "repair_encoder.h"
#include "timing_list.h"

struct on_air;

// How the station sends.
struct station_conf {
    int sd = -1;                  // the sending socket
    sockaddr_in dest{};           // the group and port
    int now_playing_port = 0;     // where the now-playing datagrams go; 0: nowhere
    int repair_port = 0;          // where the repair datagrams go; 0: nowhere
    int timing_port = 0;          // where the timing datagrams go; 0: nowhere
    const char *iface = nullptr;  // the interface as the user named it, or null
    const char *folder = "";      // the music folder, read again on SIGHUP
    size_t payload = 1024;        // most payload bytes per data message
    long long list_interval_ns = 1'000'000'000;
    bool once = false;     // play each channel's files once, then end
    bool verbose = false;  // a line each time a channel starts a file
    audio_format wanted{0, 0};  // the channels' format where their folders name none
    // Where the files' loudness is measured (null: every file plays as it
    // is), and the loudness they are brought to, in LUFS.
    loudness_store *loudness = nullptr;
    double loudness_target = 0;
    long long fallback_ns = 5'000'000'000;  // a live source silent this long is off the air
    bool allow_commands = false;            // a live source may be a command
    // Called by the send loop once a reload has put a new programme on the
    // air (null: nothing to call), with arg.
    void (*reloaded)(const on_air &air, void *arg) = nullptr;
    void *reloaded_arg = nullptr;
};

// One channel on the air.
struct channel_run {
    playout play;
    std::vector<uint8_t> payload;  // the next message's frames
    long long payload_ns = 0;      // their playing time; 0: the channel has ended;
                                   // PLAYOUT_AGAIN: none yet, asked for again at each turn
    channel_clock clock;
    long long bytes_sent = 0;
    long long announced = 0;        // play.starts when the last start was announced
    std::string now_playing;        // the datagram of the file on the air
    long long now_playing_due = 0;  // when it goes again
    repair_encoder repair;          // its data datagrams' repair (repair.h)
    timing_list timing;             // its last data datagrams on its timeline
    long long timing_due = 0;       // when its timing datagram goes again
    std::unique_ptr<live_source> live;  // its live source, when it has one
};

// What the server sends: the channels' runs, in channel order, and the list.
struct on_air {
    std::vector<channel_run> runs;
    std::vector<uint8_t> list;
};

// A run of ch whose clock starts at start, index of count channels started
// together, its first message read, its repair's first block numbered at
// random. Files that fail are reported on report.
channel_run station_run(channel_def ch, const station_conf &conf, long long start, size_t index,
                        size_t count, FILE *report);

// Asks the loudness store (when there is one) to measure the runs' files,
// those that play next first: each channel's second file, then each third,
// and so on round, each first file last.
void station_want_loudness(const on_air &air, const station_conf &conf);

// Puts channels on the air at now, their clocks staggered (see pacing_start),
// and asks for their files' loudness.
void station_start(on_air *air, std::vector<channel_def> channels, const station_conf &conf,
                   long long now, FILE *report);

// What a run has done: "N files played, M bytes sent".
std::string station_counts(const channel_run &c);

// The stop summary: one line per channel, what it played and sent.
void station_summary(const on_air &air, FILE *report);

// Starts the live source that run's channel names, stopping the one it
// had when that is another (a failure to start is reported).
void station_live(channel_run *c, const station_conf &conf, FILE *report);

// Stops every channel's live source, closes its file, decoder and encoder.
void station_stop(on_air *air);
