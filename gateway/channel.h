// channel.h - one channel of the gateway, whole: its entry in the table,
// its repair decoder, the bytes of the drain under way, the history, the
// HLS segments and the listeners. Pure: the receive hands in each
// datagram and the time, so tests drive it directly.
//
// A drain of the sockets takes datagrams into the channels (the take
// functions), then hands out each channel it touched once
// (channel_hand_out): its bytes become one chunk for the history, the
// segments and the listeners, and are scanned once for the frames that
// the history marks and the segments hold. A break in the stream (another
// server, or the channel off the air, hls_breaks) ends the scan: the
// frame still waiting for its successor counts as the last, and the scan
// starts again with the new bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "history.h"
#include "hls.h"
#include "mp3_frames.h"
#include "repair_decoder.h"
#include "table.h"

struct listener;

struct channel {
    uint8_t id = 0;
    table_channel *entry = nullptr;  // its entry in the table (status and playlists read it)
    // With --repair, while the channel is in the server's latest list: the
    // decoder, from its first datagram on; and what the decoders before it
    // counted.
    std::unique_ptr<repair_decoder> decoder;
    uint64_t rebuilt_before = 0;
    uint64_t lost_before = 0;
    std::vector<uint8_t> pending;  // its payloads of the drain under way
    mp3_stream_scan scan;          // the frames of the stream, at the history's offsets
    history hist;
    hls_channel hls;
    std::vector<listener *> listeners;  // each at its own index
    size_t listeners_waiting = 0;       // of them, those not started yet
};

// What every channel a drain touched is handed out with.
struct channel_drain {
    long long now;      // monotonic
    long long wall_ns;  // wall-clock
    uint64_t source;    // the server: its address and port as one number
    history_limits limits;
    hls_conf hls;
};

// Makes c the channel id of t.
void channel_init(channel *c, table *t, uint8_t id);

// Takes c's data datagram d[0, n), which the table took at now: its
// payload waits in pending, with repair once the decoder of a listed
// channel hands it out.
void channel_take_data(channel *c, const uint8_t *d, size_t n, long long now, bool repair);

// Takes c's repair datagram d[0, n), from the server, at now. False when
// it is not taken: its decoder refused it, or c is not in the server's
// latest list, and then nothing is held or allocated. A decoder holds at
// most REPAIR_MAX_HELD_BYTES of datagrams and REPAIR_MAX_SYMBOL_BYTES of
// symbols, so the repair's memory stays within that per listed channel,
// whatever the network brings.
bool channel_take_repair(channel *c, const uint8_t *d, size_t n, long long now);

// After each list the table takes: when c left it, its decoder hands out
// all that it holds, and goes.
void channel_follow_list(channel *c, long long now);

// Takes what c's decoder hands out by time at now (its holds ended).
void channel_take_due(channel *c, long long now);

// c's pending bytes become one chunk: its history takes it, and the frames
// that it completes are marked in the history and go to the segments.
// Returns the chunk, with a reference for the caller, who hands it to the
// listeners.
chunk *channel_hand_out(channel *c, const channel_drain &d);

// The tick's work at now: the history's trim, and the open segment closed
// once the channel went off the air.
void channel_tick(channel *c, const history_limits &lim, const hls_conf &conf, long long now);

// Frees what c holds (at shutdown).
void channel_clear(channel *c);
