// repair_sim.cc - the repair code (shared/repair*.h) over a simulated radio:
// channels of MP3 frames packed as the server packs them, their data and
// repair datagrams through a lossy wire, one decoder per channel behind
// it. Everything runs in this process on simulated time, so a case of
// 200,000 data datagrams takes seconds; the encoder's and the decoder's
// real CPU time is measured around their calls.
//
// For each loss model it reports the data datagrams lost on the wire and
// missing after repair (every channel's output is checked: in order, each
// datagram byte for byte what was sent), the repair bytes against the data
// bytes, the delay added at the receiver (from when a datagram came, or
// would have come, to when the decoder handed it out) and the CPU of
// encoding and decoding per second of traffic. Then it times the codec
// alone: one full block encoded, one rebuilt for several loss counts.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <limits.h>
#include <time.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "repair_decoder.h"
#include "repair_encoder.h"

namespace {

constexpr long long MS = 1'000'000;
constexpr long long TRANSIT_NS = 1 * MS;  // sender to receiver, the same for every datagram
constexpr int SAMPLE_RATE = 44100;
constexpr long long FRAME_NS = 1152LL * 1'000'000'000 / SAMPLE_RATE;  // one MPEG-1 frame's audio

struct sim_conf {
    int channels = 32;
    int kbps = 128;
    size_t payload = 1024;  // the server's default: whole frames up to this many bytes
    long long data_target = 200'000;
    repair_conf rc = REPAIR_DEFAULTS;
    long long hold_ns = REPAIR_HOLD_NS;
    unsigned seed = 1;
};

// A loss model on the wire: random loss of every datagram, outages of the
// whole group (outage_ns every outage_every_ns), and bursts of burst_len
// datagrams in a row of every burst_every (counted over all datagrams).
struct loss_model {
    const char *name;
    double random;
    long long outage_ns;
    long long outage_every_ns;
    int burst_every;
    int burst_len;
    bool one_channel;  // the tests' case: one channel only, as long as it takes
};

const loss_model MODELS[] = {
    {"none", 0, 0, 0, 0, 0, false},
    {"random 5 %", 0.05, 0, 0, 0, 0, false},
    {"random 10 %", 0.10, 0, 0, 0, 0, false},
    {"outage 250 ms / 10 s", 0, 250 * MS, 10'000 * MS, 0, 0, false},
    {"outage + random 3 %", 0.03, 250 * MS, 10'000 * MS, 0, 0, false},
    {"1 channel, 8 of every 500", 0, 0, 0, 500, 8, true},
};

long long cpu_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// One channel of the server: files of MP3 frames at kbps, packed whole
// into payloads; a payload never spans two files.
struct source {
    uint8_t chnid;
    long long next_at;       // when its next data datagram goes
    long long frame_no = 0;  // frames so far, for the padding pattern
    int frames_left = 0;     // in the file now playing
    uint32_t seq = 0;        // data datagrams so far
    std::mt19937 rng;
    repair_encoder enc;
};

size_t frame_size(const sim_conf &c, long long frame_no) {
    // 144 * bitrate / rate bytes, the padding byte where the fraction carries.
    long long num = 144LL * c.kbps * 1000;
    return static_cast<size_t>((frame_no + 1) * num / SAMPLE_RATE - frame_no * num / SAMPLE_RATE);
}

// The next data datagram of s: the channel id, its number (4 bytes) and
// bytes of noise; sets how long its frames play.
std::vector<uint8_t> next_datagram(const sim_conf &c, source *s, long long *play_ns) {
    size_t bytes = 0;
    int frames = 0;
    if (s->frames_left == 0) s->frames_left = 3000 + static_cast<int>(s->rng() % 4000);  // a file of 78-183 s
    while (s->frames_left > 0) {
        size_t f = frame_size(c, s->frame_no);
        if (frames > 0 && bytes + f > c.payload) break;
        bytes += f;
        frames++;
        s->frame_no++;
        s->frames_left--;
    }
    std::vector<uint8_t> d(1 + bytes);
    d[0] = s->chnid;
    memcpy(&d[1], &s->seq, 4);
    for (size_t i = 5; i < d.size(); i++) d[i] = static_cast<uint8_t>(s->rng());
    s->seq++;
    *play_ns = frames * FRAME_NS;
    return d;
}

// The receiver's end of one channel.
struct sink {
    repair_decoder dec;
    uint32_t expect = 0;  // the next number in order
    std::vector<std::pair<long long, uint32_t>> sent;  // per number: when it would come, its CRC-32
};

struct tally {
    long long data = 0, data_bytes = 0, repair = 0, repair_bytes = 0;
    long long data_lost_wire = 0, handed = 0, wrong = 0;
    long long delay_max = 0;
    double delay_sum = 0;
    long long enc_ns = 0, dec_ns = 0;
    long long rebuilt = 0;
    double seconds = 0;  // of traffic
};

// Checks what the decoder of s handed out at now: each must be the next
// datagram sent or a later one, byte for byte.
void check_out(sink *s, repair_datagrams *out, long long now, tally *t) {
    for (const auto &d : *out) {
        uint32_t n;
        memcpy(&n, &d[1], 4);
        if (n < s->expect || n >= s->sent.size() || repair_crc(0, d.data(), d.size()) != s->sent[n].second) {
            t->wrong++;
            continue;
        }
        s->expect = n + 1;
        t->handed++;
        long long delay = now - s->sent[n].first;
        t->delay_sum += delay;
        t->delay_max = std::max(t->delay_max, delay);
    }
    out->clear();
}

// Ticks every decoder whose time has come by now.
void tick_sinks(std::vector<sink> *sinks, long long now, tally *t) {
    repair_datagrams out;
    for (auto &s : *sinks) {
        for (long long due; (due = repair_decoder_due(s.dec)) <= now;) {
            long long t0 = cpu_now();
            repair_decoder_tick(&s.dec, due, &out);
            t->dec_ns += cpu_now() - t0;
            check_out(&s, &out, due, t);
        }
    }
}

// Whether the wire drops a datagram sent at `at`, the wire_no-th of all.
bool dropped(const loss_model &m, long long at, long long wire_no, std::mt19937_64 *rng) {
    if (m.outage_every_ns > 0 && (at + m.outage_every_ns / 3) % m.outage_every_ns < m.outage_ns) return true;
    if (m.burst_every > 0 && wire_no % m.burst_every < m.burst_len) return true;
    return m.random > 0 && std::uniform_real_distribution<double>(0, 1)(*rng) < m.random;
}

struct wire {
    const loss_model &model;
    std::mt19937_64 rng;
    long long sent = 0;
    std::vector<sink> *sinks;
    tally *t;
};

// One datagram of channel index ch onto the wire at `at`, and into its
// decoder if the wire keeps it.
void transmit(wire *w, size_t ch, const std::vector<uint8_t> &d, bool repair, long long at) {
    (repair ? w->t->repair : w->t->data)++;
    (repair ? w->t->repair_bytes : w->t->data_bytes) += static_cast<long long>(d.size());
    bool lost = dropped(w->model, at, w->sent++, &w->rng);
    if (!repair) {
        sink &s = (*w->sinks)[ch];
        s.sent.push_back({at + TRANSIT_NS, repair_crc(0, d.data(), d.size())});
        if (lost) w->t->data_lost_wire++;
    }
    if (lost) return;
    long long now = at + TRANSIT_NS;
    tick_sinks(w->sinks, now, w->t);
    sink &s = (*w->sinks)[ch];
    repair_datagrams out;
    long long t0 = cpu_now();
    if (repair)
        repair_decoder_repair(&s.dec, d.data(), d.size(), now, &out);
    else
        repair_decoder_data(&s.dec, d.data(), d.size(), now, &out);
    w->t->dec_ns += cpu_now() - t0;
    check_out(&s, &out, now, w->t);
}

// The next event of the sender: the channel whose data or repair is due
// first, and when.
size_t next_event(const std::vector<source> &srcs, long long *at, bool *data) {
    size_t best = 0;
    *at = LLONG_MAX;
    for (size_t i = 0; i < srcs.size(); i++) {
        long long due = repair_encoder_due(srcs[i].enc);
        if (due < *at) *at = due, best = i, *data = false;
        if (srcs[i].next_at < *at) *at = srcs[i].next_at, best = i, *data = true;
    }
    return best;
}

void send_repair(wire *w, size_t ch, const repair_datagrams &out, long long at) {
    for (const auto &r : out) transmit(w, ch, r, true, at);
}

// The sender's side of a case: every channel's source and encoder, their
// datagrams onto the wire in time order until the case has its data
// datagrams; then the last blocks' repair, still in time order.
void send_all(const sim_conf &c, std::vector<source> *srcs, wire *w) {
    repair_datagrams out;
    for (;;) {
        if (w->t->data == c.data_target)
            for (auto &s : *srcs) s.next_at = LLONG_MAX;
        bool data = false;
        long long at;
        size_t ch = next_event(*srcs, &at, &data);
        if (at == LLONG_MAX) return;
        source &s = (*srcs)[ch];
        long long t0 = cpu_now();
        if (data) {
            long long play_ns;
            std::vector<uint8_t> d = next_datagram(c, &s, &play_ns);
            t0 = cpu_now();
            repair_encoder_add(&s.enc, d.data(), d.size(), at, &out);
            w->t->enc_ns += cpu_now() - t0;
            transmit(w, ch, d, false, at);
            s.next_at += play_ns;
            w->t->seconds = static_cast<double>(at) / 1e9;
        } else {
            repair_encoder_tick(&s.enc, at, &out);
            w->t->enc_ns += cpu_now() - t0;
        }
        send_repair(w, ch, out, at);
        out.clear();
    }
}

tally run_case(const sim_conf &c, const loss_model &m) {
    int channels = m.one_channel ? 1 : c.channels;
    std::vector<source> srcs;
    std::vector<sink> sinks;
    std::mt19937 seeder(c.seed);
    for (int i = 0; i < channels; i++) {
        auto chnid = static_cast<uint8_t>(i + 1);
        // Channels start at random moments within two frames.
        source s{chnid, static_cast<long long>(seeder() % (2 * FRAME_NS)), 0, 0, 0, std::mt19937(seeder()),
                 repair_encoder_start(c.rc, seeder())};
        srcs.push_back(std::move(s));
        sinks.push_back({repair_decoder_start(chnid, c.hold_ns), 0, {}});
    }
    tally t;
    wire w{m, std::mt19937_64(c.seed * 7919), 0, &sinks, &t};
    send_all(c, &srcs, &w);
    tick_sinks(&sinks, LLONG_MAX / 2, &t);
    for (const auto &s : sinks) t.rebuilt += s.dec.counts.rebuilt;
    return t;
}

void print_head() {
    printf("%-26s %7s %5s %15s %7s %15s %6s %10s %13s\n", "case", "data", "s", "lost on wire", "rebuilt",
           "missing after", "bytes", "delay ms", "CPU");
    printf("%-26s %7s %5s %15s %7s %15s %6s %10s %13s\n", "", "", "", "", "", "repair", "+", "mean  max",
           "enc    dec");
}

void print_case(const loss_model &m, const tally &t) {
    long long missing = t.data - t.handed;
    printf("%-26s %7lld %5.0f %6lld %7.3f%% %7lld %6lld %7.4f%% %5.1f%% %4.0f %5.0f %6.3f%% %5.3f%%%s\n", m.name,
           t.data, t.seconds, t.data_lost_wire, 100.0 * t.data_lost_wire / t.data, t.rebuilt, missing,
           100.0 * missing / t.data, 100.0 * t.repair_bytes / t.data_bytes, t.delay_sum / t.handed / MS,
           t.delay_max / 1e6, 100.0 * t.enc_ns / 1e9 / t.seconds, 100.0 * t.dec_ns / 1e9 / t.seconds,
           t.wrong ? "  WRONG DATAGRAMS HANDED OUT" : "");
}

// The median of the times fn takes over reps calls; fn times itself and
// returns nanoseconds.
template <typename F>
double median_ns(int reps, F fn) {
    std::vector<long long> v;
    for (int i = 0; i < reps; i++) v.push_back(fn(i));
    std::sort(v.begin(), v.end());
    return static_cast<double>(v[v.size() / 2]);
}

std::vector<std::vector<uint8_t>> random_block(int k, std::mt19937 *rng) {
    std::vector<std::vector<uint8_t>> block(k, std::vector<uint8_t>(837));
    for (auto &d : block) {
        for (auto &b : d) b = static_cast<uint8_t>((*rng)());
        d[0] = 1;
    }
    return block;
}

// The time to decode a full block with `lost` of its datagrams lost: the
// call that brings the last repair symbol needed, which rebuilds.
double rebuild_ns(const sim_conf &c, const std::vector<std::vector<uint8_t>> &block, int lost) {
    repair_encoder e = repair_encoder_start(c.rc, 1);
    repair_datagrams repair;
    for (const auto &d : block) repair_encoder_add(&e, d.data(), d.size(), 0, &repair);
    repair_encoder_tick(&e, c.rc.spread_ns, &repair);
    return median_ns(101, [&](int) {
        repair_decoder d = repair_decoder_start(1, c.hold_ns);
        repair_datagrams out;
        for (size_t j = static_cast<size_t>(lost); j < block.size(); j++)
            repair_decoder_data(&d, block[j].data(), block[j].size(), 0, &out);
        for (int i = 0; i + 1 < lost; i++)
            repair_decoder_repair(&d, repair[i].data(), repair[i].size(), 0, &out);
        long long t0 = cpu_now();
        repair_decoder_repair(&d, repair[lost - 1].data(), repair[lost - 1].size(), 0, &out);
        long long took = cpu_now() - t0;
        if (d.counts.rebuilt != lost) fprintf(stderr, "repair_sim: rebuilt %lld of %d\n", d.counts.rebuilt, lost);
        return took;
    });
}

// The codec alone on full blocks of 837-byte datagrams: encoding one (the
// call that closes it makes all its repair datagrams) and rebuilding.
void codec_times(const sim_conf &c) {
    std::mt19937 rng(c.seed);
    auto block = random_block(c.rc.k, &rng);
    repair_encoder e = repair_encoder_start(c.rc, 1);
    repair_datagrams out;
    double enc = median_ns(1001, [&](int rep) {
        long long at = rep * 10'000 * MS;
        for (int j = 0; j + 1 < c.rc.k; j++) repair_encoder_add(&e, block[j].data(), block[j].size(), at, &out);
        out.clear();
        long long t0 = cpu_now();
        repair_encoder_add(&e, block.back().data(), block.back().size(), at, &out);
        return cpu_now() - t0;
    });
    printf("\ncodec, a block of %d datagrams of 837 bytes, %d repair: encode %.1f us", c.rc.k, c.rc.r, enc / 1e3);
    int counts[] = {1, (c.rc.r + 1) / 2, c.rc.r};
    for (int lost : counts) printf(", rebuild %d lost %.1f us", lost, rebuild_ns(c, block, lost) / 1e3);
    printf(" (medians)\n");
}

void usage(const char *prog) {
    fprintf(stderr,
            "usage: %s [--k N] [--r N] [--block-ms N] [--spread-ms N] [--hold-ms N]\n"
            "          [--datagrams N] [--channels N] [--kbps N] [--seed N] [--only NAME]\n",
            prog);
    exit(1);
}

sim_conf parse_args(int argc, char **argv, std::string *only) {
    sim_conf c;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (i + 1 >= argc) usage(argv[0]);
        const char *v = argv[++i];
        long long n = atoll(v);
        if (a == "--k") c.rc.k = static_cast<int>(n);
        else if (a == "--r") c.rc.r = static_cast<int>(n);
        else if (a == "--block-ms") c.rc.block_ns = n * MS;
        else if (a == "--spread-ms") c.rc.spread_ns = n * MS;
        else if (a == "--hold-ms") c.hold_ns = n * MS;
        else if (a == "--datagrams") c.data_target = n;
        else if (a == "--channels") c.channels = static_cast<int>(n);
        else if (a == "--kbps") c.kbps = static_cast<int>(n);
        else if (a == "--seed") c.seed = static_cast<unsigned>(n);
        else if (a == "--only") *only = v;
        else usage(argv[0]);
    }
    if (!repair_conf_valid(c.rc) || c.channels < 1 || c.channels > 255 || c.kbps < 8 || c.data_target < 1)
        usage(argv[0]);
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    std::string only;
    sim_conf c = parse_args(argc, argv, &only);
    printf("repair_sim: %d channels of %d kbit/s, payloads of whole frames up to %zu bytes, "
           "%lld data datagrams a case\n",
           c.channels, c.kbps, c.payload, c.data_target);
    printf("k %d, r %d, block %lld ms, spread %lld ms, hold %lld ms, seed %u\n\n", c.rc.k, c.rc.r,
           c.rc.block_ns / MS, c.rc.spread_ns / MS, c.hold_ns / MS, c.seed);
    print_head();
    for (const auto &m : MODELS) {
        if (!only.empty() && only != m.name) continue;
        print_case(m, run_case(c, m));
        fflush(stdout);
    }
    codec_times(c);
    return 0;
}
