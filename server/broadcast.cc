// broadcast.cc - the server's send loop.
#include "broadcast.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <string>

#include "proto_encode.h"

namespace {

// Sends one datagram. A full queue drops it (a listener would lose it the
// same way). 0, or -1 with errno set when the send failed otherwise.
int send_datagram(const broadcast_conf &conf, const std::vector<uint8_t> &msg) {
    for (;;) {
        ssize_t n = sendto(conf.sd, msg.data(), msg.size(), 0,
                           reinterpret_cast<const sockaddr *>(&conf.dest), sizeof conf.dest);
        if (n >= 0 || errno == ENOBUFS || errno == EAGAIN) return 0;
        if (errno != EINTR) return -1;
    }
}

// Sends the channel's prepared message at now and prepares the next one.
int send_channel(channel_run *c, const broadcast_conf &conf, long long now, FILE *report) {
    pacing_sent(&c->clock, c->payload_ns, now);
    auto id = static_cast<uint8_t>(c->play.ch->id);
    if (send_datagram(conf, encode_data(id, c->payload.data(), c->payload.size())) < 0) return -1;
    c->bytes_sent += static_cast<long long>(c->payload.size());
    c->payload_ns = playout_next(&c->play, conf.payload, &c->payload, report);
    return 0;
}

enum turn_result { TURN_PLAYING, TURN_ALL_ENDED, TURN_SEND_FAILED };

// Sends what every channel has due at now, and brings *wake forward to when
// the next message is due.
turn_result send_due(std::vector<channel_run> *runs, const broadcast_conf &conf, long long now,
                     long long *wake, FILE *report) {
    bool playing = false;
    for (auto &c : *runs) {
        while (c.payload_ns > 0 && pacing_sends_now(c.clock, c.payload_ns, now))
            if (send_channel(&c, conf, now, report) < 0) return TURN_SEND_FAILED;
        if (c.payload_ns == 0) continue;
        playing = true;
        long long due = pacing_due(c.clock, c.payload_ns);
        if (due < *wake) *wake = due;
    }
    return playing ? TURN_PLAYING : TURN_ALL_ENDED;
}

// Waits until deadline, or until a signal of stop arrives. True when one
// arrived.
bool wait_for_stop(const sigset_t &stop, long long deadline) {
    long long left = deadline - now_ns();
    if (left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    return sigtimedwait(&stop, nullptr, &ts) >= 0;
}

}  // namespace

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::vector<channel_run> broadcast_start(const std::vector<channel_def> &channels,
                                         const broadcast_conf &conf, long long now, FILE *report) {
    std::vector<channel_run> runs(channels.size());
    for (size_t i = 0; i < runs.size(); i++) {
        channel_run &c = runs[i];
        c.play = playout_start(&channels[i], conf.once);
        c.clock = pacing_start(now, i, runs.size());
        c.payload_ns = playout_next(&c.play, conf.payload, &c.payload, report);
    }
    return runs;
}

int broadcast(std::vector<channel_run> *runs, const std::vector<uint8_t> &list,
              const broadcast_conf &conf, const sigset_t &stop, FILE *report) {
    long long next_list = now_ns();
    for (;;) {
        long long now = now_ns();
        if (now >= next_list) {
            if (send_datagram(conf, list) < 0) break;
            next_list = pacing_next_list(next_list, conf.list_interval_ns, now);
        }
        long long wake = next_list;
        turn_result turn = send_due(runs, conf, now, &wake, report);
        if (turn == TURN_SEND_FAILED) break;
        if (turn == TURN_ALL_ENDED && conf.once) return 0;
        if (turn == TURN_ALL_ENDED) {
            fprintf(report, "no channel plays any more\n");
            return 1;
        }
        if (wait_for_stop(stop, wake)) return 0;
    }
    fprintf(report, "sendto(): %s\n", strerror(errno));
    return 1;
}

void broadcast_summary(const std::vector<channel_run> &runs, FILE *report) {
    std::string line = "stopped";
    for (const auto &c : runs) {
        line += "; channel " + std::to_string(c.play.ch->id) + ": " +
                std::to_string(c.play.files_played) + " files played, " +
                std::to_string(c.bytes_sent) + " bytes sent";
    }
    fprintf(report, "%s\n", line.c_str());
}
