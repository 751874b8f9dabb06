// conf.cc - the gateway's command line, read into its options.
#include "conf.h"

#include <getopt.h>
#include <string.h>

#include <string>

#include "now_playing.h"
#include "radio_txt.h"

namespace {

const program_usage GATEWAY = {"stream_gateway", GATEWAY_USAGE};

enum {
    OPT_NOW_PLAYING = 256,
    OPT_LISTEN,
    OPT_BURST,
    OPT_LAG,
    OPT_LISTENERS,
    OPT_NAME,
    OPT_TRUST_PROXY,
    OPT_CONNECTIONS,
    OPT_EACH_ADDRESS,
    OPT_REPAIR,
    OPT_SEGMENT,
    OPT_ANNOUNCE,
};

// --listen [ADDR:]PORT; an IPv6 address goes in brackets ("[::]:8000").
void parse_listen(char *text, gateway_conf *c) {
    char *colon = strrchr(text, ':');
    const char *port = colon ? colon + 1 : text;
    c->listen_port = port_or_exit(GATEWAY, port, 1, "--listen's port");
    if (colon == nullptr) return;
    *colon = '\0';
    size_t n = strlen(text);
    if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
        text[n - 1] = '\0';
        text++;
    }
    if (*text == '\0') misuse_exit(GATEWAY, "--listen needs an address before the ':'");
    c->listen_addr = text;
}

// --burst, --lag, --listeners, --connections and --each-address: what a
// listener gets and how many are served. False when o is another option.
bool limit_option(int o, const char *arg, gateway_conf *c) {
    switch (o) {
    case OPT_BURST:
        c->burst_ms = number_or_exit(GATEWAY, arg, 0, 600000, "--burst");
        return true;
    case OPT_LAG:
        c->lag_s = number_or_exit(GATEWAY, arg, 1, 3600, "--lag");
        return true;
    case OPT_LISTENERS:
        c->listeners_max =
            static_cast<int>(number_or_exit(GATEWAY, arg, 1, 1000000, "--listeners"));
        return true;
    case OPT_CONNECTIONS:
        c->connections_max =
            static_cast<int>(number_or_exit(GATEWAY, arg, 1, 1000000, "--connections"));
        return true;
    case OPT_EACH_ADDRESS:
        c->each_address_max =
            static_cast<int>(number_or_exit(GATEWAY, arg, 0, 1000000, "--each-address"));
        return true;
    default:
        return false;
    }
}

// --name, --announce and --trust-proxy: how the station shows itself. False when o is
// another option.
bool station_option(int o, const char *arg, gateway_conf *c) {
    switch (o) {
    case OPT_NAME:
        c->name = now_playing_clean(arg);
        if (c->name.find_first_not_of(' ') == std::string::npos)
            misuse_exit(GATEWAY, "--name needs a text");
        return true;
    case OPT_ANNOUNCE:  // the name is --name's
        if (strcmp(arg, "on") != 0 && strcmp(arg, "off") != 0)
            misuse_exit(GATEWAY, std::string("--announce must be on or off, not '") + arg + "'");
        c->announce = strcmp(arg, "on") == 0;
        return true;
    case OPT_TRUST_PROXY:  // bare: every peer
        if (arg == nullptr)
            c->trust.any = true;
        else if (!proxy_trust_add(&c->trust, arg))
            misuse_exit(GATEWAY, std::string("invalid --trust-proxy \"") + arg +
                                     "\": not an IPv4 or IPv6 address");
        return true;
    default:
        return false;
    }
}

// The complaint about an argument that no option took: an address most
// likely meant for --trust-proxy, whose argument is optional and so comes
// only after '='.
std::string stray_argument(const char *arg) {
    std::string why = std::string("no arguments are taken, not '") + arg + "'";
    proxy_trust t;
    if (proxy_trust_add(&t, arg))
        why += " (a proxy's address: --trust-proxy=" + std::string(arg) + ")";
    return why;
}

// Refuses a --port that leaves a port the options need without its
// default: none above 65535.
void check_ports(const gateway_conf &c) {
    if (c.np_port == 0 && now_playing_port(c.port) == 0)
        misuse_exit(GATEWAY, "--port 65535 needs --now-playing-port");
    if (c.repair && repair_port(c.port) == 0)
        misuse_exit(GATEWAY,
                    "--repair needs a --port below 65534: the repair port is the port + 2");
}

// --segment: how HLS is cut. False when o is another option.
bool hls_option(int o, const char *arg, gateway_conf *c) {
    if (o != OPT_SEGMENT) return false;
    c->segment_s = static_cast<int>(number_or_exit(GATEWAY, arg, 2, 10, "--segment"));
    return true;
}

}  // namespace

const option GATEWAY_LONG_OPTIONS[] = {
    LISTENER_LONG_OPTIONS,
    {"now-playing-port", required_argument, nullptr, OPT_NOW_PLAYING},
    {"listen", required_argument, nullptr, OPT_LISTEN},
    {"burst", required_argument, nullptr, OPT_BURST},
    {"lag", required_argument, nullptr, OPT_LAG},
    {"listeners", required_argument, nullptr, OPT_LISTENERS},
    {"name", required_argument, nullptr, OPT_NAME},
    {"trust-proxy", optional_argument, nullptr, OPT_TRUST_PROXY},
    {"connections", required_argument, nullptr, OPT_CONNECTIONS},
    {"each-address", required_argument, nullptr, OPT_EACH_ADDRESS},
    {"repair", no_argument, nullptr, OPT_REPAIR},
    {"segment", required_argument, nullptr, OPT_SEGMENT},
    {"announce", required_argument, nullptr, OPT_ANNOUNCE},
    {},
};

gateway_conf conf_parse(int argc, char **argv) {
    gateway_conf c;
    int o;
    while ((o = getopt_long(argc, argv, GATEWAY_SHORT_OPTIONS, GATEWAY_LONG_OPTIONS, nullptr)) >= 0) {
        if (place_option(GATEWAY, o, optarg, &c.group, &c.port, &c.interface) ||
            station_option(o, optarg, &c) || limit_option(o, optarg, &c) ||
            hls_option(o, optarg, &c))
            continue;
        switch (o) {
        case 'S':
            c.source = optarg;
            break;
        case OPT_NOW_PLAYING:
            c.np_port = port_or_exit(GATEWAY, optarg, 1, "--now-playing-port");
            break;
        case OPT_LISTEN:
            parse_listen(optarg, &c);
            break;
        case OPT_REPAIR:
            c.repair = true;
            break;
        case 'H':
            usage_exit(GATEWAY_USAGE, true);
        default:  // getopt_long has said what was wrong
            usage_exit(GATEWAY_USAGE, false);
        }
    }
    if (optind < argc) misuse_exit(GATEWAY, stray_argument(argv[optind]));
    check_ports(c);
    if (c.name.empty()) c.name = default_station_name();
    return c;
}
