// radio.h - the player's sockets of the radio: the data port, and beside
// it the repair, timing and now-playing ports, each joined to the group as
// the shared join plan says (join.h: -M, -I and -S as every listener takes
// them) and bound with reuse, so that two players, or a player beside a
// gateway or a client with --reuse-address, share them on one host; and
// what one receive takes from any of them.
#pragma once

#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/socket.h>

#include "join.h"
#include "player_conf.h"
#include "proto.h"

enum radio_port { RADIO_DATA, RADIO_REPAIR, RADIO_TIMING, RADIO_NOW_PLAYING, RADIO_PORTS };

struct radio {
    join_membership m[RADIO_PORTS];  // sd -1: not taken
};

// Opens the sockets that conf asks for. A now-playing socket that cannot
// be had costs a line; any other ends the start: -1 after a line on report.
int radio_open(radio *r, const player_conf &conf, FILE *report);

// Closes the sockets that radio_open opened; their memberships go with
// them.
void radio_close(radio *r);

// Whether the interface is followed by its name (-I gave one).
bool radio_follows(const radio &r);

// Looks the followed interface up again and joins every socket again on
// its new index when its link has come back under another.
void radio_follow(radio *r, FILE *report);

// What one receive takes at most: RADIO_BATCH datagrams, each whole.
constexpr unsigned RADIO_BATCH = 16;

struct radio_batch {
    mmsghdr msgs[RADIO_BATCH];
    iovec iov[RADIO_BATCH];
    sockaddr_in from[RADIO_BATCH];
    uint8_t *bufs = nullptr;  // RADIO_BATCH buffers of MSG_MAX_SIZE, one after the other
};

// The buffers; false when they cannot be had.
bool radio_batch_start(radio_batch *b);

// Takes up to RADIO_BATCH datagrams that sd holds, without waiting: their
// number (0 for none), or -1 with errno set.
int radio_receive(int sd, radio_batch *b);

// Datagram i of the last receive.
inline const uint8_t *radio_bytes(const radio_batch &b, unsigned i) {
    return b.bufs + static_cast<size_t>(i) * MSG_MAX_SIZE;
}
