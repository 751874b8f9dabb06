// player_conf.h - stream_player's options: their defaults, the usage text
// that quotes them, and the reading of the command line, which ends nothing
// and prints nothing, so that a test hands it argument vectors.
#pragma once

#include <getopt.h>

#include <string>

#include "defaults.h"
#include "options.h"

// clang-format off
inline constexpr char PLAYER_USAGE[] =
    "usage: stream_player [options]\n"
    "Plays a channel of the multicast radio on an audio device, in step with every room.\n"
    "  -M, --mgroup ADDR          multicast group (" DEFAULT_MGROUP ")\n"
    "  -P, --port N               the radio's UDP port (" DEFAULT_PORT_TEXT ")\n"
    "  -I, --interface IF         join on IF: a name, an index or an address (the system's "
    "choice)\n"
    "  -S, --source ADDR          hear only this sender\n"
    "  -c, --channel N            play channel N (else one typed on standard input)\n"
    "      --device NAME          ALSA device (default)\n"
    "      --buffer MS            the device's buffer in ms (100)\n"
    "      --latency MS           play each sample this long after its due time, in ms (3000)\n"
    "      --trim MS              and this much more, below 0 less, in steps of 0.1 ms (0)\n"
    "      --no-repair            take no repair datagrams (the port + 2)\n"
    "      --now-playing-port N   UDP port of the now-playing datagrams, 0 none (the port + 1)\n"
    "      --timing-port N        UDP port of the timing datagrams, 0 none (the port + 3)\n"
    "      --radio NAME           join the radio of this name on the LAN (the only one there)\n"
    "      --list-radios          list the radios on the LAN, then end\n"
    "  -q, --quiet                no channel list, no now-playing lines\n"
    "  -v, --verbose              say every 10 s how well it keeps time\n"
    "  -H, --help                 show this help\n"
    S_IS_SENDER;
// clang-format on

// The most --trim takes either way, in tenths of a millisecond: a second.
constexpr long long TRIM_MAX_TENTHS = 10000;

// The command line's options, for getopt_long.
inline constexpr char PLAYER_SHORT_OPTIONS[] = ":M:P:I:S:c:qvH";
extern const option PLAYER_LONG_OPTIONS[];

// The options, with their defaults (PLAYER_USAGE quotes them).
struct player_conf {
    const char *group = DEFAULT_MGROUP;
    int port = DEFAULT_PORT;
    const char *interface = nullptr;  // -I: name, index or address; null: the system's choice
    const char *source = nullptr;     // -S: the one sender to join for; null: any
    int channel = 0;                  // -c: 1 to 255; 0: typed on standard input
    const char *device = "default";   // ALSA's name
    int buffer_ms = 100;
    int latency_ms = 3000;
    long long trim_ns = 0;
    bool repair = true;         // --no-repair clears it
    int now_playing_port = -1;  // -1: now_playing_port(port); 0: none
    int timing_port = -1;       // -1: timing_port(port); 0: none (nothing can be placed)
    bool quiet = false;
    bool verbose = false;  // -v: a line on the timekeeping every PIPELINE_SAY_NS
    // Without -M, -P and -S the radio is looked for on the LAN (find.h).
    bool placed = false;          // one of them was given
    const char *radio = nullptr;  // --radio: the one of this name; null: the only one
    bool list_radios = false;     // --list-radios: list what is found, then end
    bool now_playing_given = false, timing_given = false;  // the ports given, not from --port
};

enum conf_verdict {
    CONF_RUN,     // *conf holds what to run
    CONF_HELP,    // -H: the usage on standard output, status 0
    CONF_MISUSE,  // why says what was wrong
};

// Reads argv's options into *conf, which starts with the defaults. Resets
// getopt first, so it may be called again.
conf_verdict player_conf_parse(int argc, char **argv, player_conf *conf, std::string *why);

// The milliseconds of text, a decimal number with at most one digit after
// the point and an optional sign ("-2.5", "+12", "0.1"), in nanoseconds;
// false when text is none or beyond TRIM_MAX_TENTHS.
bool trim_from_text(const char *text, long long *ns);
