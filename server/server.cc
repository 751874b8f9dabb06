// server.cc - the stream server: broadcasts the channels of a music folder
// to a multicast group, each at the pace its frames play, with the channel
// list every interval and what each plays on a port of its own, until it is
// stopped; reads the folder again on SIGHUP.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "broadcast.h"
#include "channels.h"
#include "defaults.h"
#include "dnssd.h"
#include "join.h"
#include "options.h"
#include "ports.h"
#include "proto.h"
#include "radio_txt.h"
#include "report.h"
#include "server.h"
#include "std_fds.h"
#include "utf8.h"

namespace {

const program_usage SERVER = {"stream_server", SERVER_USAGE};

// Where the messages go; ends the process when group is no IPv4 multicast
// address.
sockaddr_in destination(const char *group, int port) {
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, group, &dest.sin_addr) != 1 ||
        !IN_MULTICAST(ntohl(dest.sin_addr.s_addr)))
        misuse_exit(SERVER,
                    std::string("--mgroup must be an IPv4 multicast address, not '") + group + "'");
    return dest;
}

// The ports the server sends to, kept apart (ports_settle); ends the
// process on a clash that no default can yield to.
void settle_ports(server_conf *c) {
    std::vector<send_port> ports =
        ports_table(c->port, c->port_given, c->now_playing_port, c->repair_port, c->timing_port);
    std::string why = ports_settle(&ports, &c->ports_note);
    if (!why.empty()) misuse_exit(SERVER, why);
    c->now_playing_port = ports[1].port;
    c->repair_port = ports[2].port;
    c->timing_port = ports[3].port;
}

// The defaults that depend on other options, and what the send loop takes.
void settle(server_conf *c) {
    server_conf &conf = *c;
    if (conf.state && !conf.loudness_on)
        misuse_exit(SERVER, "--state keeps the loudness measures: give it with --loudness");
    if (conf.source_port < 0) conf.source_port = conf.port;
    settle_ports(c);
    conf.send.dest = destination(conf.group, conf.port);
    conf.send.now_playing_port = conf.now_playing_port;
    conf.send.repair_port = conf.repair_port;
    conf.send.timing_port = conf.timing_port;
    if (!conf.announce_off && conf.announce.empty())
        conf.announce = service_name_cut(default_station_name());
}

// --announce: a name of 1 to SERVICE_NAME_MAX bytes of UTF-8, or off.
void take_announce(const char *arg, server_conf *conf) {
    if (strcmp(arg, "off") == 0) {
        conf->announce_off = true;
        return;
    }
    std::string name = arg;
    if (name.empty() || name.size() > SERVICE_NAME_MAX || service_name_cut(name) != name)
        misuse_exit(SERVER, "--announce must be off or a name of 1 to " +
                                std::to_string(SERVICE_NAME_MAX) +
                                " bytes of UTF-8 without control characters, not '" +
                                utf8_clean(name) + "'");
    conf->announce = name;
    conf->announce_off = false;
}

