// server.cc - the stream server: broadcasts the channels of a music folder
// to a multicast group, each at the pace its frames play, with the channel
// list every interval and what each plays on a port of its own, until it is
// stopped; reads the folder again on SIGHUP.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "broadcast.h"
#include "channels.h"
#include "defaults.h"
#include "join.h"
#include "now_playing.h"
#include "options.h"
#include "proto.h"
#include "report.h"
#include "std_fds.h"

namespace {

// clang-format off
const char USAGE[] =
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
    "  -O, --once                play each channel's files once, then end\n"
    "  -v, --verbose             say each file a channel starts\n"
    "  -H, --help                show this help\n";
// clang-format on

struct server_conf {
    const char *group = DEFAULT_MGROUP;
    int port = DEFAULT_PORT;
    const char *iface = nullptr;
    int ttl = 1;
    int source_port = -1;       // -1: the destination port
    int now_playing_port = -1;  // -1: the destination port + 1
    const char *folder = nullptr;
    station_conf send;  // what the send loop takes, but its socket
};

[[noreturn]] void misuse(const char *fmt, const char *arg) {
    fprintf(stderr, "stream_server: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n%s", USAGE);
    exit(1);
}

long long parse_number(const char *text, long long lo, long long hi, const char *what) {
    long long v;
    if (option_number(text, lo, hi, &v)) return v;
    misuse("%s", option_number_complaint(text, lo, hi, what).c_str());
}

// Where the messages go; ends the process when group is no IPv4 multicast
// address.
sockaddr_in destination(const char *group, int port) {
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, group, &dest.sin_addr) != 1 ||
        !IN_MULTICAST(ntohl(dest.sin_addr.s_addr)))
        misuse("--mgroup must be an IPv4 multicast address, not '%s'", group);
    return dest;
}

// The defaults that depend on other options, and what the send loop takes.
void settle(server_conf *c) {
    server_conf &conf = *c;
    if (conf.source_port < 0) conf.source_port = conf.port;
    if (conf.now_playing_port < 0) conf.now_playing_port = now_playing_port(conf.port);
    if (conf.now_playing_port == conf.port)
        misuse("%s", "--now-playing-port must differ from --port, where listeners take the stream");
    conf.send.dest = destination(conf.group, conf.port);
    conf.send.now_playing_port = conf.now_playing_port;
    conf.send.iface = conf.iface;
    conf.send.folder = conf.folder;
}

const option LONGS[] = {
    {"mgroup", required_argument, nullptr, 'M'},
    {"port", required_argument, nullptr, 'P'},
    {"interface", required_argument, nullptr, 'I'},
    {"ttl", required_argument, nullptr, 'T'},
    {"source-port", required_argument, nullptr, 'S'},
    {"payload", required_argument, nullptr, 'B'},
    {"list-interval", required_argument, nullptr, 'L'},
    {"now-playing-port", required_argument, nullptr, 'N'},
    {"once", no_argument, nullptr, 'O'},
    {"verbose", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'H'},
    {nullptr, 0, nullptr, 0},
};

server_conf parse_options(int argc, char **argv) {
    server_conf conf;
    int c;
    while ((c = getopt_long(argc, argv, "M:P:I:T:S:B:L:N:OvH", LONGS, nullptr)) >= 0) {
        std::string why;
        int place = place_option(c, optarg, &conf.group, &conf.port, &conf.iface, &why);
        if (place < 0) misuse("%s", why.c_str());
        if (place > 0) continue;
        switch (c) {
        case 'T':
            conf.ttl = static_cast<int>(parse_number(optarg, 0, 255, "--ttl"));
            break;
        case 'S':
            conf.source_port = static_cast<int>(parse_number(optarg, 1, 65535, "--source-port"));
            break;
        case 'B':
            conf.send.payload =
                static_cast<size_t>(parse_number(optarg, 1, MSG_MAX_PAYLOAD, "--payload"));
            break;
        case 'L':
            conf.send.list_interval_ns =
                parse_number(optarg, 10, 86400000, "--list-interval") * 1'000'000;
            break;
        case 'N':
            conf.now_playing_port =
                static_cast<int>(parse_number(optarg, 0, 65535, "--now-playing-port"));
            break;
        case 'O':
            conf.send.once = true;
            break;
        case 'v':
            conf.send.verbose = true;
            break;
        case 'H':
            usage_exit(USAGE, true);
        default:  // getopt_long has said what was wrong
            usage_exit(USAGE, false);
        }
    }
    if (optind != argc - 1) misuse("give one FOLDER%s", optind < argc - 1 ? ", not several" : "");
    conf.folder = argv[optind];
    settle(&conf);
    return conf;
}

// The sending socket, bound to the source port; ends the process on failure.
int open_socket(const server_conf &conf) {
    int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    sockaddr_in src{};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(INADDR_ANY);
    src.sin_port = htons(static_cast<uint16_t>(conf.source_port));
    if (bind(sd, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0) {
        perror("bind()");
        exit(1);
    }
    int loop = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_TTL, &conf.ttl, sizeof conf.ttl) < 0 ||
        setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    int set = conf.iface ? join_send_interface(sd, conf.iface) : 1;
    if (set == 0) misuse("%s", join_unknown_interface(conf.iface).c_str());
    if (set < 0) {
        perror("setsockopt(IP_MULTICAST_IF)");
        exit(1);
    }
    return sd;
}

// What the folder holds to play; ends the process when the server cannot
// serve it.
on_air programme_or_exit(const char *folder, std::vector<channel_def> *channels, FILE *report) {
    on_air air;
    std::string why;
    if (!channels_programme(folder, channels, &air.list, &why, report)) {
        fprintf(report, "%s\n", why.c_str());
        exit(1);
    }
    return air;
}

// The start-up lines: where the radio goes, and its channels.
void say_start(const server_conf &conf, const std::vector<channel_def> &channels, FILE *report) {
    std::string iface =
        conf.iface ? std::string("interface ") + conf.iface : std::string("the route's interface");
    std::string np = conf.now_playing_port
                         ? "now playing to port " + std::to_string(conf.now_playing_port)
                         : std::string("no now-playing datagrams");
    fprintf(report, "sending to %s port %d from port %d, TTL %d, out of %s; %s\n", conf.group,
            conf.port, conf.source_port, conf.ttl, iface.c_str(), np.c_str());
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

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    sigset_t signals = block_loop_signals();
    server_conf conf = parse_options(argc, argv);
    FILE *report = report_stream(stderr, "stream_server");
    if (report == nullptr) return 1;
    std::vector<channel_def> channels;
    on_air air = programme_or_exit(conf.folder, &channels, report);
    conf.send.sd = open_socket(conf);
    say_start(conf, channels, report);
    station_start(&air, std::move(channels), conf.send, now_ns(), report);
    int status = broadcast(&air, conf.send, signals, report);
    station_summary(air, report);
    return status;
}
