// repair_bench.cc - the repair datagrams over a real lossy hop. stream_server,
// at its defaults, broadcasts the busy radio (32 channels of 128 kbit/s MP3)
// in one private network namespace; in another, joined to it by a veth pair,
// this program receives every channel and rebuilds it as stream_gateway
// --repair does: a repair_decoder per channel, fed from the data port and
// the repair port (only datagrams from the server's address and port), the
// data socket drained before the repair socket, the decoders ticked when
// due. nftables rules on the receiver's end of the veth pair drop the
// group's datagrams (data, repair, lists and now-playing alike): at random,
// in outages of the whole group, or both.
//
// The count does not trust the decoder. Every channel plays one file, so
// the datagrams it sends are known from the file: its frames packed whole
// into payloads of up to 1024 bytes, as the server packs them, one cycle
// after another. Each datagram that comes from the wire, and each that the
// decoder hands out, is placed in its channel's sequence; the gaps are
// what the wire lost and what is missing after repair, and a datagram that
// fits no place (rebuilt wrong, out of order, handed out twice) is counted
// apart. The delay that the receiver adds runs from a datagram's arrival
// (for a rebuilt one, the arrival of the channel's datagram before it plus
// the audio between them) to its hand-out by the decoder.
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "audio_support.h"
#include "bench_util.h"
#include "defaults.h"
#include "join.h"
#include "mono_clock.h"
#include "netns.h"
#include "now_playing.h"
#include "proc.h"
#include "proto.h"
#include "radio.h"
#include "repair_decoder.h"

