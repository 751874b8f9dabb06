// player_conf.cc - stream_player's command line, read into its options.
#include "player_conf.h"

#include <ctype.h>
#include <getopt.h>
#include <stdlib.h>

#include "now_playing.h"
#include "timing.h"

namespace {

enum {
    OPT_DEVICE = 256,
    OPT_BUFFER,
    OPT_LATENCY,
    OPT_TRIM,
    OPT_NO_REPAIR,
    OPT_NOW_PLAYING,
    OPT_TIMING,
    OPT_RADIO,
    OPT_LIST_RADIOS,
};

}  // namespace

// "l" is --latency's: "--l" abbreviated it before --list-radios came, and
// getopt_long takes an exact name over prefixes.
const option PLAYER_LONG_OPTIONS[] = {
    LISTENER_LONG_OPTIONS,
    {"channel", required_argument, nullptr, 'c'},
    {"quiet", no_argument, nullptr, 'q'},
    {"verbose", no_argument, nullptr, 'v'},
    {"device", required_argument, nullptr, OPT_DEVICE},
    {"buffer", required_argument, nullptr, OPT_BUFFER},
    {"latency", required_argument, nullptr, OPT_LATENCY},
    {"trim", required_argument, nullptr, OPT_TRIM},
    {"no-repair", no_argument, nullptr, OPT_NO_REPAIR},
    {"now-playing-port", required_argument, nullptr, OPT_NOW_PLAYING},
    {"timing-port", required_argument, nullptr, OPT_TIMING},
    {"radio", required_argument, nullptr, OPT_RADIO},
    {"list-radios", no_argument, nullptr, OPT_LIST_RADIOS},
    {"l", required_argument, nullptr, OPT_LATENCY},
    {},
};

namespace {

// The option's name as the user may have written it, for a complaint.
const char *name_of(int o) {
    for (const option &l : PLAYER_LONG_OPTIONS)
        if (l.name && l.val == o) return l.name;
    return "?";
}

// Stores the number that arg gives option o, lo to hi, in *v; false with
// *why set when arg is no such number.
bool number(int o, const char *arg, long long lo, long long hi, int *v, std::string *why) {
    long long n;
    if (!option_number(arg, lo, hi, &n)) {
        *why = option_number_complaint(arg, lo, hi, (std::string("--") + name_of(o)).c_str());
        return false;
    }
    *v = static_cast<int>(n);
    return true;
}

// Takes option o with its argument arg. False with *why set when arg is
// not one the option takes.
bool take(int o, const char *arg, player_conf *c, std::string *why) {
    switch (o) {
    case 'M':
        c->group = arg;
        return true;
    case 'I':
        c->interface = arg;
        return true;
    case 'S':
        c->source = arg;
        return true;
    case 'q':
        c->quiet = true;
        return true;
    case 'v':
        c->verbose = true;
        return true;
    case OPT_DEVICE:
        c->device = arg;
        return true;
    case OPT_RADIO:
        c->radio = arg;
        return true;
    case OPT_LIST_RADIOS:
        c->list_radios = true;
        return true;
    case OPT_NO_REPAIR:
        c->repair = false;
        return true;
    case 'P':
        return number(o, arg, 1, 65535, &c->port, why);
    case 'c':
        return number(o, arg, 1, 255, &c->channel, why);
    case OPT_BUFFER:
        return number(o, arg, 5, 2000, &c->buffer_ms, why);
    case OPT_LATENCY:
        return number(o, arg, 0, 60000, &c->latency_ms, why);
    case OPT_NOW_PLAYING:
        return number(o, arg, 0, 65535, &c->now_playing_port, why);
    case OPT_TIMING:
        return number(o, arg, 0, 65535, &c->timing_port, why);
    case OPT_TRIM:
        if (trim_from_text(arg, &c->trim_ns)) return true;
        *why =
            std::string("--trim must be milliseconds from -1000 to 1000 in steps of 0.1, not '") +
            arg + "'";
        return false;
    }
    return false;
}

// The ports that follow from --port where none was given; false with *why
// set when --port leaves one the options need without a default.
bool settle_ports(player_conf *c, std::string *why) {
    if (c->timing_port < 0 && timing_port(c->port) == 0) {
        *why = "--port above 65532 has no timing port: give --timing-port";
        return false;
    }
    if (c->repair && repair_port(c->port) == 0) {
        *why = "--port above 65533 has no repair port: give --no-repair";
        return false;
    }
    if (c->now_playing_port < 0) c->now_playing_port = now_playing_port(c->port);
    if (c->timing_port < 0) c->timing_port = timing_port(c->port);
    return true;
}

}  // namespace

conf_verdict player_conf_parse(int argc, char **argv, player_conf *conf, std::string *why) {
    optind = 0;  // glibc: start again, as on a first call
    opterr = 0;  // the complaint is ours, in *why
    player_conf c;
    int o;
    while ((o = getopt_long(argc, argv, PLAYER_SHORT_OPTIONS, PLAYER_LONG_OPTIONS, nullptr)) >= 0) {
        if (o == 'H') return CONF_HELP;
        if (o == '?' || o == ':') {
            std::string text = optopt > 0 && optopt < 256 ? std::string("-") + char(optopt)
                                                          : std::string(argv[optind - 1]);
            *why =
                o == '?' ? "unknown option '" + text + "'" : "option '" + text + "' needs a value";
            return CONF_MISUSE;
        }
        if (!take(o, optarg, &c, why)) return CONF_MISUSE;
        c.placed = c.placed || o == 'M' || o == 'P' || o == 'S';
    }
    if (optind < argc) {
        *why = std::string("no arguments are taken, not '") + argv[optind] + "'";
        return CONF_MISUSE;
    }
    if (c.placed && (c.radio || c.list_radios)) {
        *why = std::string(c.radio ? "--radio" : "--list-radios") +
               " looks for the radio on the LAN: give it without -M, -P and -S";
        return CONF_MISUSE;
    }
    c.now_playing_given = c.now_playing_port >= 0;
    c.timing_given = c.timing_port >= 0;
    if (!settle_ports(&c, why)) return CONF_MISUSE;
    *conf = c;
    return CONF_RUN;
}

bool trim_from_text(const char *text, long long *ns) {
    const char *p = text;
    bool below = *p == '-';
    if (*p == '-' || *p == '+') p++;
    long long tenths = 0;
    int digits = 0;
    for (; isdigit(static_cast<unsigned char>(*p)) && tenths <= TRIM_MAX_TENTHS; p++, digits++)
        tenths = tenths * 10 + (*p - '0');
    tenths *= 10;
    if (*p == '.' && isdigit(static_cast<unsigned char>(p[1]))) {
        tenths += p[1] - '0';
        p += 2;
    }
    if (digits == 0 || *p != '\0' || tenths > TRIM_MAX_TENTHS) return false;
    *ns = (below ? -tenths : tenths) * 100'000;
    return true;
}
