// reload.h - reading the music folder again while the broadcast goes on: the
// scan runs in a helper thread, so that no channel waits for it, and the
// send loop puts its result on the air at its next turn.
#pragma once

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#include <atomic>
#include <string>
#include <vector>

#include "channels.h"
#include "station.h"

// One scan. The helper writes the results, then sets finished; the loop
// reads them only after it has seen finished and joined the helper.
struct rescan {
    pthread_t thread{};
    bool running = false;  // started and not yet joined (the loop's alone)
    std::atomic<bool> finished{false};
    std::string folder;
    audio_format wanted{0, 0};  // the channels' format where their folders name none
    bool ok = false;  // the folder can be served: channels and list are set
    std::vector<channel_def> channels;
    std::vector<uint8_t> list;
    std::string why;     // without ok: why the folder is refused
    std::string report;  // the lines the scan reported, to be written by the loop
};

// Starts a scan of folder in a helper thread that has every signal blocked.
// False with errno set when the thread cannot be started.
bool rescan_start(rescan *r, const char *folder, audio_format wanted = audio_format{0, 0});

// Whether the running scan has finished; it is then joined.
bool rescan_done(rescan *r);

// Waits for the running scan to end, and joins it.
void rescan_wait(rescan *r);

// Puts a finished scan's programme on the air at now, and says so on report
// (with the scan's own lines first). A channel that goes on finishes its
// file and then plays the file that sorts after it in its new list; a new
// channel (or one that had stopped) starts at now; a channel gone from the
// folder stops, with its summary line; the new list goes at the next list
// time. A refused folder leaves air as it was, with a line saying why.
void reload_apply(on_air *air, rescan *r, const station_conf &conf, long long now, FILE *report);
