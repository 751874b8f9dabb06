// find.h - the radio found on the LAN: the servers that announce
// themselves (radio_txt.h), browsed for a while, and the one the player
// joins: the only one there is, or the one named with --radio.
#pragma once

#include <string>
#include <vector>

#include "player_conf.h"
#include "radio_txt.h"

// How long the LAN is browsed.
constexpr int FIND_BROWSE_MS = 2000;

// A radio announced on the LAN.
struct found_radio {
    std::string name;     // its service name
    std::string address;  // its server's IPv4 address
    int source_port = 0;  // its server's source port (the SRV record's)
    radio_txt txt;
};

// The radios on the LAN, browsed for FIND_BROWSE_MS; those whose record
// cannot be read are left out. False with *why set when no mDNS
// responder answers.
bool find_radios(std::vector<found_radio> *radios, std::string *why);

// Which radio of radios to join: the one named name, or with name null the
// only one. Its index, or -1 when none is named so or there are none,
// -2 when there are several and no name.
int find_choose(const std::vector<found_radio> &radios, const char *name);

// "NAME: group G port P, N channels, server A port S", the name with its
// control characters made blanks.
std::string find_line(const found_radio &r);

// Sets conf to join r: its group and ports, but the now-playing and
// timing ports that conf was given; no repair when r's repair port is
// not the one beside its port. conf points into r, which must outlive it.
void find_apply(const found_radio &r, player_conf *conf);
