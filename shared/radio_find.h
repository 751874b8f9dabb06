// radio_find.h - the radios found on the LAN: the servers that announce
// themselves (radio_txt.h), each with the page of a gateway that serves it
// when one announces itself as a web service whose TXT names the radio
// ("radio=GROUP:PORT"), browsed for a while through the host's mDNS
// responder (dnssd.h); and the one a receiver joins: the only one there
// is, or the one it names.
#pragma once

#include <string>
#include <vector>

#include "dnssd.h"
#include "radio_txt.h"

// The service type a gateway's page is announced as.
inline constexpr char PAGE_SERVICE_TYPE[] = "_http._tcp";

// How long the LAN is browsed.
constexpr int FIND_BROWSE_MS = 2000;

// The types find_radios browses for, which radios_of reads.
std::vector<std::string> find_types();

// The radios among services of find_types(), each with a gateway's page
// when one serves it; those whose record cannot be read are left out.
std::vector<found_radio> radios_of(const std::vector<dnssd_found> &services);

// The radios on the LAN (radios_of), browsed for FIND_BROWSE_MS. False
// with *why set when no mDNS responder answers.
bool find_radios(std::vector<found_radio> *radios, std::string *why);

// Which radio of radios to join: the one named name, or with name null the
// only one. Its index, or -1 when none is named so or there are none,
// -2 when there are several and no name.
int find_choose(const std::vector<found_radio> &radios, const char *name);

// "NAME: group G port P, N channels, server A port S[, gateway URL]", the
// name with its control characters made blanks.
std::string find_line(const found_radio &r);
