// run.cc - the player's one poll, and what it does with each input: the
// server followed, its list shown, the channel chosen and switched at its
// first datagram, the datagrams handed to the pipeline, the time exchange.
#include "run.h"

#include <arpa/inet.h>
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "lan_follow.h"
#include "list_entry.h"
#include "mono_clock.h"
#include "timing.h"

namespace {

// The poll's slots; a slot not watched has the descriptor -1.
enum slot {
    SLOT_SIGNALS,
    SLOT_TERMINAL,
    SLOT_DATA,
    SLOT_REPAIR,
    SLOT_TIMING,
    SLOT_NOW_PLAYING,
    SLOT_TIME,
    SLOT_DEVICE,  // and the device's others after it
    SLOT_COUNT = SLOT_DEVICE + AUDIO_POLL_MAX,
};

// How often a followed interface's name is looked up again.
constexpr long long FOLLOW_CHECK_NS = 1'000'000'000;
// Batches taken from the data socket at most before the others: a flood
// of data cannot keep the player from its repair and its device.
constexpr int DRAIN_ROUNDS = 8;

std::string address_of(const sockaddr_in &a) {
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// Reports a failed receive, once for each new error.
void report_receive(player *p, int *last_errno) {
    if (errno == *last_errno) return;
    *last_errno = errno;
    fprintf(p->report, "recvfrom(): %s\n", strerror(errno));
}

void say_title(player *p, const std::string &lines) {
    if (!p->conf.quiet) fputs(lines.c_str(), p->report);
}

// A server followed from now on: the first, or one that took over from a
// silent one, whose channel then starts afresh and whose list is shown.
void take_server(player *p) {
    time_ask_follow(&p->ask, p->server.server);
    bool moved = p->moved;
    p->moved = false;
    if (!p->listed) return;
    fprintf(p->report, "following the server at %s: %s\n", address_of(p->server.server).c_str(),
            moved ? "the radio moved there" : "the one before fell silent");
    pipeline_restart(&p->pipe);
    p->heard = titles{};
    std::string text;
    titles_follow(&p->heard, p->playing, &text);
    p->listed = false;
}

// The server's list: kept for the terminal, shown the first time, and
// from then on standard input is read for a channel unless -c gave one.
void take_list(player *p, const uint8_t *buf, size_t len) {
    p->tune.list.assign(reinterpret_cast<const char *>(buf), len);
    if (p->listed) return;
    p->listed = true;
    if (p->conf.channel == 0 && !p->input_ended) p->reading = true;
    if (p->conf.quiet) return;
    std::string text;
    list_text(buf, len, p->show_visible, &text);
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

// The first datagram of the channel asked for: it plays from here.
void switch_to(player *p, int chnid) {
    if (chnid != p->playing) pipeline_follow(&p->pipe, chnid);  // the same one goes on
    p->playing = chnid;
    p->tune.pending = -1;
    fprintf(p->report, "now on channel %d\n", chnid);
    std::string text;
    if (titles_follow(&p->heard, chnid, &text)) say_title(p, titles_line(text, p->err_visible));
}

// The followed server's data datagram buf[0, len), which came at now.
void take_server_data(player *p, const uint8_t *buf, size_t len, long long now) {
    if (len < DATA_MIN_SIZE || buf[0] == CHNID_LIST) return;
    if (buf[0] == p->tune.pending) switch_to(p, buf[0]);
    if (buf[0] == p->playing) pipeline_data(&p->pipe, buf, len, now);
}

// Keeps a data datagram of the channel asked for that came before any
// list, for the list that names its server.
void keep_early(player *p, const uint8_t *buf, size_t len, const sockaddr_in &from, long long now) {
    if (p->server.has_server || len < DATA_MIN_SIZE || buf[0] != p->tune.pending) return;
    while (!p->early.empty() &&
           (p->early.size() >= EARLY_MAX || now - p->early.front().at > EARLY_NS))
        p->early.pop_front();
    p->early.push_back({std::vector<uint8_t>(buf, buf + len), from, now});
}

// Datagram i of the batch from the data socket, which came at now: only
// the followed server's count, a list from another once it fell silent.
// The first list also plays what its server sent before it.
void take_data(player *p, unsigned i, long long now) {
    const uint8_t *buf = radio_bytes(p->batch, i);
    size_t len = p->batch.msgs[i].msg_len;
    bool is_list = len >= LIST_MIN_SIZE && buf[0] == CHNID_LIST;
    follow_kind k = follow_take(&p->server, p->batch.from[i], is_list, now);
    if (k == FOLLOW_IGNORED) return keep_early(p, buf, len, p->batch.from[i], now);
    if (k == FOLLOW_NEW) take_server(p);
    if (!is_list) return take_server_data(p, buf, len, now);
    take_list(p, buf, len);
    for (const early_datagram &e : p->early)
        if (same_sender(e.from, p->server.server))
            take_server_data(p, e.bytes.data(), e.bytes.size(), e.at);
    p->early.clear();
}

// What the data socket holds: one batch, or with drain up to DRAIN_ROUNDS.
void receive_data(player *p, bool drain, long long now) {
    static int last_errno = 0;
    for (int round = 0; round < (drain ? DRAIN_ROUNDS : 1); round++) {
        int got = radio_receive(p->rx.m[RADIO_DATA].sd, &p->batch);
        if (got < 0) return report_receive(p, &last_errno);
        last_errno = 0;
        for (int i = 0; i < got; i++) take_data(p, static_cast<unsigned>(i), now);
        if (got < static_cast<int>(RADIO_BATCH)) return;
    }
}

// What the repair or the timing socket holds: the followed server's
// datagrams of the channel played.
void receive_beside(player *p, radio_port port, long long now) {
    static int last_errno[RADIO_PORTS] = {};
    int got = radio_receive(p->rx.m[port].sd, &p->batch);
    if (got < 0) return report_receive(p, &last_errno[port]);
    last_errno[port] = 0;
    for (int i = 0; i < got; i++) {
        const uint8_t *buf = radio_bytes(p->batch, static_cast<unsigned>(i));
        size_t len = p->batch.msgs[i].msg_len;
        if (!p->server.has_server || !same_sender(p->batch.from[i], p->server.server) || len < 1 ||
            buf[0] != p->playing || p->playing == 0)
            continue;
        timing_datagram t;
        if (port == RADIO_REPAIR)
            pipeline_repair(&p->pipe, buf, len, now);
        else if (timing_parse(buf, len, &t))
            pipeline_timing(&p->pipe, t);
    }
}

void receive_now_playing(player *p) {
    std::string lines;
    int got = titles_receive(&p->heard, p->rx.m[RADIO_NOW_PLAYING].sd, p->server.server,
                             p->err_visible, &lines);
    say_title(p, lines);
    static int last_errno = 0;
    if (got < 0) report_receive(p, &last_errno);
}

// Lines typed: a channel to switch to, the list, or the hint. False when
// standard input ended before a channel was ever chosen.
bool read_terminal(player *p) {
    std::vector<tune_said> said;
    int got = tune_read(&p->tune, 0, p->show_visible, &said);
    for (const tune_said &s : said) fputs(s.text.c_str(), s.to_stdout ? stdout : p->report);
    fflush(stdout);
    if (got == 0) return true;
    p->reading = false;
    p->input_ended = true;
    if (p->playing != 0 || p->tune.pending > 0) return true;
    fprintf(p->report, "no channel chosen\n");
    return false;
}

bool ready(const pollfd &f) {
    return f.fd >= 0 && f.revents != 0;
}

// Takes what the poll found ready, the time answers first, so that each
// is timed when it came. -1 to go on, else the status to end with.
int take_inputs(player *p, const pollfd *fds, long long now) {
    if (ready(fds[SLOT_SIGNALS])) return 0;
    static int time_errno = 0;
    if (ready(fds[SLOT_TIME]) && time_ask_receive(&p->ask, &p->pipe.clock) < 0)
        report_receive(p, &time_errno);
    bool repair = ready(fds[SLOT_REPAIR]);
    if (ready(fds[SLOT_DATA]) || repair) receive_data(p, repair, now);
    if (repair) receive_beside(p, RADIO_REPAIR, now);
    if (ready(fds[SLOT_TIMING])) receive_beside(p, RADIO_TIMING, now);
    if (ready(fds[SLOT_NOW_PLAYING])) receive_now_playing(p);
    if (ready(fds[SLOT_TERMINAL]) && !read_terminal(p)) return 1;
    return -1;
}

// What falls due by time alone: a time request, the interface's look-up;
// and what the LAN says of the radio followed there.
void keep_time(player *p, long long now) {
    lan_follow_check(p);
    if (time_ask_send(&p->ask, &p->pipe.clock, now) < 0)
        fprintf(p->report, "time request to %s: sendto(): %s\n", address_of(p->ask.server).c_str(),
                strerror(errno));
    if (!radio_follows(p->rx) || now < p->follow_at) return;
    radio_follow(&p->rx, p->report);
    p->follow_at = now + FOLLOW_CHECK_NS;
}

// Fills the poll's slots; the number of the device's.
int watch(player *p, pollfd *fds, long long now) {
    const int sockets[] = {p->rx.m[RADIO_DATA].sd, p->rx.m[RADIO_REPAIR].sd,
                           p->rx.m[RADIO_TIMING].sd, p->rx.m[RADIO_NOW_PLAYING].sd, p->ask.sd};
    fds[SLOT_SIGNALS] = {p->signals, POLLIN, 0};
    fds[SLOT_TERMINAL] = {p->reading ? 0 : -1, POLLIN, 0};
    constexpr size_t count = sizeof sockets / sizeof sockets[0];
    static_assert(SLOT_DATA + count == SLOT_DEVICE);
    for (size_t i = 0; i < count; i++) fds[SLOT_DATA + i] = {sockets[i], POLLIN, 0};
    return pipeline_watch(&p->pipe, fds + SLOT_DEVICE, now);
}

// How long the poll may wait at now: until the earliest of what falls due
// by time, in milliseconds rounded up, so that no wake is early; at most
// a second.
int wait_ms(const player &p, long long now) {
    long long due = pipeline_due(p.pipe, now);
    if (p.ask.has_server) due = std::min(due, clock_sync_next_request(p.pipe.clock));
    if (radio_follows(p.rx)) due = std::min(due, p.follow_at);
    long long ns = std::clamp(due - now, 0LL, NS_PER_S);
    return static_cast<int>((ns + 999'999) / 1'000'000);
}

// SIGTERM and SIGINT, blocked, come through a descriptor of the poll.
// Blocked before any thread starts (a sound server's plugin makes one), so
// that none of them takes a signal.
int catch_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) < 0) return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

}  // namespace

bool player_start(player *p, const player_conf &conf) {
    p->conf = conf;
    p->show_visible = isatty(1) == 1;
    p->err_visible = isatty(2) == 1;
    p->tune.pending = conf.channel > 0 ? conf.channel : -1;
    if ((p->signals = catch_signals()) < 0) {
        fprintf(p->report, "signalfd(): %s\n", strerror(errno));
        return false;
    }
    if (radio_open(&p->rx, conf, p->report) < 0) return false;
    if (!radio_batch_start(&p->batch) || time_ask_open(&p->ask) < 0) {
        fprintf(p->report, "cannot start receiving: %s\n", strerror(errno));
        return false;
    }
    pipeline_conf pc;
    pc.repair = conf.repair;
    pc.latency_ns = conf.latency_ms * 1'000'000LL;
    pc.trim_ns = conf.trim_ns;
    pc.device = conf.device;
    pc.buffer_ms = conf.buffer_ms;
    pc.verbose = conf.verbose;
    pc.report = p->report;
    return pipeline_start(&p->pipe, pc);
}

int player_run(player *p) {
    for (;;) {
        pollfd fds[SLOT_COUNT];
        int device = watch(p, fds, now_ns());
        if (poll(fds, SLOT_DEVICE + device, wait_ms(*p, now_ns())) < 0 && errno != EINTR) {
            fprintf(p->report, "poll(): %s\n", strerror(errno));
            poll(nullptr, 0, 100);  // not to spin on a failure that stays
            continue;
        }
        long long now = now_ns();
        int status = take_inputs(p, fds, now);
        if (status >= 0) return status;
        keep_time(p, now);
        pipeline_tick(&p->pipe, now);
        pipeline_play(&p->pipe, fds + SLOT_DEVICE, device, now);
    }
}

void player_stop(player *p) {
    if (p->conf.repair) {
        repair_counts c = pipeline_repair_counts(p->pipe);
        fprintf(p->report, "rebuilt datagrams: %lld, could not rebuild: %lld\n", c.rebuilt, c.lost);
    }
    pipeline_stop(&p->pipe);
}
