// relay.h - the client's data phase: what the data socket receives, taken
// in batches, each datagram judged by the rules in order and given its
// lines, the chosen channel's payloads written to the player in runs. When
// the options add inputs beside the data socket (--tune,
// --now-playing-port, --repair), one poll waits on all of them: channels
// switched from the terminal, what plays said, lost datagrams rebuilt from
// the repair port.
#pragma once

#include <netinet/in.h>

#include "receiver.h"

// Relays channel choice of server (the list's source) to the player's pipe
// pd, for ever. Ends the process when the player takes nothing more, or
// the receive buffers cannot be had.
[[noreturn]] void data_phase(receiver *r, int pd, const sockaddr_in &server, long long choice);
