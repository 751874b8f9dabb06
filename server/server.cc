// server.cc - the stream server: broadcasts the channels of a music folder
// to a multicast group, each at the pace its frames play, with the channel
// list every interval, until it is stopped.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "channels.h"
#include "join.h"
#include "playout.h"
#include "proto_encode.h"

namespace {

const char USAGE[] =
    "usage: stream_server [options] FOLDER\n"
    "Broadcasts each subfolder of FOLDER named by a number 1 to 255 as that channel.\n"
    "  -M, --mgroup ADDR         multicast group (224.2.2.2)\n"
    "  -P, --port N              destination UDP port (1989)\n"
    "  -I, --interface IF        send out of IF: a name, an index or an address\n"
    "  -T, --ttl N               multicast time-to-live, 0 to 255 (1)\n"
    "  -S, --source-port N       source UDP port (the destination port)\n"
    "  -B, --payload N           most payload bytes per data message, 1 to 65506 (1024)\n"
    "  -L, --list-interval MS    send the channel list every MS milliseconds (1000)\n"
    "  -O, --once                play each channel's files once, then end\n"
    "  -H, --help                show this help\n";

// A wake-up sends every message due within BATCH_NS of it, and a message is
// due when its end is LEAD_NS ahead of real time; so no channel is ever
// more than LEAD_NS + BATCH_NS = 50 ms of audio ahead. Batching saves
// wake-ups, the larger part of the server's CPU: with 32 channels it
// measured 1.0 % of a core against 2.2-2.5 % for one wake-up per message
// (bench/README.md). A batch holds a few messages of different channels,
// which still interleave.
constexpr long long BATCH_NS = 10'000'000;
constexpr long long LEAD_NS = 40'000'000;
// The channels' clocks start this far apart in all, so their sends interleave.
constexpr long long STAGGER_NS = 50'000'000;

struct server_conf {
    const char *group = "224.2.2.2";
    int port = 1989;
    const char *iface = nullptr;
    int ttl = 1;
    int source_port = -1;  // -1: the destination port
    size_t payload = 1024;
    long long list_interval_ms = 1000;
    bool once = false;
    const char *folder = nullptr;
};

// One channel on the air.
struct channel_run {
    playout play;
    std::vector<uint8_t> payload;  // the next message's frames
    long long payload_ns = 0;      // their playing time; 0: the channel has ended
    long long clock_ns = 0;        // monotonic time at which its audio starts
    long long media_ns = 0;        // playing time sent so far
    long long bytes_sent = 0;
};

[[noreturn]] void misuse(const char *fmt, const char *arg) {
    fprintf(stderr, "stream_server: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n%s", USAGE);
    exit(1);
}

long long parse_number(const char *text, long long lo, long long hi, const char *what) {
    char *end;
    errno = 0;
    long long v = strtoll(text, &end, 10);
    if (errno || end == text || *end || v < lo || v > hi) {
        fprintf(stderr, "stream_server: %s must be a number from %lld to %lld, not '%s'\n%s", what,
                lo, hi, text, USAGE);
        exit(1);
    }
    return v;
}

server_conf parse_options(int argc, char **argv) {
    static const option longs[] = {
        {"mgroup", required_argument, nullptr, 'M'},
        {"port", required_argument, nullptr, 'P'},
        {"interface", required_argument, nullptr, 'I'},
        {"ttl", required_argument, nullptr, 'T'},
        {"source-port", required_argument, nullptr, 'S'},
        {"payload", required_argument, nullptr, 'B'},
        {"list-interval", required_argument, nullptr, 'L'},
        {"once", no_argument, nullptr, 'O'},
        {"help", no_argument, nullptr, 'H'},
        {nullptr, 0, nullptr, 0},
    };
    server_conf conf;
    int c;
    while ((c = getopt_long(argc, argv, "M:P:I:T:S:B:L:OH", longs, nullptr)) >= 0) {
        switch (c) {
        case 'M':
            conf.group = optarg;
            break;
        case 'P':
            conf.port = static_cast<int>(parse_number(optarg, 1, 65535, "--port"));
            break;
        case 'I':
            conf.iface = optarg;
            break;
        case 'T':
            conf.ttl = static_cast<int>(parse_number(optarg, 0, 255, "--ttl"));
            break;
        case 'S':
            conf.source_port = static_cast<int>(parse_number(optarg, 1, 65535, "--source-port"));
            break;
        case 'B':
            conf.payload =
                static_cast<size_t>(parse_number(optarg, 1, MSG_MAX_PAYLOAD, "--payload"));
            break;
        case 'L':
            conf.list_interval_ms = parse_number(optarg, 10, 86400000, "--list-interval");
            break;
        case 'O':
            conf.once = true;
            break;
        case 'H':
            fputs(USAGE, stdout);
            exit(fflush(stdout) == 0 ? 0 : 1);
        default:  // getopt_long has said what was wrong
            fputs(USAGE, stderr);
            exit(1);
        }
    }
    if (optind != argc - 1) misuse("give one FOLDER%s", optind < argc - 1 ? ", not several" : "");
    conf.folder = argv[optind];
    if (conf.source_port < 0) conf.source_port = conf.port;
    return conf;
}

// Points descriptors 0 to 2 at /dev/null when they are closed, so that no
// socket or file opened later takes their numbers.
void sanitise_stdfd() {
    int fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= 2) fd = open("/dev/null", O_RDWR);
    if (fd > 2) close(fd);
}

