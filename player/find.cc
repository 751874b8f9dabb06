// find.cc - the player's options for a radio found on the LAN.
#include "find.h"

#include "now_playing.h"

void find_apply(const found_radio &r, player_conf *conf) {
    conf->group = r.txt.group.c_str();
    conf->port = r.txt.port;
    if (!conf->now_playing_given) conf->now_playing_port = r.txt.now_playing_port;
    if (!conf->timing_given) conf->timing_port = r.txt.timing_port;
    if (r.txt.repair_port != repair_port(r.txt.port)) conf->repair = false;
}
