// radio_find.h - the radios found on the LAN: the servers that announce
// themselves (radio_txt.h), browsed for a while through the host's mDNS
// responder (dnssd.h), and the one a receiver joins: the only one there
// is, or the one it names.
#pragma once

#include <string>
#include <vector>

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
