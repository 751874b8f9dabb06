// sender_options.h - stream_sender's command line: what it is told to send
// and how, with the defaults that its usage text quotes.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

#include "defaults.h"
#include "options.h"

// clang-format off
inline constexpr char SENDER_USAGE[] =
    "usage: stream_sender [options]              channel list and channel data\n"
    "       stream_sender --raw [options] DATAGRAM...  crafted datagrams\n"
    "\n"
    "Destination and source:\n"
    "  -g, --group ADDR        multicast group to send to (" DEFAULT_MGROUP ")\n"
    "  -p, --port N            destination UDP port (" DEFAULT_PORT_TEXT ")\n"
    "  -s, --source ADDR       source address to bind (the system's choice)\n"
    "  -S, --source-port N     source port to bind (the system's choice)\n"
    "  -i, --interface IF      send out of IF: a name, an index or an address (IP_MULTICAST_IF)\n"
    "\n"
    "List and data mode:\n"
    "  -e, --entry ID:DESC     add a channel list entry; DESC may hold \\n, \\t, \\\\ escapes\n"
    "  -f, --file ID:PATH      send the bytes of PATH as channel ID's stream (ID 1 to 255)\n"
    "  -b, --payload N         payload bytes per data message, 1 to 65506 (1024)\n"
    "  -m, --mixed             mixed payload sizes from 1 up to 65000 bytes instead of -b\n"
    "  -r, --rate N            pace data at N payload bytes per second (0: unpaced; 0)\n"
    "  -l, --list-every MS     resend the list every MS milliseconds (1000; 0: once)\n"
    "  -w, --wait MS           after the first list, wait MS milliseconds before data\n"
    "  -G, --go-file PATH      after the first list, keep resending it until PATH exists,\n"
    "                          then send data\n"
    "  -F, --follow ID:PATH    keep pace with a receiver that writes channel ID's bytes\n"
    "                          to PATH: send only while under 64 KiB (32 messages) are\n"
    "                          past what PATH holds; fail when it stops growing for 10 s\n"
    "  Several files are sent interleaved, one message of each in turn. Without\n"
    "  files only the list is sent.\n"
    "\n"
    "Raw mode:\n"
    "  -x, --raw               send each DATAGRAM argument as one datagram, in order:\n"
    "                          hex:HEX (hex digits; blanks, ':' and '.' ignored) or @PATH\n"
    "      --repeat N          send the sequence N times (1)\n"
    "      --gap MS            pause MS milliseconds between datagrams (0)\n"
    "\n"
    "Ending (the sender always ends by itself):\n"
    "  -n, --count N           stop after N datagrams in all\n"
    "  -d, --duration MS       stop after MS milliseconds (60000)\n"
    "  Otherwise it stops once the files (or the raw datagrams) are sent; with\n"
    "  neither it sends the list until the count or the duration runs out.\n"
    "\n"
    "  -h, --help              show this help\n"
    "\n"
    "Multicast loopback is on and the TTL is 1. Exit status: 0 when all was\n"
    "sent, 1 on misuse or failure.\n"
    S_IS_SOURCE_PORT;
// clang-format on

// How stream_sender says it was misused: the line, and a hint to ask for
// the usage.
inline constexpr program_usage SENDER = {"stream_sender", "(try --help)\n"};

struct list_entry_arg {
    int id;
    std::string desc;
};

struct data_file {
    int id;
    std::string bytes;
    size_t sent = 0;
};

// The options, with their defaults. Numbers are long long, as the option
// table reads them.
struct sender_conf {
    std::string group = DEFAULT_MGROUP;
    long long port = DEFAULT_PORT;
    std::string source;
    long long source_port = 0;
    std::string iface;
    std::vector<list_entry_arg> entries;
    std::vector<data_file> files;
    long long payload = 1024;
    bool mixed = false;
    long long rate = 0;
    long long list_every_ms = 1000;
    long long wait_ms = 0;
    std::string go_file;
    int follow_id = 0;  // 0: not following a receiver
    std::string follow_path;
    bool raw = false;
    long long repeat = 1;
    long long gap_ms = 0;
    long long count = -1;
    long long duration_ms = 60000;
    std::vector<std::string> datagrams;
};

// Reads the command line into *conf, the files of --file too. Ends the
// process after --help (status 0) and on misuse (status 1).
void sender_parse_options(int argc, char **argv, sender_conf *conf);

// The datagram that a --raw argument stands for (hex:HEX or @PATH); ends
// the process on misuse.
std::string sender_datagram(const std::string &arg);
