// find.h - the player's options set to join a radio found on the LAN
// (radio_find.h).
#pragma once

#include "player_conf.h"
#include "radio_find.h"

// Sets conf to join r: its group and ports, but the now-playing and
// timing ports that conf was given; no repair when r's repair port is
// not the one beside its port. conf points into r, which must outlive it.
void find_apply(const found_radio &r, player_conf *conf);
