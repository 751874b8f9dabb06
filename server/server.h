// server.h - the stream server's configuration: its defaults, and the usage
// text that quotes them.
#pragma once

#include <string>

#include "defaults.h"
#include "options.h"
#include "station.h"

// clang-format off
inline constexpr char SERVER_USAGE[] =
    "usage: stream_server [options] FOLDER\n"
    "Broadcasts each subfolder of FOLDER named by a number 1 to 255 as that channel.\n"
    "  -M, --mgroup ADDR         multicast group (" DEFAULT_MGROUP ")\n"
    "  -P, --port N              destination UDP port (" DEFAULT_PORT_TEXT ")\n"
    "  -I, --interface IF        send out of IF: a name, an index or an address\n"
    "  -T, --ttl N               multicast time-to-live, 0 to 255 (1)\n"
    "  -S, --source-port N       source UDP port (the destination port)\n"
    "  -B, --payload N           most payload bytes per data message, 1 to 65506 (1024)\n"
    "  -L, --list-interval MS    send the channel list every MS milliseconds (1000)\n"
    "  -N, --now-playing-port N  send what plays to port N, 0: not at all (the port + 1)\n"
    "      --repair-port N       send repair datagrams to port N, 0: none (the port + 2)\n"
    "  -O, --once                play each channel's files once, then end\n"
    "  -v, --verbose             say each file a channel starts\n"
    "  -H, --help                show this help\n"
    S_IS_SOURCE_PORT;
// clang-format on

struct server_conf {
    const char *group = DEFAULT_MGROUP;
    int port = DEFAULT_PORT;
    bool port_given = false;  // by -P
    int ttl = 1;
    int source_port = -1;       // -1: the destination port
    int now_playing_port = -1;  // -1: the destination port + 1
    int repair_port = -1;       // -1: the destination port + 2
    std::string ports_note;     // why a default port is not used (ports_settle), or ""
    station_conf send;  // what the send loop takes (the interface and folder too), but its socket
};