// Sets what option c (with arg) asks of conf, but -M, -P and -I.
void take_option(int c, const char *arg, server_conf *conf) {
    switch (c) {
    case 'T':
        conf->ttl = static_cast<int>(number_or_exit(SERVER, arg, 0, 255, "--ttl"));
        break;
    case 'S':
        conf->source_port = port_or_exit(SERVER, arg, 1, "--source-port");
        break;
    case 'B':
        conf->send.payload =
            static_cast<size_t>(number_or_exit(SERVER, arg, 1, MSG_MAX_PAYLOAD, "--payload"));
        break;
    case 'L':
        conf->send.list_interval_ns =
            number_or_exit(SERVER, arg, 10, 86400000, "--list-interval") * 1'000'000;
        break;
    case 'N':
        conf->now_playing_port = port_or_exit(SERVER, arg, 0, "--now-playing-port");
        break;
    case OPT_REPAIR_PORT:
        conf->repair_port = port_or_exit(SERVER, arg, 0, "--repair-port");
        break;
    case OPT_TIMING_PORT:
        conf->timing_port = port_or_exit(SERVER, arg, 0, "--timing-port");
        break;
    case OPT_ANNOUNCE:
        take_announce(arg, conf);
        break;
    case OPT_SAMPLE_RATE:
        conf->send.wanted.rate =
            static_cast<int>(number_or_exit(SERVER, arg, 8000, 48000, "--sample-rate"));
        if (!audio_rate_valid(conf->send.wanted.rate))
            misuse_exit(SERVER,
                        std::string("--sample-rate must be one of 8000, 11025, 12000, 16000, "
                                    "22050, 24000, 32000, 44100 and 48000, not '") +
                            arg + "'");
        break;
    case OPT_AUDIO_CHANNELS:
        conf->send.wanted.channels =
            static_cast<int>(number_or_exit(SERVER, arg, 1, 2, "--audio-channels"));
        break;
    case OPT_LOUDNESS:
        conf->loudness = static_cast<double>(number_or_exit(SERVER, arg, -70, 0, "--loudness"));
        conf->loudness_on = true;
        break;
    case OPT_STATE:
        conf->state = arg;
        break;
    case OPT_ALLOW_COMMANDS:
        conf->send.allow_commands = true;
        break;
    case OPT_FALLBACK_AFTER:
        conf->send.fallback_ns =
            number_or_exit(SERVER, arg, 1, 600, "--fallback-after") * 1'000'000'000LL;
        break;
    case 'O':
        conf->send.once = true;
        break;
    case 'v':
        conf->send.verbose = true;
        break;
    case 'H':
        usage_exit(SERVER_USAGE, true);
    default:  // getopt_long has said what was wrong
        usage_exit(SERVER_USAGE, false);
    }
}

server_conf parse_options(int argc, char **argv) {
    server_conf conf;
    int c;
    while ((c = getopt_long(argc, argv, SERVER_SHORT_OPTIONS, SERVER_LONG_OPTIONS, nullptr)) >= 0) {
        if (c == 'P') conf.port_given = true;
        if (!place_option(SERVER, c, optarg, &conf.group, &conf.port, &conf.send.iface))
            take_option(c, optarg, &conf);
    }
    if (optind != argc - 1)
        misuse_exit(SERVER, optind < argc - 1 ? "give one FOLDER, not several" : "give one FOLDER");
    conf.send.folder = argv[optind];
    settle(&conf);
    return conf;
}

// Binds sd to the source port on every address, where players ask for the
// time (time_service.h), and sets how it sends to the group. The call that
// failed (errno set), or null.
const char *set_up_socket(int sd, const server_conf &conf) {
    // Only datagrams sent to the socket: else, on a host where a receiver
    // has joined the group, the group's datagrams to the source port would
    // come too. Each with the address it was sent to, for the time service.
    int off = 0, on = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) < 0 ||
        setsockopt(sd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0)
        return "setsockopt()";
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(INADDR_ANY);
    src.sin_port = htons(static_cast<uint16_t>(conf.source_port));
    if (bind(sd, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0) return "bind()";
    int loop = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_TTL, &conf.ttl, sizeof conf.ttl) < 0 ||
        setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0)
        return "setsockopt()";
    const char *iface = conf.send.iface;
    int set = iface ? join_send_interface(sd, iface) : 1;
    if (set == 0) misuse_exit(SERVER, join_unknown_interface(iface));
    return set < 0 ? "setsockopt(IP_MULTICAST_IF)" : nullptr;
}

// The sending socket; -1 after a report.
int open_socket(const server_conf &conf, FILE *report) {
    int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const char *failed = sd < 0 ? "socket()" : set_up_socket(sd, conf);
    if (failed == nullptr) return sd;
    fprintf(report, "%s: %s\n", failed, strerror(errno));
    if (sd >= 0) close(sd);
    return -1;
}

// What the folder holds to play; ends the process when the server cannot
// serve it.
on_air programme_or_exit(const char *folder, audio_format wanted,
                         std::vector<channel_def> *channels, FILE *report) {
    on_air air;
    std::string why;
    if (!channels_programme(folder, channels, &air.list, &why, report, wanted)) {
        fprintf(report, "%s\n", why.c_str());
        exit(1);
    }
    return air;
}

