// broadcast.h - the server's sending: every channel's frames at the pace they
// play, interleaved, and the channel list at its interval, until it is told
// to stop.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "channels.h"
#include "pacing.h"
#include "playout.h"

struct broadcast_conf {
    int sd = -1;            // the sending socket
    sockaddr_in dest{};     // the group and port
    size_t payload = 1024;  // most payload bytes per data message
    long long list_interval_ns = 1'000'000'000;
    bool once = false;  // play each channel's files once, then end
};

// One channel on the air.
struct channel_run {
    playout play;
    std::vector<uint8_t> payload;  // the next message's frames
    long long payload_ns = 0;      // their playing time; 0: the channel has ended
    channel_clock clock;
    long long bytes_sent = 0;
};

// The channels' runs, their clocks started at now and their first messages
// read. Files that fail are reported on report.
std::vector<channel_run> broadcast_start(const std::vector<channel_def> &channels,
                                         const broadcast_conf &conf, long long now, FILE *report);

// Sends the list and the channels until a signal of stop arrives (they are
// blocked; one that came before is taken too) or, with once, every channel
// has ended. Returns 0 then, or 1 when no channel plays any more (said on
// report), or when a send fails for another reason than a full queue.
int broadcast(std::vector<channel_run> *runs, const std::vector<uint8_t> &list,
              const broadcast_conf &conf, const sigset_t &stop, FILE *report);

// The stop summary: what each channel played and sent.
void broadcast_summary(const std::vector<channel_run> &runs, FILE *report);

// The monotonic clock in nanoseconds.
long long now_ns();