namespace {

constexpr int CHANNELS = RADIO_CHANNELS;
constexpr long long MS = 1'000'000;
constexpr size_t PAYLOAD_MAX = 1024;  // the server's default --payload
constexpr unsigned BATCH = 32;        // datagrams a receive call takes, as the gateway's
constexpr int RCVBUF = 8 << 20;       // asked for each socket, as the gateway does
// A datagram further than this from the one expected (5 s of a channel)
// is counted apart rather than taken for a gap.
constexpr long long JUMP_MAX = 100;
// Once the counted datagrams were sent: time for their blocks' repair to
// come (a block's time and its repair's spread, 2.25 s at the defaults);
// then, the server stopped, for the decoders to hand out what they hold.
constexpr long long TAIL_NS = 3000 * MS;
constexpr long long FLUSH_NS = REPAIR_HOLD_NS + 300 * MS;
// Past the server's start-up before its CPU is measured.
constexpr long long SETTLE_NS = 2000 * MS;

const char *const LOCAL_IF = "veth-rx";  // the receiver's end of the veth pair
const char *const SERVER_ADDR = "10.201.10.2";
const char *const NFT_RULE =
    "add rule inet lossy in iifname veth-rx ip daddr " DEFAULT_MGROUP " meta l4proto udp ";

// A case: nftables expressions that drop (each gets "counter drop"), and
// the most data datagrams that may be missing after repair, as a share.
// The outages: the group carries about 800 datagrams a second at the
// server's defaults (612.5 data, 180 repair, the list every second, the
// now-playing datagrams; each case prints what it measured), so 250 ms
// every 10 s is 200 datagrams in a row of every 8000.
struct loss_case {
    const char *name;  // for --only
    const char *title;
    std::vector<std::string> drops;
    double target;
};

const loss_case CASES[] = {
    {"none", "no loss", {}, 0},
    {"random-5", "random 5 %", {"numgen random mod 1000 < 50"}, 0.0001},
    {"random-10", "random 10 %", {"numgen random mod 1000 < 100"}, 0.002},
    {"outages", "outages 250 ms / 10 s", {"numgen inc mod 8000 < 200"}, 0},
    {"outages-3",
     "outages and random 3 %",
     {"numgen inc mod 8000 < 200", "numgen random mod 1000 < 30"},
     0.001},
};

struct bench_conf {
    long long datagrams = 200'000;  // data datagrams counted per case
    std::vector<std::string> only;  // case names; empty: all
    std::string server = BENCH_SERVER;
};

// A channel's datagrams in the order the server sends them, one cycle of
// its file: the payloads, a hash of each, their playing time.
struct programme_seq {
    std::vector<std::string> payloads;
    std::vector<size_t> hashes;
    std::vector<long long> audio_ns;
};

programme_seq programme_of(const std::string &file) {
    std::string bytes = file_bytes(file);
    programme_seq p;
    std::string payload;
    long long ns = 0;
    auto push = [&] {
        p.hashes.push_back(std::hash<std::string_view>{}(payload));
        p.payloads.push_back(payload);
        p.audio_ns.push_back(ns);
        payload.clear();
        ns = 0;
    };
    for (const found_frame &f : frames_of(bytes)) {
        auto size = static_cast<size_t>(f.h.size);
        if (!payload.empty() && payload.size() + size > PAYLOAD_MAX) push();
        payload.append(bytes, f.offset, size);
        ns += mp3_frame_ns(f.h);
    }
    if (!payload.empty()) push();
    return p;
}

// Payloads of the programme that some other one repeats.
size_t repeated(const programme_seq &p) {
    std::vector<std::string> sorted = p.payloads;
    std::sort(sorted.begin(), sorted.end());
    size_t n = 0;
    for (size_t i = 1; i < sorted.size(); i++) n += sorted[i] == sorted[i - 1];
    return n;
}

// One channel at the receiver. Positions count the channel's datagrams
// from its first, through the cycles of its file.
struct channel_count {
    const programme_seq *prog = nullptr;
    long long wire_next = 0;          // the position after the last that came from the wire
    long long out_next = 0;           // the position after the last handed out
    std::vector<long long> arrived;   // by position: when it came from the wire, or -1
    std::vector<long long> released;  // by position: when the decoder handed it out, or -1
    long long strays = 0;             // datagrams that fit no place
    std::vector<std::string> notes;   // what the first strays were
    long long started = 0;            // when the case started
    std::unique_ptr<repair_decoder> decoder;
};

// Counts the payload p[0, n), which fits no place at or after next in
// where ("wire" or "out"), and notes the first few: when, and where in
// the cycle it would fit.
void stray(channel_count *c, const char *where, long long next, const uint8_t *p, size_t n,
           long long now) {
    c->strays++;
    if (c->notes.size() >= 5) return;
    const programme_seq &prog = *c->prog;
    std::string_view v(reinterpret_cast<const char *>(p), n);
    long long fits = -1;
    for (size_t i = 0; i < prog.payloads.size() && fits < 0; i++)
        if (prog.payloads[i] == v) fits = static_cast<long long>(i);
    long long cycle = static_cast<long long>(prog.payloads.size());
    const repair_counts *k = c->decoder ? &c->decoder->counts : nullptr;
    // The last place before next that it fits: when that one came and went.
    long long last = fits < 0 ? -1 : next - 1 - ((next - 1 - fits) % cycle + cycle) % cycle;
    auto at = [&](const std::vector<long long> &t) {
        bool known = last >= 0 && static_cast<size_t>(last) < t.size() && t[last] >= 0;
        return known ? static_cast<double>(t[last] - c->started) / 1e9 : -1.0;
    };
    char note[320];
    snprintf(note, sizeof note,
             "%s at %.3f s: expected %lld, fits %lld, which came at %.3f s and was handed out "
             "at %.3f s; the decoder had rebuilt %lld, lost %lld",
             where, static_cast<double>(now - c->started) / 1e9, next, last, at(c->arrived),
             at(c->released), k ? k->rebuilt : 0, k ? k->lost : 0);
    c->notes.push_back(note);
}

// Set by SIGTERM, SIGINT or SIGHUP: the run ends, the server is stopped.
volatile sig_atomic_t stopping = 0;

void on_stop_signal(int) {
    stopping = 1;
}

// Places the payload p[0, n) at or after *next and moves *next past it; its
// position, or -1 when it fits no place within JUMP_MAX.
long long place(const programme_seq &prog, long long *next, const uint8_t *p, size_t n) {
    std::string_view v(reinterpret_cast<const char *>(p), n);
    size_t h = std::hash<std::string_view>{}(v);
    long long at = cycle_find(*next, prog.payloads.size(), [&](size_t i) {
        return prog.hashes[i] == h && prog.payloads[i] == v;
    });
    if (at < 0 || at - *next > JUMP_MAX) return -1;
    *next = at + 1;
    return at;
}

void mark(std::vector<long long> *times, long long at, long long now) {
    if (static_cast<size_t>(at) >= times->size()) times->resize(static_cast<size_t>(at) + 1, -1);
    (*times)[static_cast<size_t>(at)] = now;
}

struct receiver {
    int data_sd = -1, repair_sd = -1;
    sockaddr_in server{};  // datagrams count only from it
    channel_count ch[CHANNELS + 1];
    std::vector<uint8_t> bufs;  // BATCH buffers of MSG_MAX_SIZE bytes
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    sockaddr_in from[BATCH];
    long long foreign = 0;  // datagrams of a channel beyond the radio's
};

using take_fn = void (*)(receiver *rx, const uint8_t *p, size_t n, long long now);

repair_decoder *decoder_of(receiver *rx, uint8_t id) {
    std::unique_ptr<repair_decoder> &d = rx->ch[id].decoder;
    if (!d) d = std::make_unique<repair_decoder>(repair_decoder_start(id, REPAIR_HOLD_NS));
    return d.get();
}

// Places what a decoder handed out at now.
void take_out(channel_count *c, const repair_datagrams &out, long long now) {
    for (const auto &d : out) {
        long long at = place(*c->prog, &c->out_next, d.data() + 1, d.size() - 1);
        if (at < 0)
            stray(c, "handed out", c->out_next, d.data() + 1, d.size() - 1, now);
        else
            mark(&c->released, at, now);
    }
}

void take_data(receiver *rx, const uint8_t *p, size_t n, long long now) {
    if (n < 2 || p[0] == CHNID_LIST) return;
    if (p[0] > CHANNELS) {
        rx->foreign++;
        return;
    }
    channel_count &c = rx->ch[p[0]];
    long long at = place(*c.prog, &c.wire_next, p + 1, n - 1);
    if (at < 0)
        stray(&c, "from the wire", c.wire_next, p + 1, n - 1, now);
    else
        mark(&c.arrived, at, now);
    repair_datagrams out;
    repair_decoder_data(decoder_of(rx, p[0]), p, n, now, &out);
    take_out(&c, out, now);
}

void take_repair(receiver *rx, const uint8_t *p, size_t n, long long now) {
    repair_header h;
    if (!repair_parse(p, n, &h)) return;
    if (h.chnid > CHANNELS) {
        rx->foreign++;
        return;
    }
    repair_datagrams out;
    repair_decoder_repair(decoder_of(rx, h.chnid), p, n, now, &out);
    take_out(&rx->ch[h.chnid], out, now);
}

// Takes what sd holds, from the server only.
void drain(receiver *rx, int sd, take_fn take, long long now) {
    for (;;) {
        for (unsigned i = 0; i < BATCH; i++) rx->msgs[i].msg_hdr.msg_namelen = sizeof rx->from[i];
        int n = recvmmsg(sd, rx->msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (int i = 0; i < n; i++) {
            if (!same_sender(rx->from[i], rx->server)) continue;
            take(rx, &rx->bufs[static_cast<size_t>(i) * MSG_MAX_SIZE], rx->msgs[i].msg_len, now);
        }
        if (static_cast<unsigned>(n) < BATCH) return;
    }
}

long long decoders_due(const receiver &rx) {
    long long due = LLONG_MAX;
    for (const channel_count &c : rx.ch)
        if (c.decoder) due = std::min(due, repair_decoder_due(*c.decoder));
    return due;
}

void tick_decoders(receiver *rx, long long now) {
    for (channel_count &c : rx->ch) {
        if (!c.decoder || repair_decoder_due(*c.decoder) > now) continue;
        repair_datagrams out;
        repair_decoder_tick(c.decoder.get(), now, &out);
        take_out(&c, out, now);
    }
}

// Receives and decodes until deadline, or until stop says so.
void receive_until(receiver *rx, long long deadline, const std::function<bool()> &stop) {
    pollfd fds[2] = {{rx->data_sd, POLLIN, 0}, {rx->repair_sd, POLLIN, 0}};
    for (long long now = now_ns(); now < deadline && !stopping && !stop(); now = now_ns()) {
        long long wake = std::min(deadline, decoders_due(*rx));
        int wait_ms = wake <= now ? 0 : static_cast<int>((wake - now + MS - 1) / MS);
        if (poll(fds, 2, wait_ms) < 0 && errno != EINTR) {
            perror("repair_bench: poll()");
            return;
        }
        now = now_ns();
        // As the gateway: the data that came before a block's first
        // repair datagram is taken before it.
        if ((fds[0].revents | fds[1].revents) != 0) drain(rx, rx->data_sd, take_data, now);
        if (fds[1].revents != 0) drain(rx, rx->repair_sd, take_repair, now);
        tick_decoders(rx, now);
    }
}

// A socket joined to the group on the veth pair and bound to port,
// non-blocking, as the gateway opens its own; -1 after a report.
int group_socket(int port) {
    join_membership m;
    inet_pton(AF_INET, DEFAULT_MGROUP, &m.group);
    m.ifindex = if_nametoindex(LOCAL_IF);
    const char *failed = nullptr;
    int sd = membership_open(&m, static_cast<uint16_t>(port), true, SOCK_NONBLOCK, &failed);
    if (sd < 0) {
        fprintf(stderr, "repair_bench: receiving socket: %s: %s\n", failed, strerror(errno));
        return -1;
    }
    int size = RCVBUF;
    if (setsockopt(sd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return sd;
}

// Datagrams the kernel dropped at sd for want of room (SO_MEMINFO).
long long socket_drops(int sd) {
    uint32_t info[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof info;
    if (getsockopt(sd, SOL_SOCKET, SO_MEMINFO, info, &len) < 0) return -1;
    return info[SK_MEMINFO_DROPS];
}

bool receiver_open(receiver *rx, const std::vector<const programme_seq *> &prog_of) {
    rx->server.sin_family = AF_INET;
    rx->server.sin_port = htons(DEFAULT_PORT);  // the server's default source port
    inet_pton(AF_INET, SERVER_ADDR, &rx->server.sin_addr);
    for (int c = 1; c <= CHANNELS; c++) {
        rx->ch[c].prog = prog_of[static_cast<size_t>(c - 1)];
        rx->ch[c].started = now_ns();
    }
    rx->bufs.assign(BATCH * MSG_MAX_SIZE, 0);
    for (unsigned i = 0; i < BATCH; i++) {
        rx->iov[i] = {&rx->bufs[i * MSG_MAX_SIZE], MSG_MAX_SIZE};
        rx->msgs[i].msg_hdr = {};
        rx->msgs[i].msg_hdr.msg_iov = &rx->iov[i];
        rx->msgs[i].msg_hdr.msg_iovlen = 1;
        rx->msgs[i].msg_hdr.msg_name = &rx->from[i];
    }
    rx->data_sd = group_socket(DEFAULT_PORT);
    rx->repair_sd = group_socket(repair_port(DEFAULT_PORT));
    return rx->data_sd >= 0 && rx->repair_sd >= 0;
}

void receiver_close(receiver *rx) {
    for (int sd : {rx->data_sd, rx->repair_sd})
        if (sd >= 0) close(sd);
}

// A rule's counter in the loss chain.
struct nft_counter {
    long long packets = 0, bytes = 0;
};

// The counters of the loss chain's rules, in order; empty when nft fails.
std::vector<nft_counter> read_counters() {
    FILE *f = popen("nft list chain inet lossy in", "r");
    if (!f) return {};
    std::vector<nft_counter> out;
    char line[1024];
    while (fgets(line, sizeof line, f)) {
        const char *at = strstr(line, "counter packets ");
        nft_counter c;
        if (at && sscanf(at, "counter packets %lld bytes %lld", &c.packets, &c.bytes) == 2)
            out.push_back(c);
    }
    return pclose(f) == 0 ? out : std::vector<nft_counter>{};
}

// What the counters now counted since before; empty when either is.
std::vector<nft_counter> counters_since(std::vector<nft_counter> now,
                                        const std::vector<nft_counter> &before) {
    if (now.size() != before.size()) return {};
    for (size_t i = 0; i < now.size(); i++) {
        now[i].packets -= before[i].packets;
        now[i].bytes -= before[i].bytes;
    }
    return now;
}

// The counters, by rule: the lists, the data datagrams, the now-playing
// datagrams, the repair datagrams (all before any loss), then each drop.
enum { NFT_LISTS, NFT_DATA, NFT_NOW_PLAYING, NFT_REPAIR, NFT_DROPS };

// The loss chain for case c, in a table of its own, replacing any before.
bool set_loss(const loss_case &c) {
    std::string port = std::to_string(DEFAULT_PORT);
    std::string cmd =
        "nft delete table inet lossy 2>/dev/null; nft 'add table inet lossy' && "
        "nft 'add chain inet lossy in { type filter hook prerouting priority 0; }'";
    for (const std::string &count :
         {"udp dport " + port + " @th,64,8 0 counter",
          "udp dport " + port + " @th,64,8 != 0 counter",
          "udp dport " + std::to_string(now_playing_port(DEFAULT_PORT)) + " counter",
          "udp dport " + std::to_string(repair_port(DEFAULT_PORT)) + " counter"})
        cmd += " && nft '" + std::string(NFT_RULE) + count + "'";
    for (const std::string &d : c.drops)
        cmd += " && nft '" + std::string(NFT_RULE) + d + " counter drop'";
    return run_shell(cmd) == 0;
}

// What a case measured.
struct case_figures {
    bool ok = false;          // the run went through
    long long sent = 0;       // data datagrams counted
    long long wire_lost = 0;  // of those, lost on the wire
    long long missing = 0;    // of those, never handed out
    long long strays = 0, foreign = 0, socket_drops = 0;
    std::vector<std::string> notes;       // the first strays of each channel
    double counted_s = 0, stopped_s = 0;  // when the counted datagrams were sent, when the
                                          // server was stopped, from the case's start
    repair_counts decoded;                // the decoders' own counts, summed
    // What the rules counted from the server's settled start until the
    // counted datagrams were sent, and over how long.
    std::vector<nft_counter> counters;
    double window_s = 0;
    double cpu_share = -1;  // the server's, settled start-up to then
    std::vector<double> delays_ms;
    int server_status = -1;
};

// When position u of c came, or would have come: the arrival of the
// nearest datagram that came before it, plus the audio between them (or
// of the nearest after it, less the audio); -1 when none came.
long long would_arrive(const channel_count &c, size_t u) {
    const programme_seq &p = *c.prog;
    long long audio = 0;
    for (size_t v = u; v-- > 0;) {
        audio += p.audio_ns[v % p.payloads.size()];
        if (c.arrived[v] >= 0) return c.arrived[v] + audio;
    }
    audio = 0;
    for (size_t v = u; v + 1 < c.arrived.size(); v++) {
        audio += p.audio_ns[v % p.payloads.size()];
        if (c.arrived[v + 1] >= 0) return c.arrived[v + 1] - audio;
    }
    return -1;
}

// Counts, for each channel, its positions before end[c].
void count_channels(const receiver &rx, const long long *end, case_figures *f) {
    for (int id = 1; id <= CHANNELS; id++) {
        const channel_count &c = rx.ch[id];
        for (size_t u = 0; u < static_cast<size_t>(end[id]); u++) {
            long long came = u < c.arrived.size() ? c.arrived[u] : -1;
            long long out = u < c.released.size() ? c.released[u] : -1;
            f->sent++;
            f->wire_lost += came < 0;
            f->missing += out < 0;
            long long from = came >= 0 ? came : would_arrive(c, u);
            if (out >= 0 && from >= 0)
                f->delays_ms.push_back(static_cast<double>(out - from) / 1e6);
        }
        f->strays += c.strays;
        for (const std::string &n : c.notes)
            f->notes.push_back("channel " + std::to_string(id) + ", " + n);
        if (!c.decoder) continue;
        const repair_counts &k = c.decoder->counts;
        f->decoded.handed += k.handed;
        f->decoded.rebuilt += k.rebuilt;
        f->decoded.lost += k.lost;
        f->decoded.duplicates += k.duplicates;
        f->decoded.refused += k.refused;
    }
}

long long wire_sent(const receiver &rx) {
    long long n = 0;
    for (const channel_count &c : rx.ch) n += c.wire_next;
    return n;
}

// Runs the server until the channels have sent conf.datagrams data
// datagrams, then a tail, then stops it and lets the decoders finish.
void run_server(receiver *rx, child_proc *server, const bench_conf &conf, case_figures *f,
                long long end[]) {
    long long start = now_ns();
    // A bound on the run: the data datagrams come at 612 a second.
    long long deadline = start + conf.datagrams * 1'000'000'000 / 400 + 60'000 * MS;
    receive_until(rx, start + SETTLE_NS, [] { return false; });
    int threads;
    double cpu0 = process_cpu_s(server->pid, &threads);
    std::vector<nft_counter> before = read_counters();
    long long t0 = now_ns();
    receive_until(rx, deadline, [&] { return wire_sent(*rx) >= conf.datagrams; });
    long long t1 = now_ns();
    f->cpu_share =
        (process_cpu_s(server->pid, &threads) - cpu0) / (static_cast<double>(t1 - t0) / 1e9);
    f->counters = counters_since(read_counters(), before);
    f->window_s = static_cast<double>(t1 - t0) / 1e9;
    for (int id = 1; id <= CHANNELS; id++) end[id] = rx->ch[id].wire_next;
    receive_until(rx, now_ns() + TAIL_NS, [] { return false; });
    f->counted_s = static_cast<double>(t1 - rx->ch[1].started) / 1e9;
    f->stopped_s = static_cast<double>(now_ns() - rx->ch[1].started) / 1e9;
    kill(server->pid, SIGTERM);
    receive_until(rx, now_ns() + FLUSH_NS, [] { return false; });
    if (!proc_wait(server, 2000, &f->server_status)) proc_kill(server);
}

// What the bench needs for every case: the server, its folder, where to
// keep files, and each channel's programme.
struct bench_setup {
    bench_conf conf;
    std::string dir, radio;
    netns_peer peer;
    std::vector<const programme_seq *> prog_of;  // by channel - 1
};

// Runs one case: the loss rules, the receiver, the server.
case_figures run_case(const bench_setup &b, const loss_case &c) {
    case_figures f;
    receiver rx;
    if (!set_loss(c)) {
        fprintf(stderr, "repair_bench: cannot set the loss rules with nft\n");
        return f;
    }
    if (!receiver_open(&rx, b.prog_of)) return f;
    // The server dies with this program, however it ends.
    std::vector<std::string> argv = netns_peer_prefix(b.peer);
    argv.insert(argv.end(), {"setpriv", "--pdeathsig", "KILL", "--", b.conf.server, b.radio});
    child_proc server;
    long long end[CHANNELS + 1] = {};
    if (proc_start(&server, argv, b.dir, std::string("server-") + c.name, false)) {
        fprintf(stderr, "repair_bench: %s: server pid %d\n", c.title, server.pid);
        run_server(&rx, &server, b.conf, &f, end);
        count_channels(rx, end, &f);
        f.foreign = rx.foreign;
        f.socket_drops = socket_drops(rx.data_sd) + socket_drops(rx.repair_sd);
        f.ok = f.counters.size() == NFT_DROPS + c.drops.size();
    }
    receiver_close(&rx);
    return f;
}

double percent(long long part, long long whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0;
}

// UDP payload bytes under a counter (IPv4 and UDP headers, 28 bytes).
long long payload_bytes(const nft_counter &c) {
    return c.bytes - 28 * c.packets;
}

// The figures of a case, summed up for the table at the end.
struct case_summary {
    const loss_case *c = nullptr;
    case_figures f;
    double bytes_plus = 0, dropped = 0;
    double delay_mean = 0, delay_p99 = 0, delay_max = 0;
    bool met = false;    // every target
    bool clean = false;  // every check
    std::string load;    // the load average when the case ended
};

// Prints the group's traffic and loss; fills s's byte and drop figures.
void report_group(case_summary *s) {
    const case_figures &f = s->f;
    const std::vector<nft_counter> &k = f.counters;
    long long all = 0, dropped = 0;
    for (int i = NFT_LISTS; i <= NFT_REPAIR; i++) all += k[i].packets;
    for (size_t i = NFT_DROPS; i < k.size(); i++) dropped += k[i].packets;
    double w = f.window_s;
    printf(
        "group: %lld datagrams in %.1f s, %.1f a second (data %.1f, repair %.1f, lists %.2f, "
        "now playing %.2f); dropped %lld (%.3f %%)\n",
        all, w, static_cast<double>(all) / w, static_cast<double>(k[NFT_DATA].packets) / w,
        static_cast<double>(k[NFT_REPAIR].packets) / w,
        static_cast<double>(k[NFT_LISTS].packets) / w,
        static_cast<double>(k[NFT_NOW_PLAYING].packets) / w, dropped, percent(dropped, all));
    for (const std::string &d : s->c->drops) {
        long long every = 0, run = 0;
        if (sscanf(d.c_str(), "numgen inc mod %lld < %lld", &every, &run) == 2)
            printf("outages: %lld datagrams in a row of every %lld: %.0f ms every %.2f s\n", run,
                   every, 1000.0 * static_cast<double>(run) * w / static_cast<double>(all),
                   static_cast<double>(every) * w / static_cast<double>(all));
    }
    long long without = 0;
    for (int i : {NFT_LISTS, NFT_DATA, NFT_NOW_PLAYING}) without += payload_bytes(k[i]);
    long long with = without + payload_bytes(k[NFT_REPAIR]);
    s->bytes_plus = percent(payload_bytes(k[NFT_REPAIR]), payload_bytes(k[NFT_DATA]));
    s->dropped = percent(dropped, all);
    printf(
        "bytes on the group (UDP payload): %lld without repair, %lld with: +%.1f %%; repair "
        "against data alone +%.1f %% (target <= 35 %%)\n",
        without, with, percent(with - without, without), s->bytes_plus);
}

void delay_figures(case_summary *s) {
    std::vector<double> &d = s->f.delays_ms;
    std::sort(d.begin(), d.end());
    double sum = 0;
    for (double x : d) sum += x;
    s->delay_mean = d.empty() ? 0 : sum / static_cast<double>(d.size());
    s->delay_p99 = d.empty() ? 0 : d[d.size() * 99 / 100];
    s->delay_max = d.empty() ? 0 : d.back();
}

// Prints a case's figures; sets whether it met every target and passed
// the checks.
void report(case_summary *s) {
    case_figures &f = s->f;
    printf("-- %s (load at the end:%s)\n", s->c->title, s->load.c_str());
    if (!f.ok) {
        printf("the run failed or was cut short: see the messages above\n");
        return;
    }
    report_group(s);
    delay_figures(s);
    double missing = percent(f.missing, f.sent);
    bool met_missing = s->c->target == 0 ? f.missing == 0 : missing <= 100 * s->c->target;
    printf(
        "data datagrams counted: %lld; lost on the wire %lld (%.3f %%); missing after repair "
        "%lld (%.4f %%, target %s %.2g %%)\n",
        f.sent, f.wire_lost, percent(f.wire_lost, f.sent), f.missing, missing,
        s->c->target == 0 ? "=" : "<=", 100 * s->c->target);
    printf(
        "decoders' own counts (whole run): handed out %lld, rebuilt %lld, lost %lld, "
        "duplicates %lld, refused %lld\n",
        f.decoded.handed, f.decoded.rebuilt, f.decoded.lost, f.decoded.duplicates,
        f.decoded.refused);
    printf("server CPU: %.2f %% of one core (target < 2 %%); exit status %d\n", 100 * f.cpu_share,
           WIFEXITED(f.server_status) ? WEXITSTATUS(f.server_status) : -1);
    printf(
        "delay added by the receiver: mean %.0f ms, 99th percentile %.0f ms, most %.0f ms "
        "(target <= 2500)\n",
        s->delay_mean, s->delay_p99, s->delay_max);
    printf(
        "checks: %lld datagrams fitting no place (handed out twice or out of order, or rebuilt "
        "wrong), %lld of other channels, %lld dropped by the receiving sockets\n",
        f.strays, f.foreign, f.socket_drops);
    if (!f.notes.empty())
        printf("  (the counted datagrams were sent by %.3f s, the server stopped at %.3f s)\n",
               f.counted_s, f.stopped_s);
    for (const std::string &n : f.notes) printf("  %s\n", n.c_str());
    s->met = met_missing && s->bytes_plus <= 35 && f.cpu_share < 0.02 && s->delay_max <= 2500;
    s->clean = f.strays == 0 && f.foreign == 0 && f.socket_drops == 0;
}

void print_table(const std::vector<case_summary> &all) {
    printf(
        "\n| case | dropped on the group | data lost on the wire | missing after repair | "
        "target | bytes + | server CPU | delay mean / p99 / most | fitting no place |\n"
        "|---|---|---|---|---|---|---|---|---|\n");
    for (const case_summary &s : all) {
        const case_figures &f = s.f;
        if (!f.ok) continue;
        printf(
            "| %s | %.2f %% | %lld of %lld (%.2f %%) | %lld (%.4f %%) | %s %.2g %% | %.1f %% | "
            "%.2f %% | %.0f / %.0f / %.0f ms | %lld |\n",
            s.c->title, s.dropped, f.wire_lost, f.sent, percent(f.wire_lost, f.sent), f.missing,
            percent(f.missing, f.sent), s.c->target == 0 ? "=" : "<=", 100 * s.c->target,
            s.bytes_plus, 100 * f.cpu_share, s.delay_mean, s.delay_p99, s.delay_max, f.strays);
    }
}

const char USAGE[] = "Usage: repair_bench [--datagrams N] [--only CASE,...] [--server PATH]\n";

// Reads the options; false after a report.
bool parse_options(int argc, char **argv, bench_conf *conf) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--datagrams" && v) {
            conf->datagrams = atoll(v);
        } else if (a == "--only" && v) {
            for (std::string s = v; !s.empty();) {
                size_t comma = s.find(',');
                conf->only.push_back(s.substr(0, comma));
                s = comma == std::string::npos ? "" : s.substr(comma + 1);
            }
        } else if (a == "--server" && v) {
            conf->server = v;
        } else {
            fputs(USAGE, stderr);
            return false;
        }
        i++;
    }
    if (conf->datagrams < 1000 || conf->datagrams > 2'000'000) {
        fprintf(stderr, "repair_bench: --datagrams takes 1000 to 2000000\n");
        return false;
    }
    for (const std::string &name : conf->only) {
        bool known = false;
        for (const loss_case &c : CASES) known = known || name == c.name;
        if (known) continue;
        fprintf(stderr,
                "repair_bench: no case %s (none, random-5, random-10, outages, outages-3)\n",
                name.c_str());
        return false;
    }
    return true;
}

bool chosen(const bench_conf &conf, const loss_case &c) {
    return conf.only.empty() ||
           std::find(conf.only.begin(), conf.only.end(), c.name) != conf.only.end();
}

// The music, the folder, each channel's programme; false after a report.
bool make_radio(bench_setup *b, std::vector<programme_seq> *progs) {
    std::vector<std::string> pieces = radio_pieces(BENCH_AUDIO_DIR);
    if (pieces.empty()) {
        fprintf(stderr, "repair_bench: cannot make the music with sox and lame\n");
        return false;
    }
    std::vector<std::string> song_of;
    for (int c = 1; c <= CHANNELS; c++) song_of.push_back(radio_piece_of(pieces, c));
    b->radio = radio_folder(b->dir, song_of);
    if (b->radio.empty()) return false;
    for (const std::string &p : pieces) progs->push_back(programme_of(p));
    for (const std::string &song : song_of) {
        auto piece = std::find(pieces.begin(), pieces.end(), song) - pieces.begin();
        b->prog_of.push_back(&(*progs)[static_cast<size_t>(piece)]);
    }
    for (size_t i = 0; i < progs->size(); i++)
        printf("piece %zu: %zu datagrams a cycle, %zu repeating another\n", i + 1,
               (*progs)[i].payloads.size(), repeated((*progs)[i]));
    return true;
}

// Runs the chosen cases and prints their figures; true when every case
// met every target and passed every check.
bool run_cases(const bench_setup &b) {
    std::vector<case_summary> all;
    bool met = true, clean = true;
    for (const loss_case &c : CASES) {
        if (!chosen(b.conf, c) || stopping) continue;
        case_summary s;
        s.c = &c;
        s.f = run_case(b, c);
        s.load = read_file("/proc/loadavg").substr(0, 15);
        if (stopping) s.f.ok = false;  // cut short
        report(&s);
        met = met && s.met;
        clean = clean && s.clean;
        all.push_back(std::move(s));
        fflush(stdout);
    }
    print_table(all);
    printf("%s; %s\n", met ? "all targets met" : "SOME TARGET MISSED",
           clean ? "every check passed" : "SOME CHECK FAILED (see the checks above)");
    return met && clean;
}

}  // namespace

int main(int argc, char **argv) {
    bench_setup b;
    if (!parse_options(argc, argv, &b.conf)) return 1;
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "repair_bench: no private network namespace: %s\n", why.c_str());
        return 1;
    }
    b.dir = make_temp_dir();
    std::vector<programme_seq> progs;  // the channels point into it
    // The server's host, behind the veth pair; the loss is on this end.
    if (make_radio(&b, &progs))
        why = netns_peer_start(&b.peer, LOCAL_IF, "10.201.10.1/24", "veth-tx",
                               std::string(SERVER_ADDR) + "/24");
    if (b.prog_of.empty() || !why.empty()) {
        if (!why.empty()) fprintf(stderr, "repair_bench: %s\n", why.c_str());
        remove_tree(b.dir);
        return 1;
    }
    printf(
        "== repair over a lossy hop: stream_server, %d channels of 128 kbit/s, %lld data "
        "datagrams a case (load:%s)\n",
        CHANNELS, b.conf.datagrams, read_file("/proc/loadavg").substr(0, 15).c_str());
    fflush(stdout);
    bool passed = run_cases(b);
    run_shell("nft delete table inet lossy 2>/dev/null; ip link delete " + std::string(LOCAL_IF));
    netns_peer_stop(&b.peer);
    remove_tree(b.dir);
    return passed ? 0 : 1;
}
