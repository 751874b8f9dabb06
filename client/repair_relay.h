// repair_relay.h - the client's repair (--repair): the repair port's socket
// beside the data socket, and a repair decoder (repair_decoder.h) for the
// channel the client relays. The decoder takes the channel's accepted data
// datagrams and the followed server's repair datagrams for that channel,
// and hands out the channel's datagrams in the order they were sent, lost
// ones rebuilt where their block allows, at most REPAIR_HOLD_NS after they
// came; the client relays what it hands out as if it came from the server
// then. Time is passed in, and nothing here writes to the player.
//
// The counts of what the decoders rebuilt and could not rebuild are kept
// where a signal handler can say them: there is one relay per process.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "join.h"
#include "repair_decoder.h"

struct repair_relay {
    join_membership membership;  // the repair socket's, joined as the data socket is
    bool decoding = false;       // the followed channel, one of 1 to 255, has a decoder:
    repair_decoder decoder;      //   this one
    repair_counts left;          // what the decoders of the channels left counted
};

// Opens r's socket (r->membership.sd): joined to the group as data is, on
// its interface and for its sender, and bound to port, shared as
// membership_bind does with reuse. Returns the socket, or -1 with errno set
// and *failed naming the call that failed.
int repair_relay_open(repair_relay *r, const join_membership &data, uint16_t port, bool reuse,
                      const char **failed);

// Drops what the repair socket holds: the list phase, which cannot use it,
// has let it gather while it waited for the choice. Stops early at a flood.
void repair_relay_skip_waiting(const repair_relay &r);

// Follows channel chnid from now on: a new decoder for 1 to 255, none for
// other numbers (0 relays the lists as they come, and the others match
// nothing). What the decoder of the channel left still holds is appended
// to out at once, as it is.
void repair_relay_follow(repair_relay *r, long long chnid, repair_datagrams *out);

// Takes the followed channel's data datagram p[0, n), accepted by the
// client's rules, that came at now, and appends to out what may go. The
// relay must decode (decoding).
void repair_relay_data(repair_relay *r, const uint8_t *p, size_t n, long long now,
                       repair_datagrams *out);

// Takes the datagram p[0, n) that came on the repair port from `from` at
// now, and appends to out what may go. Only the followed server's repair
// datagrams (the address and source port of server) for the followed
// channel count; the rest are passed over.
void repair_relay_repair(repair_relay *r, const sockaddr_in &server, const sockaddr_in &from,
                         const uint8_t *p, size_t n, long long now, repair_datagrams *out);

// Appends to out what may go by time at now.
void repair_relay_tick(repair_relay *r, long long now, repair_datagrams *out);

// How long a wait that starts at now may last before the decoder has
// something to hand out by time: milliseconds rounded up, so that a wake
// is never early; -1 while nothing is held.
int repair_relay_wait_ms(const repair_relay &r, long long now);

// The line that says the counts, written into buf[0, size) and cut to fit;
// its length. Async-signal-safe.
size_t repair_counts_text(char *buf, size_t size, long long rebuilt, long long lost);

// Writes the counts line of everything the relay's decoders did so far to
// standard error. Async-signal-safe: for player_last_word.
void repair_relay_say_counts();