// The start-up lines: a port that yielded, where the radio goes, and its
// channels.
void say_start(const server_conf &conf, const std::vector<channel_def> &channels, FILE *report) {
    if (!conf.ports_note.empty()) fprintf(report, "%s\n", conf.ports_note.c_str());
    std::string iface = conf.send.iface ? std::string("interface ") + conf.send.iface
                                        : std::string("the route's interface");
    std::string np = conf.now_playing_port
                         ? "now playing to port " + std::to_string(conf.now_playing_port)
                         : std::string("no now-playing datagrams");
    std::string repair = conf.repair_port ? "repair to port " + std::to_string(conf.repair_port)
                                          : std::string("no repair datagrams");
    std::string timing = conf.timing_port ? "timing to port " + std::to_string(conf.timing_port)
                                          : std::string("no timing datagrams");
    fprintf(report, "sending to %s port %d from port %d, TTL %d, out of %s; %s; %s; %s\n",
            conf.group, conf.port, conf.source_port, conf.ttl, iface.c_str(), np.c_str(),
            repair.c_str(), timing.c_str());
    for (const auto &ch : channels) fprintf(report, "%s\n", channels_line(ch).c_str());
}

// The signals the loop takes where it waits, blocked: SIGTERM and SIGINT
// stop it, SIGHUP reloads. Blocked first thing, so that none that comes
// during start-up ends the process.
sigset_t block_loop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return set;
}

// The TXT record of the radio with channels on the air.
std::vector<std::string> server_txt(const server_conf &conf, size_t channels) {
    radio_txt r;
    r.group = conf.group;
    r.port = conf.port;
    r.now_playing_port = conf.now_playing_port;
    r.repair_port = conf.repair_port;
    r.timing_port = conf.timing_port;
    r.channels = static_cast<int>(channels);
    return radio_txt_encode(r);
}

// What the announcement and the send loop's reload hook need.
struct announcement {
    const server_conf *conf;
    dnssd_announce dnssd;
};

// A reload may change the channel count: the TXT record follows.
void reannounce(const on_air &air, void *arg) {
    auto *a = static_cast<announcement *>(arg);
    dnssd_announce_txt(&a->dnssd, server_txt(*a->conf, air.runs.size()));
}

// Announces the radio unless told not to: its SRV port is the source port,
// where the time service answers.
void announce(announcement *a, server_conf *conf, size_t channels, FILE *report) {
    a->conf = conf;
    if (conf->announce_off) return;
    if (!dnssd_announce_start(&a->dnssd, RADIO_SERVICE_TYPE, conf->announce, conf->source_port,
                              server_txt(*conf, channels), report))
        return;
    conf->send.reloaded = reannounce;
    conf->send.reloaded_arg = a;
}

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    sigset_t signals = block_loop_signals();
    server_conf conf = parse_options(argc, argv);
    FILE *report = report_stream(stderr, "stream_server");
    if (report == nullptr) return 1;
    std::vector<channel_def> channels;
    on_air air = programme_or_exit(conf.send.folder, conf.send.wanted, &channels, report);
    conf.send.sd = open_socket(conf, report);
    if (conf.send.sd < 0) return 1;
    say_start(conf, channels, report);
    loudness_store loud;
    if (conf.loudness_on) {
        std::string why;
        if (!loudness_start(&loud, conf.state, conf.send.verbose, report, &why)) {
            fprintf(report, "--state: %s\n", why.c_str());
            return 1;
        }
        conf.send.loudness = &loud;
        conf.send.loudness_target = conf.loudness;
    }
    announcement a;
    announce(&a, &conf, channels.size(), report);
    station_start(&air, std::move(channels), conf.send, now_ns(), report);
    int status = broadcast(&air, conf.send, signals, report);
    dnssd_announce_stop(&a.dnssd);
    if (conf.loudness_on) loudness_stop(&loud);
    station_summary(air, report);
    station_stop(&air);
    return status;
}
