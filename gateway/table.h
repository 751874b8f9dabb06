// table.h - what the gateway knows of the radio: the server it follows, each
// channel's description, on-air state, now playing and counters. Pure: the
// caller hands in each datagram and the time, so tests drive it directly.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "now_playing.h"

// A channel with no data datagram for this long is off the air; a server
// silent this long gives way to the next one whose list comes.
constexpr long long TABLE_SILENCE_NS = 5'000'000'000LL;

struct table_channel {
    bool listed = false;          // in the server's latest list
    bool heard = false;           // listed once, or its data came
    std::string desc;             // cleaned for display (now_playing_clean)
    long long last_data_ns = -1;  // arrival of its latest data datagram; -1: none yet
    uint64_t bytes = 0;           // payload bytes received
    uint64_t datagrams = 0;       // data datagrams received
    uint64_t rebuilt = 0;         // with --repair: data datagrams rebuilt from repair
    uint64_t lost = 0;            //   and of known blocks, lost and not rebuilt
    bool has_np = false;
    now_playing np;  // the latest now-playing datagram, with has_np
    int listeners = 0;
};

struct table {
    bool has_server = false;
    sockaddr_in server{};
    long long server_heard_ns = 0;  // its latest datagram of either kind
    table_channel ch[256];          // by channel id; ch[0] unused
};

// What one datagram of the radio's port was.
enum table_kind {
    TABLE_IGNORED,  // not from the server, too short, or a data message before any list
    TABLE_LIST,     // the server's channel list, taken
    TABLE_DATA,     // data of the channel in buf[0]: the payload follows the id byte
};

// Takes one datagram from `from` that arrived at now. The first list sets
// the server; a list from another source (another port of the same
// address too) replaces it once the server has sent nothing for
// TABLE_SILENCE_NS. Each list sets
// the descriptions of the channels it names. A data message of the server
// counts towards its channel and puts it on the air.
table_kind table_take(table *t, const sockaddr_in &from, const uint8_t *buf, size_t len,
                      long long now);

// Whether from is the server's address and source port, from which alone
// now-playing and repair datagrams are taken.
bool table_from_server(const table &t, const sockaddr_in &from);

// Takes a now-playing datagram: kept for its channel when it comes from
// the server's address and source port. False when it was not taken.
bool table_take_now_playing(table *t, const sockaddr_in &from, const uint8_t *buf, size_t len);

// Data came for the channel within TABLE_SILENCE_NS before now.
bool table_on_air(const table &t, int chnid, long long now);

// The same rule for data that came last at last_ns (-1: none yet): what
// HLS asks of a channel's latest bytes.
bool table_on_air_since(long long last_ns, long long now);

// How a request for a channel's stream is answered: 200, 404 (never
// heard, or no channel id) or 503 (off the air).
int table_channel_status(const table &t, int chnid, long long now);

// What plays on the channel, as players show it: "artist - title" from
// the now-playing datagram (the title or the file alone when the rest is
// missing), else the channel's description.
std::string table_title(const table &t, int chnid);
std::string table_channel_title(const table_channel &c);
