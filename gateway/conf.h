// conf.h - the gateway's options: their defaults, the usage text that
// quotes them, and the reading of the command line.
#pragma once

#include <getopt.h>

#include <string>

#include "defaults.h"
#include "options.h"
#include "proxy.h"

// clang-format off
inline constexpr char GATEWAY_USAGE[] =
    "usage: stream_gateway [options]\n"
    "Serves each channel of the multicast radio over HTTP, with a page to play them.\n"
    "  -M, --mgroup ADDR          multicast group (" DEFAULT_MGROUP ")\n"
    "  -P, --port N               the radio's UDP port (" DEFAULT_PORT_TEXT ")\n"
    "  -I, --interface IF         join on IF: a name, an index or an address (the system's "
    "choice)\n"
    "  -S, --source ADDR          hear only this sender\n"
    "      --now-playing-port N   UDP port of the now-playing datagrams (the port + 1)\n"
    "      --repair               rebuild lost datagrams from the repair port (the port + 2)\n"
    "      --listen [ADDR:]PORT   HTTP address and port (all addresses, port 8000)\n"
    "      --burst MS             audio a new listener starts with, in ms (1000)\n"
    "      --lag SECONDS          drop a listener this far behind (10)\n"
    "      --listeners N          most listeners at once; more get 503 (1000)\n"
    "      --connections N        most HTTP connections at once (listeners + 64)\n"
    "      --each-address N       most of them from one address, 0 for no limit (32)\n"
    "      --name TEXT            the station's name (Radio on HOSTNAME)\n"
    "      --announce on|off      announce the page on the LAN as --name, or not (on)\n"
    "      --trust-proxy[=ADDR]   take X-Forwarded-* headers from ADDR, or any peer (none)\n"
    "      --segment SECONDS      length of an HLS segment, 2 to 10 (4)\n"
    "  -H, --help                 show this help\n"
    S_IS_SENDER;
// clang-format on

// The options, with their defaults (GATEWAY_USAGE quotes them).
struct gateway_conf {
    const char *group = DEFAULT_MGROUP;
    int port = DEFAULT_PORT;
    int np_port = 0;                      // now-playing datagrams; 0: now_playing_port(port)
    const char *interface = nullptr;      // -I: name, index or address; null: the system's choice
    const char *source = nullptr;         // -S: the one sender to join for; null: any
    const char *listen_addr = "0.0.0.0";  // --listen's address: all IPv4 addresses
    int listen_port = 8000;
    long long burst_ms = 1000;
    long long lag_s = 10;
    int listeners_max = 1000;
    std::string name = {};    // --name, cleaned as a title; "Radio on HOSTNAME" by default
    proxy_trust trust = {};   // --trust-proxy: whose X-Forwarded-* headers count; none's
    int connections_max = 0;  // --connections; 0: a little above listeners_max
    // --each-address: a household behind one NAT never meets it (browsers
    // open at most six connections to a host, a player one or two), and
    // one address cannot take all of --connections; 0: no limit.
    int each_address_max = 32;
    bool repair = false;  // --repair: rebuild lost datagrams (repair.h), 2.4 s later
    int segment_s = 4;    // --segment: an HLS segment's playing time
    bool announce = true;  // the page announced on the LAN (DNS-SD); --announce off clears it
};

// The command line's options, for getopt_long.
inline constexpr char GATEWAY_SHORT_OPTIONS[] = "M:P:I:S:H";
extern const option GATEWAY_LONG_OPTIONS[];

// The options that argv gives: exits with the usage or a report on
// misuse, and after --help.
gateway_conf conf_parse(int argc, char **argv);
