// stream_sender.cc - plays the stream server's part for tests and demos: sends
// a channel list and channel data (or crafted datagrams) to a multicast group.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "defaults.h"
#include "join.h"
#include "mono_clock.h"
#include "options.h"
#include "proto_encode.h"

namespace {

constexpr size_t MAX_DATAGRAM = MSG_MAX_DATAGRAM;
constexpr size_t MAX_PAYLOAD = MSG_MAX_PAYLOAD;
constexpr size_t MIXED_MAX_PAYLOAD = 65000;

// --follow: data goes out only while less than this much of it is past what
// the receiver has taken, so the receiver's socket never fills (it holds
// 208 KiB by default, small datagrams costing far more than their size)
// however slowly the receiver is scheduled.
constexpr long long FOLLOW_AHEAD_BYTES = 64 * 1024;
constexpr size_t FOLLOW_AHEAD_MESSAGES = 32;
// A receiver that takes nothing for this long has stopped.
constexpr double FOLLOW_STALL_S = 10;

// clang-format off
const char USAGE[] =
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
    "sent, 1 on misuse or failure.\n";
// clang-format on

struct list_entry_arg {
    int id;
    std::string desc;
};

struct data_file {
    int id;
    std::string bytes;
    size_t sent = 0;
};

struct sender_conf {
    std::string group = DEFAULT_MGROUP;
    int port = DEFAULT_PORT;
    std::string source;
    int source_port = 0;
    std::string iface;
    std::vector<list_entry_arg> entries;
    std::vector<data_file> files;
    size_t payload = 1024;
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

// A data message sent and maybe not yet taken by the followed receiver. It
// counts as taken once the receiver's file holds watched_end bytes.
struct in_flight {
    long long watched_end;
    long long bytes;
};

// State of one run: where to send, what is sent so far, when to stop.
struct sender_run {
    int sd = -1;
    sockaddr_in dest{};
    long long sent = 0;
    long long limit = -1;
    double start = 0;
    double deadline = 0;
    long long watched_sent = 0;  // bytes of the followed channel sent so far
    std::deque<in_flight> flight;
    long long flight_bytes = 0;
};

[[noreturn]] void misuse(const std::string &why) {
    fprintf(stderr, "stream_sender: %s\n(try --help)\n", why.c_str());
    exit(1);
}

double now_s() { return static_cast<double>(now_ns()) / 1e9; }

void sleep_until(double t) {
    double left = t - now_s();
    if (left <= 0) return;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(left);
    ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

long long parse_number(const char *text, long long lo, long long hi, const char *what) {
    long long v;
    if (!option_number(text, lo, hi, &v)) misuse(option_number_complaint(text, lo, hi, what));
    return v;
}

// Splits "ID:REST" with ID a channel id from lowest to 255.
int split_id(const char *arg, std::string *rest, const char *what, int lowest) {
    const char *colon = strchr(arg, ':');
    if (!colon) misuse(std::string(what) + " takes ID:..., not '" + arg + "'");
    std::string id(arg, colon);
    *rest = colon + 1;
    return static_cast<int>(parse_number(id.c_str(), lowest, 255, "a channel id"));
}

std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

bool read_whole_file(const std::string &path, std::string *out) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string datagram_from_arg(const std::string &arg) {
    std::string out;
    if (arg.rfind("@", 0) == 0) {
        if (!read_whole_file(arg.substr(1), &out)) misuse("cannot read '" + arg.substr(1) + "'");
    } else if (arg.rfind("hex:", 0) == 0) {
        int high = -1;
        for (char c : arg.substr(4)) {
            if (c == ' ' || c == ':' || c == '.') continue;
            int v = hex_value(c);
            if (v < 0) misuse("bad hex digit in '" + arg + "'");
            if (high < 0) {
                high = v;
            } else {
                out += static_cast<char>(high * 16 + v);
                high = -1;
            }
        }
        if (high >= 0) misuse("odd number of hex digits in '" + arg + "'");
    } else {
        misuse("a raw datagram is hex:HEX or @PATH, not '" + arg + "'");
    }
    if (out.size() > MAX_DATAGRAM)
        misuse("datagram '" + arg + "' is over " + std::to_string(MAX_DATAGRAM) + " bytes");
    return out;
}

void parse_options(int argc, char **argv, sender_conf *conf) {
    enum { OPT_REPEAT = 1000, OPT_GAP };
    static const option longs[] = {
        {"group", required_argument, nullptr, 'g'},
        {"port", required_argument, nullptr, 'p'},
        {"source", required_argument, nullptr, 's'},
        {"source-port", required_argument, nullptr, 'S'},
        {"interface", required_argument, nullptr, 'i'},
        {"entry", required_argument, nullptr, 'e'},
        {"file", required_argument, nullptr, 'f'},
        {"payload", required_argument, nullptr, 'b'},
        {"mixed", no_argument, nullptr, 'm'},
        {"rate", required_argument, nullptr, 'r'},
        {"list-every", required_argument, nullptr, 'l'},
        {"wait", required_argument, nullptr, 'w'},
        {"go-file", required_argument, nullptr, 'G'},
        {"follow", required_argument, nullptr, 'F'},
        {"raw", no_argument, nullptr, 'x'},
        {"repeat", required_argument, nullptr, OPT_REPEAT},
        {"gap", required_argument, nullptr, OPT_GAP},
        {"count", required_argument, nullptr, 'n'},
        {"duration", required_argument, nullptr, 'd'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const long long DAY_MS = 86400000;
    int c;
    while ((c = getopt_long(argc, argv, "g:p:s:S:i:e:f:b:mr:l:w:G:F:xn:d:h", longs, nullptr)) >=
           0) {
        std::string rest;
        switch (c) {
        case 'g':
            conf->group = optarg;
            break;
        case 'p':
            conf->port = static_cast<int>(parse_number(optarg, 0, 65535, "--port"));
            break;
        case 's':
            conf->source = optarg;
            break;
        case 'S':
            conf->source_port = static_cast<int>(parse_number(optarg, 0, 65535, "--source-port"));
            break;
        case 'i':
            conf->iface = optarg;
            break;
        case 'e': {
            // An entry may name channel 0, to test how clients take it.
            int id = split_id(optarg, &rest, "--entry", CHNID_LIST);
            conf->entries.push_back({id, unescape(rest)});
            break;
        }
        case 'f': {
            // Data of channel 0 would be read as a channel list.
            int id = split_id(optarg, &rest, "--file", CHNID_LIST + 1);
            data_file f{id, "", 0};
            if (!read_whole_file(rest, &f.bytes)) misuse("cannot read '" + rest + "'");
            conf->files.push_back(f);
            break;
        }
        case 'b':
            conf->payload = static_cast<size_t>(parse_number(optarg, 1, MAX_PAYLOAD, "--payload"));
            break;
        case 'm':
            conf->mixed = true;
            break;
        case 'r':
            conf->rate = parse_number(optarg, 0, 1LL << 40, "--rate");
            break;
        case 'l':
            conf->list_every_ms = parse_number(optarg, 0, DAY_MS, "--list-every");
            break;
        case 'w':
            conf->wait_ms = parse_number(optarg, 0, DAY_MS, "--wait");
            break;
        case 'G':
            conf->go_file = optarg;
            break;
        case 'F':
            conf->follow_id = split_id(optarg, &conf->follow_path, "--follow", CHNID_LIST + 1);
            break;
        case 'x':
            conf->raw = true;
            break;
        case OPT_REPEAT:
            conf->repeat = parse_number(optarg, 1, 1000000, "--repeat");
            break;
        case OPT_GAP:
            conf->gap_ms = parse_number(optarg, 0, DAY_MS, "--gap");
            break;
        case 'n':
            conf->count = parse_number(optarg, 1, 1LL << 40, "--count");
            break;
        case 'd':
            conf->duration_ms = parse_number(optarg, 1, DAY_MS, "--duration");
            break;
        case 'h':
            fputs(USAGE, stdout);
            exit(fflush(stdout) == 0 ? 0 : 1);
        default:
            fprintf(stderr, "(try --help)\n");
            exit(1);
        }
    }
    for (int i = optind; i < argc; i++) conf->datagrams.push_back(argv[i]);
    if (conf->raw) {
        if (!conf->entries.empty() || !conf->files.empty())
            misuse("--raw sends only its DATAGRAM arguments; --entry and --file do not apply");
        if (conf->datagrams.empty()) misuse("--raw needs at least one DATAGRAM");
    } else {
        if (!conf->datagrams.empty()) misuse("DATAGRAM arguments need --raw");
        if (conf->entries.empty()) misuse("give at least one --entry (or use --raw)");
        bool followed_sent = conf->follow_id == 0;
        for (const auto &f : conf->files) followed_sent = followed_sent || f.id == conf->follow_id;
        if (!followed_sent) misuse("--follow names a channel that no --file sends");
    }
}

bool parse_addr(const std::string &text, in_addr *out) {
    return inet_pton(AF_INET, text.c_str(), out) == 1;
}

// The socket: bound to the source, multicast out of the chosen interface.
int open_socket(const sender_conf &conf) {
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    if (!conf.source.empty() || conf.source_port != 0) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_port = htons(static_cast<uint16_t>(conf.source_port));
        if (!conf.source.empty() && !parse_addr(conf.source, &src.sin_addr))
            misuse("--source must be an IPv4 address, not '" + conf.source + "'");
        if (bind(sd, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0) {
            perror("bind()");
            exit(1);
        }
    }
    if (!conf.iface.empty()) {
        int set = join_send_interface(sd, conf.iface.c_str());
        if (set == 0) misuse(join_unknown_interface(conf.iface.c_str()));
        if (set < 0) {
            perror("setsockopt(IP_MULTICAST_IF)");
            exit(1);
        }
    }
    int loop = 1;
    int ttl = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0 ||
        setsockopt(sd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    return sd;
}

bool out_of_budget(const sender_run &run) {
    return (run.limit >= 0 && run.sent >= run.limit) || now_s() >= run.deadline;
}

// Sends one datagram; false once the count or the duration has run out.
bool send_datagram(sender_run *run, const std::string &bytes) {
    if (out_of_budget(*run)) return false;
    for (;;) {
        ssize_t n = sendto(run->sd, bytes.data(), bytes.size(), 0,
                           reinterpret_cast<sockaddr *>(&run->dest), sizeof run->dest);
        if (n >= 0) break;
        if (errno == EINTR) continue;
        perror("sendto()");
        exit(1);
    }
    run->sent++;
    return true;
}

std::string build_list(const sender_conf &conf) {
    std::vector<uint8_t> list = encode_list_start();
    const std::string too_big =
        "the channel list is over " + std::to_string(MAX_DATAGRAM) + " bytes";
    for (const auto &e : conf.entries)
        if (!encode_list_entry(&list, static_cast<uint8_t>(e.id), e.desc)) misuse(too_big);
    if (list.size() > MAX_DATAGRAM) misuse(too_big);
    return std::string(list.begin(), list.end());
}

// Payload sizes of --mixed: 1 and 65000 first, then a fixed pseudo-random
// mix weighted towards small sizes, so every run sends the same sequence.
size_t mixed_size(uint32_t *state, long long index) {
    if (index == 0) return 1;
    if (index == 1) return MIXED_MAX_PAYLOAD;
    uint32_t x = *state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    *state = x;
    uint32_t pick = x % 8;
    uint32_t r = x / 8;
    if (pick < 3) return 1 + r % 16;
    if (pick < 5) return 17 + r % 1484;
    if (pick < 7) return 1501 + r % 18500;
    return 20001 + r % (MIXED_MAX_PAYLOAD - 20000);
}

bool file_exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

// Notes a data message of channel id as sent, for --follow. A message of
// another channel is taken once a later byte of the followed one is.
void note_sent(const sender_conf &conf, sender_run *run, int id, size_t n) {
    if (conf.follow_id == 0) return;
    if (id == conf.follow_id) run->watched_sent += static_cast<long long>(n);
    long long end = run->watched_sent + (id == conf.follow_id ? 0 : 1);
    run->flight.push_back({end, static_cast<long long>(n)});
    run->flight_bytes += static_cast<long long>(n);
}

// --follow: waits until one more message fits past what the receiver has
// taken. Ends the process, saying how far the receiver got, when it stops
// taking data; false when the duration runs out first.
bool wait_for_room(const sender_conf &conf, sender_run *run) {
    long long last_taken = -1;
    double last_progress = now_s();
    for (;;) {
        long long taken = file_size(conf.follow_path);
        while (!run->flight.empty() && run->flight.front().watched_end <= taken) {
            run->flight_bytes -= run->flight.front().bytes;
            run->flight.pop_front();
        }
        if (run->flight.empty() ||
            (run->flight.size() < FOLLOW_AHEAD_MESSAGES && run->flight_bytes < FOLLOW_AHEAD_BYTES))
            return true;
        if (out_of_budget(*run)) return false;
        if (taken != last_taken) {
            last_taken = taken;
            last_progress = now_s();
        } else if (now_s() - last_progress > FOLLOW_STALL_S) {
            fprintf(stderr,
                    "stream_sender: the receiver took %lld of the %lld bytes of channel %d sent "
                    "so far; %s has not grown for %.0f s\n",
                    taken, run->watched_sent, conf.follow_id, conf.follow_path.c_str(),
                    FOLLOW_STALL_S);
            exit(1);
        }
        sleep_until(now_s() + 0.001);
    }
}

// List and data mode. Returns false when the budget ran out first.
bool run_stream(sender_conf *conf, sender_run *run) {
    std::string list = build_list(*conf);
    double list_gap = static_cast<double>(conf->list_every_ms) / 1000;
    if (!send_datagram(run, list)) return false;
    double last_list = now_s();
    auto list_due = [&] {
        if (conf->list_every_ms == 0 || now_s() - last_list < list_gap) return true;
        last_list = now_s();
        return send_datagram(run, list);
    };
    if (conf->wait_ms > 0) sleep_until(now_s() + static_cast<double>(conf->wait_ms) / 1000);
    if (!conf->go_file.empty()) {
        while (!file_exists(conf->go_file)) {
            if (out_of_budget(*run) || !list_due()) return false;
            sleep_until(now_s() + 0.01);
        }
    }
    if (conf->files.empty()) {
        if (conf->list_every_ms == 0) return true;
        for (;;) {
            if (out_of_budget(*run) || !list_due()) return false;
            sleep_until(std::min(last_list + list_gap, run->deadline));
        }
    }
    uint32_t rng = 2463534242u;
    long long index = 0;
    long long data_bytes = 0;
    double data_start = now_s();
    const data_file *followed = nullptr;
    for (const auto &f : conf->files)
        if (f.id == conf->follow_id) followed = &f;
    for (bool more = true; more;) {
        more = false;
        for (auto &f : conf->files) {
            if (f.sent == f.bytes.size()) continue;
            // Past the followed channel's end nothing shows what was taken.
            if (followed && followed->sent < followed->bytes.size() && !wait_for_room(*conf, run))
                return false;
            size_t want = conf->mixed ? mixed_size(&rng, index) : conf->payload;
            index++;
            size_t n = std::min(want, f.bytes.size() - f.sent);
            std::vector<uint8_t> m =
                encode_data(static_cast<uint8_t>(f.id), f.bytes.data() + f.sent, n);
            std::string msg(m.begin(), m.end());
            if (!list_due() || !send_datagram(run, msg)) return false;
            note_sent(*conf, run, f.id, n);
            f.sent += n;
            data_bytes += static_cast<long long>(n);
            more = more || f.sent < f.bytes.size();
            if (conf->rate > 0)
                sleep_until(data_start +
                            static_cast<double>(data_bytes) / static_cast<double>(conf->rate));
        }
    }
    return true;
}

bool run_raw(const sender_conf &conf, sender_run *run) {
    std::vector<std::string> grams;
    for (const auto &a : conf.datagrams) grams.push_back(datagram_from_arg(a));
    for (long long r = 0; r < conf.repeat; r++) {
        for (size_t i = 0; i < grams.size(); i++) {
            if ((r > 0 || i > 0) && conf.gap_ms > 0)
                sleep_until(now_s() + static_cast<double>(conf.gap_ms) / 1000);
            if (!send_datagram(run, grams[i])) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    sender_conf conf;
    parse_options(argc, argv, &conf);
    sender_run run;
    run.dest.sin_family = AF_INET;
    run.dest.sin_port = htons(static_cast<uint16_t>(conf.port));
    if (!parse_addr(conf.group, &run.dest.sin_addr))
        misuse("--group must be an IPv4 address, not '" + conf.group + "'");
    if (conf.raw)
        for (const auto &a : conf.datagrams) datagram_from_arg(a);  // misuse before sending
    run.sd = open_socket(conf);
    run.limit = conf.count;
    run.start = now_s();
    run.deadline = run.start + static_cast<double>(conf.duration_ms) / 1000;
    if (conf.raw)
        run_raw(conf, &run);
    else
        run_stream(&conf, &run);
    // Running out of count or time is a normal end.
    return 0;
}
