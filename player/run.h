// run.h - the running player: its one record, set up at the start, and
// the one poll over everything it waits on (the ending signals, the
// terminal, the radio's sockets, the time answers and the device), whose
// timeout is the earliest of what time alone moves on: a repair hold, the
// timeline's wait for a timing datagram, the next time request, the
// device's pacing or its next try, and the followed interface's look-up.
#pragma once

#include <stdio.h>

#include <deque>
#include <string>
#include <vector>

#include "follow.h"
#include "pipeline.h"
#include "player_conf.h"
#include "radio.h"
#include "radio_find.h"
#include "time_ask.h"
#include "titles.h"
#include "tune.h"

// A data datagram that came before any list.
struct early_datagram {
    std::vector<uint8_t> bytes;
    sockaddr_in from{};
    long long at = 0;
};

// Kept before the first list at most: the datagrams, and how old.
constexpr size_t EARLY_MAX = 256;
constexpr long long EARLY_NS = 2'000'000'000;

struct player {
    player_conf conf;
    FILE *report = stderr;      // every line but the list's
    bool show_visible = false;  // standard output is a terminal: descriptions made visible
    bool err_visible = false;   // standard error is a terminal: titles made visible
    int signals = -1;           // a signalfd of SIGTERM and SIGINT
    radio rx;
    radio_batch batch;
    follow server;
    time_ask ask;
    pipeline pipe;
    titles heard;
    tuning tune;               // the typed lines; tune.pending the channel asked for
    bool listed = false;       // the server's list was shown
    bool reading = false;      // standard input is read for channels (no -c)
    bool input_ended = false;  //   until it ends
    int playing = 0;           // the channel played; 0 none yet
    long long follow_at = 0;   // when the followed interface is looked up next
    // The data of the channel asked for that came before the first list
    // (the list comes once a second): played once the list says whose, so
    // that the first sample comes the latency after the start.
    std::deque<early_datagram> early;
    // The radio found on the LAN, as last announced, and the watch that
    // follows it there (lan_follow.h); not running when none was found.
    found_radio joined;
    dnssd_watch lan;
    unsigned long lan_seen = 0;  // the watch's changes taken
    bool moved = false;          // the radio moved: its server's list is awaited
};

// Sets p up to play as conf says: the signals caught, the sockets, the
// decoder. False after a line on standard error.
bool player_start(player *p, const player_conf &conf);

// Plays until SIGTERM or SIGINT (0), or until standard input ends before
// any channel was chosen on it (1).
int player_run(player *p);

// Says the counts of the repair and closes the device.
void player_stop(player *p);
