// receiver.h - what the client receives with once it has started, set up
// by start-up and handed to the list phase and the relay: where their lines
// go, the data socket with its membership of the group, and the inputs that
// the options add beside it; and what both phases do around a receive.
#pragma once

#include <sys/types.h>

#include "inputs.h"
#include "join.h"
#include "output.h"
#include "repair_relay.h"
#include "titles.h"
#include "tune.h"

// How long a receive waits, when an interface name or a radio on the LAN
// is followed, before the name is looked up again: a link that comes back
// is joined again, and a radio that moved is joined where it went, within
// about this time.
constexpr int FOLLOW_CHECK_S = 1;

struct radio_follow;

struct receiver {
    output *out = nullptr;      // the client's lines
    bool quiet = false;         // -q: no line per datagram
    bool show_visible = false;  // standard output is a terminal: descriptions made visible
    bool err_visible = false;   // standard error is a terminal: now-playing lines made visible
    // The data socket (data.sd) and its membership of the group, which
    // follows -I's interface when -I names it by its name.
    join_membership data;
    // What the data phase waits on: the data socket, and what the options
    // add beside it. Set up once the player runs.
    inputs watched;
    bool tuned = false;           // --tune, with a terminal on standard input:
    tuning tune;                  //   channels switched from it
    titles heard;                 // the now-playing lines, from the socket of
    join_membership now_playing;  //   now_playing, joined as data is; sd -1 for none
    repair_relay repair;          // --repair: the repair socket and the channel's decoder
    radio_follow *radio = nullptr;  // --radio: the radio followed on the LAN (radio_follow.h)
};

// Hands every line printed so far to its readers. Standard output that
// cannot be written ends the client; diagnostics that cannot be written are
// dropped.
void flush_output(output *out);

// Hands out every line so far and ends the client with status 1, the
// player with it (player_start has its stop run at exit).
[[noreturn]] void end_client(output *out);

// Counts one more failed receive in a row and waits as the wait rule says
// before the next try, with nothing held.
void pause_after_failure(output *out, int *failures);

// Looks the followed interface's name up again, and joins the group again
// when its link has come back under another index.
void follow_interface(receiver *r);

// Whether a receive that returned n is tried again at once: after an
// interruption, and after a receive timeout, which only a followed
// interface or radio sets (at start-up), once the name has been looked up
// again and what the LAN says of the radio taken.
bool receive_again(receiver *r, ssize_t n);
