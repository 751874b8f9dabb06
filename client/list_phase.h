// list_phase.h - what the client does between start-up and the relay: it
// waits for the server's channel list, shows it, and reads the channel
// chosen on standard input.
#pragma once

#include <netinet/in.h>

#include "receiver.h"

// Receives on the data socket until a datagram is the channel list, each
// with its lines unless -q, prints the list and returns its source, the
// server's address. With --tune at work the list is kept for the terminal
// (r->tune.list). Ends the process when the buffer cannot be had.
sockaddr_in list_phase(receiver *r);

// The channel number read from standard input, once every line so far is
// handed out; ends the process with status 1 when there is none.
long long read_choice_or_exit(const receiver &r);
