// broadcast.cc - the server's send loop.
#include "broadcast.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <string.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "join.h"
#include "mono_clock.h"
#include "now_playing.h"
#include "proto_encode.h"
#include "reload.h"
#include "time_service.h"
#include "utf8.h"

namespace {

constexpr long long NOW_PLAYING_REPEAT_NS = NOW_PLAYING_REPEAT_S * NS_PER_S;
// After ENODEV the interface's name is looked up at most this often.
constexpr long long LOOKUP_INTERVAL_NS = NS_PER_S;

// The sending side of the loop, and whether the network takes its sends.
struct sender {
    const station_conf *conf;
    FILE *report;
    bool failing = false;  // sends fail because of the network
    long long failing_since = 0;
    long long not_sent = 0;     // datagrams lost since then
    long long next_lookup = 0;  // when ENODEV may look the interface up again
};

// A datagram lost to the network: said once when sends start failing.
void network_down(sender *s, int err, long long now) {
    if (!s->failing) {
        fprintf(s->report, "sendto(): %s; the channels go on, unheard until sends work again\n",
                strerror(err));
        s->failing = true;
        s->failing_since = now;
        s->not_sent = 0;
    }
    s->not_sent++;
    // A link deleted and created again has a new index: only its name
    // finds it.
    if (err == ENODEV && s->conf->iface && now >= s->next_lookup) {
        s->next_lookup = now + LOOKUP_INTERVAL_NS;
        join_send_interface(s->conf->sd, s->conf->iface);
    }
}

// Sends one datagram to the group's port. 1 when it went, 0 when it was
// lost (a full queue, or the network), -1 on a fault (reported).
int send_to(sender *s, const void *data, size_t size, int port, long long now) {
    sockaddr_in to = s->conf->dest;
    to.sin_port = htons(static_cast<uint16_t>(port));
    ssize_t n;
    do {
        n = sendto(s->conf->sd, data, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) {
        if (s->failing)
            fprintf(s->report, "sends work again after %.1f s; %lld datagrams were not sent\n",
                    static_cast<double>(now - s->failing_since) / 1e9, s->not_sent);
        s->failing = false;
        return 1;
    }
    int err = errno;
    send_failure f = broadcast_send_failure(err);
    if (f == SEND_NETWORK_DOWN) network_down(s, err, now);
    if (f != SEND_FAULT) return 0;
    fprintf(s->report, "sendto(): %s\n", strerror(err));
    return -1;
}

// Sends what the channel plays, when there is a port for it, and sets
// when it goes again. 0, or -1 on a fault.
int send_now_playing(channel_run *c, sender *s, long long now) {
    c->now_playing_due = now + NOW_PLAYING_REPEAT_NS;
    int port = s->conf->now_playing_port;
    if (port == 0) return 0;
    return send_to(s, c->now_playing.data(), c->now_playing.size(), port, now) < 0 ? -1 : 0;
}

// Tells of the file the channel has started.
int announce(channel_run *c, sender *s, long long now) {
    const playout &p = c->play;
    c->announced = p.starts;
    now_playing np{p.ch.id, p.tags.title, p.tags.artist, base_name(p.path), p.codec, p.transcoding,
                   ""};
    if (p.on_live) {
        // The source as it may be shown, its stream's title, as it is coded.
        std::lock_guard<std::mutex> hold(p.live->lock);
        np = now_playing{p.ch.id,       p.live->title,  "", p.live->shown,
                         p.live->codec, !p.live->as_is, ""};
    } else if (p.loudness) {
        char gain[16];
        snprintf(gain, sizeof gain, "%+.1f", p.gain_db);
        np.gain = gain;
    }
    c->now_playing = now_playing_encode(np);
    if (s->conf->verbose) {
        std::string tags;
        if (!np.title.empty()) tags += "title \"" + now_playing_clean(np.title) + "\"";
        if (!np.artist.empty())
            tags +=
                (tags.empty() ? "" : ", ") + ("artist \"" + now_playing_clean(np.artist) + "\"");
        // How it goes out, when that is not as it is.
        std::string how = np.transcoded ? "transcoded from " + np.codec : "";
        if (!np.gain.empty()) how += (how.empty() ? "" : ", ") + ("gain " + np.gain + " dB");
        std::string what = p.on_live ? "live " + utf8_clean(np.file) : utf8_clean(p.path);
        fprintf(s->report, "channel %d: playing %s%s%s\n", np.chnid, what.c_str(),
                tags.empty() ? "" : (" (" + tags + ")").c_str(),
                how.empty() ? "" : ("; " + how).c_str());
    }
    return send_now_playing(c, s, now);
}

// The repair encoders' clock: a wake-up at now sends the repair due within
// its batch, as it sends the data (a repair datagram may go early, never
// late), and the encoders' times never go back.
long long repair_clock(long long now) {
    return now + PACING_BATCH_NS;
}

// Sends repair datagrams to the repair port. 0, or -1 on a fault.
int send_repair(sender *s, const repair_datagrams &made, long long now) {
    for (const auto &d : made)
        if (send_to(s, d.data(), d.size(), s->conf->repair_port, now) < 0) return -1;
    return 0;
}

// Sends the channel's repair that is due, and brings *wake forward to when
// more is due. A channel that has ended closes its last block at once: no
// more data will fill it. 0, or -1 on a fault.
int tick_repair(channel_run *c, sender *s, long long now, long long *wake) {
    if (s->conf->repair_port == 0) return 0;
    repair_datagrams made;
    if (c->payload_ns == 0)
        repair_encoder_flush(&c->repair, repair_clock(now), &made);
    else
        repair_encoder_tick(&c->repair, repair_clock(now), &made);
    if (send_repair(s, made, now) < 0) return -1;
    long long due = repair_encoder_due(c->repair);
    if (due != LLONG_MAX && due - PACING_BATCH_NS < *wake) *wake = due - PACING_BATCH_NS;
    return 0;
}

// Lists the channel's data datagram msg, whose first sample is due at due,
// in its timing, and sends the timing datagram when one is due: at the
// start of each file, and TIMING_INTERVAL_NS after the one before. 0, or
// -1 on a fault.
int tick_timing(channel_run *c, sender *s, const std::vector<uint8_t> &msg, long long due,
                long long now) {
    const playout &p = c->play;
    timing_list_add(&c->timing, msg.data(), msg.size(), p.payload_samples, p.payload_rate, due);
    if (p.starts == c->announced && now < c->timing_due) return 0;
    std::vector<uint8_t> d;
    if (!timing_list_datagram(c->timing, static_cast<uint8_t>(p.ch.id), &d)) return 0;
    c->timing_due = now + TIMING_INTERVAL_NS;
    return send_to(s, d.data(), d.size(), s->conf->timing_port, now) < 0 ? -1 : 0;
}

// Sends the channel's prepared message at now, then the repair and the
// timing that it makes due, and prepares the next message. Its clock counts
// the message sent even when the network lost it, and so do its repair
// encoder, so that a receiver may rebuild it, and its timing.
int send_channel(channel_run *c, sender *s, long long now) {
    long long due = c->clock.start_ns + c->clock.sent_ns, start = c->clock.start_ns;
    pacing_sent(&c->clock, c->payload_ns, now);
    auto id = static_cast<uint8_t>(c->play.ch.id);
    std::vector<uint8_t> msg = encode_data(id, c->payload.data(), c->payload.size());
    int sent = send_to(s, msg.data(), msg.size(), ntohs(s->conf->dest.sin_port), now);
    if (sent < 0) return -1;
    if (s->conf->repair_port != 0) {
        repair_datagrams made;
        repair_encoder_add(&c->repair, msg.data(), msg.size(), repair_clock(now), &made);
        if (send_repair(s, made, now) < 0) return -1;
    }
    if (s->conf->timing_port != 0 && tick_timing(c, s, msg, due, now) < 0) return -1;
    // The clock moved on after a stall: the next message is not due where
    // this one's audio ends.
    if (c->clock.start_ns != start) timing_list_break(&c->timing);
    if (sent > 0) c->bytes_sent += static_cast<long long>(c->payload.size());
    if (c->play.starts != c->announced && announce(c, s, now) < 0) return -1;
    c->payload_ns = playout_next(&c->play, s->conf->payload, &c->payload, s->report);
    return 0;
}

enum turn_result { TURN_PLAYING, TURN_ALL_ENDED, TURN_SEND_FAILED };

// Sends what every channel has due at now, and brings *wake forward to when
// the next message is due. A channel that has ended counts as playing
// until the repair of its last block is out, so that --once waits for it.
turn_result send_due(std::vector<channel_run> *runs, sender *s, long long now, long long *wake) {
    bool playing = false;
    for (auto &c : *runs) {
        if (c.payload_ns == PLAYOUT_AGAIN)
            c.payload_ns = playout_next(&c.play, s->conf->payload, &c.payload, s->report);
        while (c.payload_ns > 0 && pacing_sends_now(c.clock, c.payload_ns, now))
            if (send_channel(&c, s, now) < 0) return TURN_SEND_FAILED;
        if (tick_repair(&c, s, now, wake) < 0) return TURN_SEND_FAILED;
        if (c.payload_ns == 0) {
            playing = playing || repair_encoder_due(c.repair) != LLONG_MAX;
            continue;
        }
        playing = true;
        if (!c.now_playing.empty() && now >= c.now_playing_due && send_now_playing(&c, s, now) < 0)
            return TURN_SEND_FAILED;
        long long due = c.payload_ns > 0 ? pacing_due(c.clock, c.payload_ns) : now;
        if (due < *wake) *wake = due;
    }
    return playing ? TURN_PLAYING : TURN_ALL_ENDED;
}

// One turn of the loop at now: the list when due, then the channels. -1
// while the broadcast goes on (*wake set), else its exit status.
int turn(on_air *air, sender *s, long long now, long long *next_list, long long *wake) {
    const station_conf &conf = *s->conf;
    if (now >= *next_list) {
        if (send_to(s, air->list.data(), air->list.size(), ntohs(conf.dest.sin_port), now) < 0)
            return 1;
        *next_list = pacing_next_list(*next_list, conf.list_interval_ns, now);
    }
    *wake = *next_list;
    turn_result t = send_due(&air->runs, s, now, wake);
    if (t == TURN_SEND_FAILED) return 1;
    if (t == TURN_ALL_ENDED && conf.once) return 0;
    if (t == TURN_ALL_ENDED) {
        fprintf(s->report, "no channel plays any more\n");
        return 1;
    }
    return -1;
}

// What the loop waits for beside its next send: the signals, read from a
// descriptor, and the time requests on the socket.
struct waits {
    int sigfd = -1;
    time_service clock;
};

// Starts taking the signals (they stay blocked, and are taken only where
// the loop waits, as before) and the time requests. False after a report.
bool start_waits(waits *w, const station_conf &conf, const sigset_t &signals, FILE *report) {
    w->sigfd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    const char *failed = "signalfd()";
    if (w->sigfd >= 0 && time_service_start(&w->clock, conf.sd, &failed)) return true;
    fprintf(report, "%s: %s\n", failed, strerror(errno));
    if (w->sigfd >= 0) close(w->sigfd);
    return false;
}

void stop_waits(waits *w) {
    time_service_stop(&w->clock);
    close(w->sigfd);
}

// What ended a wait: the signal taken (0: none), and whether datagrams
// wait on the socket.
struct woken {
    int sig = 0;
    bool datagrams = false;
};

// Waits until deadline for one of the signals or a datagram on sd.
woken wait_for(const waits &w, int sd, long long deadline) {
    long long left = deadline - now_ns();
    if (left < 0) left = 0;
    timespec ts{static_cast<time_t>(left / NS_PER_S), static_cast<long>(left % NS_PER_S)};
    pollfd fds[2] = {{w.sigfd, POLLIN, 0}, {sd, POLLIN, 0}};
    woken got;
    if (ppoll(fds, 2, &ts, nullptr) <= 0) return got;
    signalfd_siginfo si;
    if ((fds[0].revents & POLLIN) && read(w.sigfd, &si, sizeof si) == sizeof si)
        got.sig = static_cast<int>(si.ssi_signo);
    got.datagrams = fds[1].revents != 0;
    return got;
}

void start_rescan(rescan *r, const station_conf &conf, FILE *report) {
    fprintf(report, "reloading %s\n", conf.folder);
    if (!rescan_start(r, conf.folder, conf.wanted))
        fprintf(report, "reload failed; the programme stays as it was: pthread_create(): %s\n",
                strerror(errno));
}

}  // namespace

send_failure broadcast_send_failure(int err) {
    switch (err) {
    case EAGAIN:
        return SEND_DROPPED;
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTUNREACH:
    case ENODEV:
    case EADDRNOTAVAIL:
    case EPERM:
    case ENOBUFS:
        return SEND_NETWORK_DOWN;
    default:
        return SEND_FAULT;
    }
}

int broadcast(on_air *air, const station_conf &conf, const sigset_t &signals, FILE *report) {
    waits waits;
    if (!start_waits(&waits, conf, signals, report)) return 1;
    sender s{&conf, report};
    rescan scan;
    bool scan_again = false;  // a SIGHUP came while a scan ran
    long long next_list = now_ns();
    int status = -1;
    while (status < 0) {
        long long now = now_ns();
        if (rescan_done(&scan)) {
            reload_apply(air, &scan, conf, now, report);
            if (conf.reloaded) conf.reloaded(*air, conf.reloaded_arg);
            if (scan_again) start_rescan(&scan, conf, report);
            scan_again = false;
        }
        long long wake;
        status = turn(air, &s, now, &next_list, &wake);
        if (status >= 0) break;
        // The scan's end is seen at a turn: turns come often while it runs.
        if (scan.running && wake > now + PACING_BATCH_NS) wake = now + PACING_BATCH_NS;
        woken w = wait_for(waits, conf.sd, wake);
        if (w.datagrams) time_service_serve(&waits.clock);
        if (w.sig == SIGHUP && scan.running) scan_again = true;
        if (w.sig == SIGHUP && !scan.running) start_rescan(&scan, conf, report);
        if (w.sig != 0 && w.sig != SIGHUP) status = 0;
    }
    rescan_wait(&scan);
    stop_waits(&waits);
    return status;
}
