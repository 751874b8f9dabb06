// server.h - the stream server's configuration: its defaults, the usage
// text that quotes them, and its options.
#pragma once

#include <getopt.h>

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
    "      --timing-port N       send timing datagrams to port N, 0: none (the port + 3)\n"
    "      --announce NAME       announce the radio on the LAN as NAME, off: not (Radio on HOSTNAME)\n"
    "      --sample-rate HZ      channels send at HZ where their folder names none (most MP3s')\n"
    "      --audio-channels N    channels send 1 or 2 audio channels likewise (most MP3s')\n"
    "      --loudness LUFS       bring each track to LUFS, -70 to 0, peaks under -1 dBTP (off)\n"
    "      --state DIR           keep the tracks' loudness measures in DIR (in memory)\n"
    "      --fallback-after S    a live source silent S seconds, 1 to 600, gives way to files (5)\n"
    "      --allow-commands      a live file may name a command (\"| COMMAND\") to play\n"
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
    int timing_port = -1;       // -1: the destination port + 3
    std::string ports_note;     // why a default port is not used (ports_settle), or ""
    double loudness = 0;        // --loudness: the target in LUFS
    bool loudness_on = false;
    const char *state = nullptr;  // --state: where the measures are kept, or null
    std::string announce;         // the name it is announced as; "": default_station_name()
    bool announce_off = false;    // --announce off
    station_conf send;  // what the send loop takes (the interface and folder too), but its socket
};

// Long options without a letter.
enum {
    OPT_REPAIR_PORT = 256,
    OPT_TIMING_PORT,
    OPT_ANNOUNCE,
    OPT_SAMPLE_RATE,
    OPT_AUDIO_CHANNELS,
    OPT_LOUDNESS,
    OPT_STATE,
    OPT_FALLBACK_AFTER,
    OPT_ALLOW_COMMANDS
};

inline constexpr char SERVER_SHORT_OPTIONS[] = "M:P:I:T:S:B:L:N:OvH";

// The long options. "t" is --ttl's: "--t" abbreviated it before
// --timing-port came, and getopt_long takes an exact name over prefixes.
// So are "s" (--source-port's, before --sample-rate and --state), "l"
// (--list-interval's, before --loudness) and "a" (--announce's, before
// --audio-channels).
inline constexpr option SERVER_LONG_OPTIONS[] = {
    PLACE_LONG_OPTIONS,
    {"ttl", required_argument, nullptr, 'T'},
    {"t", required_argument, nullptr, 'T'},
    {"source-port", required_argument, nullptr, 'S'},
    {"s", required_argument, nullptr, 'S'},
    {"payload", required_argument, nullptr, 'B'},
    {"list-interval", required_argument, nullptr, 'L'},
    {"l", required_argument, nullptr, 'L'},
    {"now-playing-port", required_argument, nullptr, 'N'},
    {"repair-port", required_argument, nullptr, OPT_REPAIR_PORT},
    {"timing-port", required_argument, nullptr, OPT_TIMING_PORT},
    {"announce", required_argument, nullptr, OPT_ANNOUNCE},
    {"a", required_argument, nullptr, OPT_ANNOUNCE},
    {"sample-rate", required_argument, nullptr, OPT_SAMPLE_RATE},
    {"audio-channels", required_argument, nullptr, OPT_AUDIO_CHANNELS},
    {"loudness", required_argument, nullptr, OPT_LOUDNESS},
    {"state", required_argument, nullptr, OPT_STATE},
    {"fallback-after", required_argument, nullptr, OPT_FALLBACK_AFTER},
    {"allow-commands", no_argument, nullptr, OPT_ALLOW_COMMANDS},
    {"once", no_argument, nullptr, 'O'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};
