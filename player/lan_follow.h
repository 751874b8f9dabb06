// lan_follow.h - the radio a player found on the LAN by its name, followed
// there: the player keeps watching the LAN, and when the radio is
// announced again from elsewhere (its server started again on another
// host, from another source port, on another group or port) it joins the
// radio there and takes its server's list at once, rather than waiting
// for the one before to fall silent (follow.h). A radio that is gone
// leaves the player where it was, waiting.
#pragma once

#include "radio_find.h"
#include "run.h"

// Follows radio r, which p was started to join, from now on; with no
// mDNS responder to be had, after a line, never.
void lan_follow_start(player *p, const found_radio &r);

// Takes what the LAN says of the radio, when it has changed.
void lan_follow_check(player *p);

// Stops watching the LAN. Harmless when it never started.
void lan_follow_stop(player *p);
