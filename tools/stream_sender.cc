// stream_sender.cc - plays the stream server's part for tests and demos: sends
// a channel list and channel data (or crafted datagrams) to a multicast group.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "join.h"
#include "mono_clock.h"
#include "options.h"
#include "proto_encode.h"
#include "sender_options.h"

namespace {

constexpr size_t MAX_DATAGRAM = MSG_MAX_DATAGRAM;
constexpr size_t MIXED_MAX_PAYLOAD = 65000;

// --follow: data goes out only while less than this much of it is past what
// the receiver has taken, so the receiver's socket never fills (it holds
// 208 KiB by default, small datagrams costing far more than their size)
// however slowly the receiver is scheduled.
constexpr long long FOLLOW_AHEAD_BYTES = 64 * 1024;
constexpr size_t FOLLOW_AHEAD_MESSAGES = 32;
// A receiver that takes nothing for this long has stopped.
constexpr double FOLLOW_STALL_S = 10;

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

double now_s() {
    return static_cast<double>(now_ns()) / 1e9;
}

void sleep_until(double t) {
    double left = t - now_s();
    if (left <= 0) return;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(left);
    ts.tv_nsec = static_cast<long>((left - static_cast<double>(ts.tv_sec)) * 1e9);
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
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
            misuse_exit(SENDER, "--source must be an IPv4 address, not '" + conf.source + "'");
        if (bind(sd, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0) {
            perror("bind()");
            exit(1);
        }
    }
    if (!conf.iface.empty()) {
        int set = join_send_interface(sd, conf.iface.c_str());
        if (set == 0) misuse_exit(SENDER, join_unknown_interface(conf.iface.c_str()));
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
        if (!encode_list_entry(&list, static_cast<uint8_t>(e.id), e.desc))
            misuse_exit(SENDER, too_big);
    if (list.size() > MAX_DATAGRAM) misuse_exit(SENDER, too_big);
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

// The channel list of list and data mode, and when it went last.
struct list_sender {
    std::string list;
    bool again;  // false: it goes once
    double gap;  // s between lists
    double last = 0;
};

// Sends the list again once its interval has passed. False when the budget
// ran out first.
bool list_due(list_sender *l, sender_run *run) {
    if (!l->again || now_s() - l->last < l->gap) return true;
    l->last = now_s();
    return send_datagram(run, l->list);
}

// Sends the next n bytes of f as one data message, the list first when it
// is due. False when the budget ran out first.
bool send_piece(const sender_conf &conf, sender_run *run, list_sender *l, data_file *f, size_t n) {
    std::vector<uint8_t> m = encode_data(static_cast<uint8_t>(f->id), f->bytes.data() + f->sent, n);
    if (!list_due(l, run) || !send_datagram(run, std::string(m.begin(), m.end()))) return false;
    note_sent(conf, run, f->id, n);
    f->sent += n;
    return true;
}

// Sends the files, one message of each in turn, at conf's rate. False when
// the budget ran out first.
bool send_files(sender_conf *conf, sender_run *run, list_sender *l) {
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
            size_t want =
                conf->mixed ? mixed_size(&rng, index++) : static_cast<size_t>(conf->payload);
            size_t n = std::min(want, f.bytes.size() - f.sent);
            if (!send_piece(*conf, run, l, &f, n)) return false;
            data_bytes += static_cast<long long>(n);
            more = more || f.sent < f.bytes.size();
            if (conf->rate > 0)
                sleep_until(data_start +
                            static_cast<double>(data_bytes) / static_cast<double>(conf->rate));
        }
    }
    return true;
}

// List and data mode. Returns false when the budget ran out first.
bool run_stream(sender_conf *conf, sender_run *run) {
    list_sender l{build_list(*conf), conf->list_every_ms != 0,
                  static_cast<double>(conf->list_every_ms) / 1000};
    if (!send_datagram(run, l.list)) return false;
    l.last = now_s();
    if (conf->wait_ms > 0) sleep_until(now_s() + static_cast<double>(conf->wait_ms) / 1000);
    while (!conf->go_file.empty() && !file_exists(conf->go_file)) {
        if (out_of_budget(*run) || !list_due(&l, run)) return false;
        sleep_until(now_s() + 0.01);
    }
    if (!conf->files.empty()) return send_files(conf, run, &l);
    if (!l.again) return true;
    for (;;) {
        if (out_of_budget(*run) || !list_due(&l, run)) return false;
        sleep_until(std::min(l.last + l.gap, run->deadline));
    }
}

bool run_raw(const sender_conf &conf, sender_run *run) {
    std::vector<std::string> grams;
    for (const auto &a : conf.datagrams) grams.push_back(sender_datagram(a));
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
    sender_parse_options(argc, argv, &conf);
    sender_run run;
    run.dest.sin_family = AF_INET;
    run.dest.sin_port = htons(static_cast<uint16_t>(conf.port));
    if (!parse_addr(conf.group, &run.dest.sin_addr))
        misuse_exit(SENDER, "--group must be an IPv4 address, not '" + conf.group + "'");
    if (conf.raw)
        for (const auto &a : conf.datagrams) sender_datagram(a);  // misuse before sending
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
