// time_ask.h - the player's side of the time exchange (timing.h): requests
// from a UDP socket of the player's own to the followed server's address
// and source port, when clock_sync says one is due, each with a random
// 64-bit nonce; answers taken only from that address and port, with the
// nonce of a request still waited for (the last TIME_WAITED sent), each
// once, and handed to the clock estimate with the player's own times of
// sending and receiving (CLOCK_MONOTONIC). A forger off the path cannot
// guess a nonce; a copy or a late answer to a forgotten request counts
// for nothing.
//
// The socket is connected to the server: the kernel then delivers only
// its datagrams, and names the address it really talks to. A server on
// the player's own host whose multicast leaves with no source address
// (0.0.0.0, as over a loopback route without one) answers from a local
// address; connecting names that one.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <deque>

#include "clock_sync.h"

// Requests waited for at once: a burst's (CLOCK_BURST); an answer later
// than that many requests is not waited for any more.
constexpr size_t TIME_WAITED = CLOCK_BURST;

struct time_request {
    uint64_t nonce = 0;
    long long sent = 0;  // the player's clock
};

struct time_ask {
    int sd = -1;
    bool has_server = false;
    sockaddr_in server{};  // the list's source
    bool connected = false;
    sockaddr_in peer{};  // where the connected socket sends: the server's answers come from it
    std::deque<time_request> waited;  // oldest first
    int failed_errno = 0;             // of the last failed send, said once; 0 after one works
};

// The socket (non-blocking), or -1 with errno set.
int time_ask_open(time_ask *t);

// Asks server from now on; the requests sent to another are forgotten.
// The socket is connected at the first request.
void time_ask_follow(time_ask *t, const sockaddr_in &server);

// Sends a request when clock_sync says one is due at now, and counts it
// there, sent or not (a network that is down is tried again at the next
// one). -1 with errno set when a send failed with another error than the
// one before: it is to be said.
int time_ask_send(time_ask *t, clock_sync *c, long long now);

// Takes the datagram p[0, n) that came from `from` at came (the player's
// clock). True with *s set when it comes from t->peer and answers a
// request waited for, which is then no longer waited for.
bool time_ask_match(time_ask *t, const sockaddr_in &from, const uint8_t *p, size_t n,
                    long long came, clock_sample *s);

// Takes what the socket holds into c; -1 with errno set when a receive failed.
int time_ask_receive(time_ask *t, clock_sync *c);