// The interface option as a multicast interface request: the interface
// found as the client finds the one it joins on (name, then index, then
// address); an address also becomes the messages' source address.
ip_mreqn interface_request(const char *iface) {
    ip_mreqn req{};
    unsigned index = 0;
    int found = join_find_interface(iface, &index);
    if (found < 0) {
        perror("getifaddrs()");
        exit(1);
    }
    if (found == 0) misuse("no interface '%s'", iface);
    req.imr_ifindex = static_cast<int>(index);
    inet_pton(AF_INET, iface, &req.imr_address);  // left 0.0.0.0 for a name or index
    return req;
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
    if (conf.iface) {
        ip_mreqn req = interface_request(conf.iface);
        if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req) < 0) {
            perror("setsockopt(IP_MULTICAST_IF)");
            exit(1);
        }
    }
    return sd;
}

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// Sends one datagram. A full queue drops it (a listener would lose it the
// same way); any other failure ends the server.
void send_datagram(int sd, const sockaddr_in &dest, const std::vector<uint8_t> &msg) {
    for (;;) {
        ssize_t n = sendto(sd, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr *>(&dest),
                           sizeof dest);
        if (n >= 0 || errno == ENOBUFS || errno == EAGAIN) return;
        if (errno == EINTR) continue;
        perror("sendto()");
        exit(1);
    }
}

// When the channel's next message is due: once its end is no more than
// LEAD_NS ahead of real time.
long long due_ns(const channel_run &c) {
    return c.clock_ns + c.media_ns + c.payload_ns - LEAD_NS;
}

// Sends the channel's prepared message and prepares the next one.
// A channel more than LEAD_NS late (the server was not scheduled for a
// while) moves its clock on by the excess rather than sending all the
// missed audio at once: it catches up LEAD_NS, so even then no stretch of
// its sends carries more than 50 ms of audio beyond the time it spans. Its
// audio comes later; none is skipped.
void send_channel(channel_run *c, int sd, const sockaddr_in &dest, size_t payload, long long now) {
    long long late = now - due_ns(*c);
    if (late > LEAD_NS) c->clock_ns += late - LEAD_NS;
    send_datagram(
        sd, dest,
        encode_data(static_cast<uint8_t>(c->play.ch->id), c->payload.data(), c->payload.size()));
    c->bytes_sent += static_cast<long long>(c->payload.size());
    c->media_ns += c->payload_ns;
    c->payload_ns = playout_next(&c->play, payload, &c->payload, stderr);
}

// Waits until deadline, or until SIGTERM or SIGINT arrives (they are
// blocked, so one that came before the wait is taken here too). True when
// one arrived.
bool wait_for_stop(const sigset_t &stop, long long deadline) {
    long long left = deadline - now_ns();
    if (left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    return sigtimedwait(&stop, nullptr, &ts) >= 0;
}

void print_summary(const std::vector<channel_run> &runs) {
    std::string line = "stream_server: stopped";
    for (size_t i = 0; i < runs.size(); i++) {
        const channel_run &c = runs[i];
        line += "; channel " + std::to_string(c.play.ch->id) + ": " +
                std::to_string(c.play.files_played) + " files played, " +
                std::to_string(c.bytes_sent) + " bytes sent";
    }
    fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    sanitise_stdfd();
    server_conf conf = parse_options(argc, argv);
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(static_cast<uint16_t>(conf.port));
    if (inet_pton(AF_INET, conf.group, &dest.sin_addr) != 1 ||
        !IN_MULTICAST(ntohl(dest.sin_addr.s_addr)))
        misuse("--mgroup must be an IPv4 multicast address, not '%s'", conf.group);

    std::vector<channel_def> channels;
    std::string why;
    if (!channels_load(conf.folder, &channels, &why, stderr)) {
        fprintf(stderr, "stream_server: %s\n", why.c_str());
        return 1;
    }
    std::vector<uint8_t> list;
    size_t list_size;
    if (!channels_list_message(channels, &list, &list_size)) {
        fprintf(stderr,
                "stream_server: the channel list would take %zu bytes, more than one datagram "
                "carries (%zu)\n",
                list_size, MSG_MAX_DATAGRAM);
        return 1;
    }

    // SIGTERM and SIGINT are taken only where the loop waits.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    int sd = open_socket(conf);

    long long start = now_ns();
    std::vector<channel_run> runs(channels.size());
    for (size_t i = 0; i < runs.size(); i++) {
        channel_run &c = runs[i];
        c.play = playout_start(&channels[i], conf.once);
        c.clock_ns =
            start + STAGGER_NS * static_cast<long long>(i) / static_cast<long long>(runs.size());
        c.payload_ns = playout_next(&c.play, conf.payload, &c.payload, stderr);
    }
    long long list_every = conf.list_interval_ms * 1'000'000;
    long long next_list = start;
    for (;;) {
        long long now = now_ns();
        if (now >= next_list) {
            send_datagram(sd, dest, list);
            next_list = next_list + list_every > now ? next_list + list_every : now + list_every;
        }
        long long wake = next_list;
        bool playing = false;
        for (auto &c : runs) {
            while (c.payload_ns > 0 && due_ns(c) <= now + BATCH_NS)
                send_channel(&c, sd, dest, conf.payload, now);
            if (c.payload_ns == 0) continue;
            playing = true;
            if (due_ns(c) < wake) wake = due_ns(c);
        }
        if (!playing) {
            if (conf.once) break;
            fprintf(stderr, "stream_server: no channel plays any more\n");
            print_summary(runs);
            return 1;
        }
        if (wait_for_stop(stop, wake)) break;
    }
    print_summary(runs);
    return 0;
}
