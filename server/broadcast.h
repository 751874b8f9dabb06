// broadcast.h - the server's sending: every channel's frames at the pace they
// play, interleaved, the channel list at its interval and what each channel
// plays on the now-playing port, until it is told to stop; the folder read
// again when it is told to reload.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "channels.h"
#include "mono_clock.h"
#include "pacing.h"
#include "playout.h"

struct broadcast_conf {
    int sd = -1;                  // the sending socket
    sockaddr_in dest{};           // the group and port
    int now_playing_port = 0;     // where the now-playing datagrams go; 0: nowhere
    const char *iface = nullptr;  // the interface as the user named it, or null
    const char *folder = "";      // the music folder, read again on SIGHUP
    size_t payload = 1024;        // most payload bytes per data message
    long long list_interval_ns = 1'000'000'000;
    bool once = false;     // play each channel's files once, then end
    bool verbose = false;  // a line each time a channel starts a file
};

// One channel on the air.
struct channel_run {
    playout play;
    std::vector<uint8_t> payload;  // the next message's frames
    long long payload_ns = 0;      // their playing time; 0: the channel has ended
    channel_clock clock;
    long long bytes_sent = 0;
    long long announced = 0;        // play.files_played when the last file was announced
    std::string now_playing;        // the datagram of the file on the air
    long long now_playing_due = 0;  // when it goes again
};

// What the server sends: the channels' runs, in channel order, and the list.
struct on_air {
    std::vector<channel_run> runs;
    std::vector<uint8_t> list;
};

// A run of ch whose clock starts at start, index of count channels started
// together, its first message read. Files that fail are reported on report.
channel_run broadcast_run(channel_def ch, const broadcast_conf &conf, long long start, size_t index,
                          size_t count, FILE *report);

// Sends the list and the channels until a signal of stop (SIGTERM or
// SIGINT) arrives or, with once, every channel has ended; a SIGHUP reads
// the folder again (as broadcast_reload says). The signals are blocked;
// one that came before is taken too. Returns 0 then, or 1 when no channel
// plays any more (said on report), or when a send fails in a way that only
// a fault of the server explains. A network that is gone or refuses (the
// link down, the interface deleted, no route) does not stop it: one line
// when sends start failing and one when they work again, and the channels
// keep their clocks meanwhile (their audio of that time is lost).
int broadcast(on_air *air, const broadcast_conf &conf, const sigset_t &signals, FILE *report);

// What a failed send means, by its errno: a full queue drops the datagram
// (a listener would lose it the same way); a network that is gone or
// refuses (ENETUNREACH, ENETDOWN, EHOSTUNREACH, ENODEV, EADDRNOTAVAIL,
// EPERM, ENOBUFS) loses it and the server goes on; anything else (EBADF,
// EFAULT, EINVAL, EMSGSIZE...) can only be a fault of the server.
enum send_failure { SEND_DROPPED, SEND_NETWORK_DOWN, SEND_FAULT };
send_failure broadcast_send_failure(int err);

// The stop summary: one line per channel, what it played and sent.
void broadcast_summary(const on_air &air, FILE *report);
