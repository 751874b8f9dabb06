// time_service.h - the server's clock for players: answers to the time
// requests of shared/timing.h that come to its send socket, limited so
// that no flood of them, from forged sources too, can end the server, grow
// its memory or hold its sends back.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include "mytbf.h"

// The answers allowed, as token buckets (mytbf.h): tokens a second and
// burst. A player sends about 8 requests in its first second, then 1 a
// second. Per address 8 a second with a burst of 40: four players behind
// one address (a NAT) that start together take 32 of the burst, then 4 of
// the 8 a second. Overall 500 a second with a burst of 1000: 500 players
// at their steady rate, and 100 or more starting at once when the server
// restarts; at most 16 kB/s of answers, none larger than its request, go
// to whatever address the requests claim.
constexpr int TIME_ADDRESS_RATE = 8;
constexpr int TIME_ADDRESS_BURST = 40;
constexpr int TIME_ALL_RATE = 500;
constexpr int TIME_ALL_BURST = 1000;
// The addresses with a bucket of their own. A new one takes the bucket of
// the one heard from least recently, so that forged addresses grow
// nothing (and mytbf_init, which ends the process past 1024 buckets, runs
// only at the start).
constexpr int TIME_ADDRESSES = 64;
// The most datagrams read at one wake-up: under a flood the channels'
// sends that fall due wait at most for these reads.
constexpr int TIME_READS_PER_WAKE = 32;

// An address with a bucket.
struct time_peer {
    in_addr_t addr = 0;   // network order; 0: none yet
    long long heard = 0;  // when it last asked
    mytbf_bucket *bucket = nullptr;
};

struct time_service {
    int sd = -1;        // the send socket, bound on every address, IP_PKTINFO on
    uint16_t port = 0;  // its port, network order
    mytbf_bucket *all = nullptr;
    time_peer peers[TIME_ADDRESSES];
};

// The service on sd, its overall bucket full. False with errno set and
// *failed the call that failed; nothing is left allocated then.
bool time_service_start(time_service *t, int sd, const char **failed);

// Reads the datagrams waiting on the socket, TIME_READS_PER_WAKE at most,
// and answers each time request among them that was sent to a unicast
// address of this host (not to a multicast or broadcast address), from a
// port of 1024 or above that is not the server's own port at its own
// address, when its address's bucket and the overall bucket each give a
// token. The answer goes from the address the request was sent to, to the
// request's source: the request's nonce, receive the clock when it was
// read, transmit the clock when the answer goes. An answer that cannot be
// sent is passed over; it never waits.
void time_service_serve(time_service *t);

// Frees the buckets.
void time_service_stop(time_service *t);
