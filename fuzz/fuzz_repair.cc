// fuzz_repair.cc - the repair decoder fed any datagrams, and fed an
// encoder's stream through any losses. Byte 0 picks which.
//
// Even: raw. Records of a flags byte (bit 0: a repair datagram, else a data
// datagram; the other bits: milliseconds x 20 to wait before it), 2 bytes
// of length and that many bytes (fewer at the end), to a decoder of channel
// 1. Whatever the bytes: every datagram handed out is one of channel 1,
// and at the end nothing is held and every datagram counted went out.
//
// Odd: a stream. Bytes 1 and 2 give k (1 to 16) and r (1 to 8); then
// records of an op byte and a byte b, 50 ms apart, each sending channel
// 1's next data datagram (its number, b bytes of its own, and no other's
// fingerprint) through the encoder. The op's bits 0-1 say what the network
// does with it: brings it, loses it, brings it b x 25 ms late (b below 100
// counts), or brings it and a copy that much later; bits 2-6 lose the first
// five repair datagrams sent at that moment; bit 7 adds a forged repair
// datagram (a table from a generator, numbered near the server's). Whatever
// comes: every datagram handed out is byte for byte one that was sent (a
// rebuilt one too); those that came once and on time go out in the order
// sent; none goes out twice while the decoder knows what went out (a
// verified block went out within REPAIR_PAST_NS); and with nothing lost,
// late or forged, exactly what was sent goes out, in order.
#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <set>
#include <vector>

#include "repair_decoder.h"
#include "repair_encoder.h"

namespace {

constexpr uint8_t CH = 1;
constexpr long long MS = 1'000'000;

void check(bool ok) {
    if (!ok) abort();
}

// Every datagram of out is channel 1's; counts them into *handed.
void check_channel(const repair_datagrams &out, size_t *handed) {
    for (const auto &d : out) check(!d.empty() && d[0] == CH);
    *handed += out.size();
}

void run_raw(const uint8_t *data, size_t size) {
    repair_decoder d = repair_decoder_start(CH, REPAIR_HOLD_NS);
    repair_datagrams out;
    size_t handed = 0;
    long long now = 0;
    for (size_t at = 1; at + 3 <= size;) {
        uint8_t flags = data[at];
        size_t n = std::min<size_t>(data[at + 1] << 8 | data[at + 2], size - at - 3);
        // Each datagram in a buffer of its own size, so an overread is caught.
        std::vector<uint8_t> dgram(data + at + 3, data + at + 3 + n);
        at += 3 + n;
        now += (flags >> 1) * 20 * MS;
        repair_decoder_tick(&d, now, &out);
        if (flags & 1)
            repair_decoder_repair(&d, dgram.data(), dgram.size(), now, &out);
        else
            repair_decoder_data(&d, dgram.data(), dgram.size(), now, &out);
        check_channel(out, &handed);
        out.clear();
        check(d.blocks.size() <= REPAIR_MAX_BLOCKS + REPAIR_MAX_CANDIDATES &&
              d.symbol_bytes <= REPAIR_MAX_SYMBOL_BYTES);
    }
    repair_decoder_tick(&d, LLONG_MAX / 2, &out);
    check_channel(out, &handed);
    check(d.held.empty() && d.blocks.empty() && d.held_bytes == 0 && d.symbol_bytes == 0);
    check(handed == static_cast<size_t>(d.counts.handed));
}

// What the network brings the decoder, in the order of at.
struct arrival {
    long long at;
    bool repair;
    std::vector<uint8_t> bytes;
    bool clean;  // a data datagram that comes once, on time
};

// A run of the stream case: what was sent and what came out.
struct stream_run {
    repair_decoder d = repair_decoder_start(CH, REPAIR_HOLD_NS);
    std::vector<std::vector<uint8_t>> sent;      // data datagram i, which holds i in bytes 1-4
    std::set<uint16_t> fingerprints;             // of the ones sent, none twice
    std::vector<long long> clean_at;             // per datagram: its on-time arrival, or -1
    std::vector<int> times_out;                  // per datagram: how often it went out
    std::vector<uint8_t> order;                  // per datagram: 1 if it went out as it came
    int last_clean = -1;                         // the last clean datagram out
    std::vector<arrival> queue;                  // what has yet to come
    std::vector<std::vector<uint8_t>> in_order;  // all that was sent, while nothing went wrong
    std::vector<std::vector<uint8_t>> got;       // all that went out
};

// Data datagram i with filler bytes of its own: its fingerprint, made
// anew with the last two bytes where needed, is no other datagram's, so
// that which slot each fills is never in doubt.
std::vector<uint8_t> make_datagram(stream_run *s, int i, size_t filler) {
    std::vector<uint8_t> d(5 + filler + 2, 0);
    d[0] = CH;
    for (int b = 0; b < 4; b++) d[1 + b] = static_cast<uint8_t>(i >> (24 - 8 * b));
    for (size_t b = 0; b < filler; b++) d[5 + b] = static_cast<uint8_t>(i * 7 + b * 13);
    for (unsigned v = 0;; v++) {
        d[d.size() - 2] = static_cast<uint8_t>(v >> 8);
        d[d.size() - 1] = static_cast<uint8_t>(v);
        if (s->fingerprints.insert(repair_fingerprint(d.data(), d.size())).second) return d;
    }
}

// Whether the decoder knows what went out: a verified block went out
// within REPAIR_PAST_NS.
bool knows_past(const repair_decoder &d, long long now) {
    return d.block_out && now - d.last_block_at <= REPAIR_PAST_NS;
}

// Checks what the decoder handed out at now: each datagram one that was
// sent; the clean ones in the order sent; none twice while the decoder
// knew what went out before the call (knew).
void take_out(stream_run *s, repair_datagrams *out, bool knew) {
    for (auto &g : *out) {
        check(g.size() >= 5 && g[0] == CH);
        size_t i = static_cast<size_t>(g[1]) << 24 | g[2] << 16 | g[3] << 8 | g[4];
        check(i < s->sent.size() && g == s->sent[i]);
        check(s->times_out[i]++ == 0 || !knew);
        if (s->clean_at[i] >= 0) {
            check(static_cast<int>(i) > s->last_clean);
            s->last_clean = static_cast<int>(i);
        }
        s->got.push_back(std::move(g));
    }
    out->clear();
}

// Hands the decoder what has come by now, ticking it at its times.
void deliver_until(stream_run *s, long long now) {
    std::stable_sort(s->queue.begin(), s->queue.end(),
                     [](const arrival &a, const arrival &b) { return a.at < b.at; });
    size_t n = 0;
    repair_datagrams out;
    for (; n < s->queue.size() && s->queue[n].at <= now; n++) {
        const arrival &a = s->queue[n];
        for (long long due; (due = repair_decoder_due(s->d)) <= a.at;) {
            bool knew = knows_past(s->d, due);
            repair_decoder_tick(&s->d, due, &out);
            take_out(s, &out, knew);
        }
        bool knew = knows_past(s->d, a.at);
        if (a.repair)
            repair_decoder_repair(&s->d, a.bytes.data(), a.bytes.size(), a.at, &out);
        else
            repair_decoder_data(&s->d, a.bytes.data(), a.bytes.size(), a.at, &out);
        take_out(s, &out, knew);
    }
    s->queue.erase(s->queue.begin(), s->queue.begin() + static_cast<ptrdiff_t>(n));
}

// A repair datagram with a table and symbol from a generator seeded by
// seed, numbered near the encoder's block: what a forger who guesses the
// numbers, but does not see the data, sends. Its fingerprints are no data
// datagram's, sent or to come (a chance match, 1 in 65536 for each slot,
// is the limit of a 16-bit fingerprint, not of the decoder).
std::vector<uint8_t> forged(stream_run *s, uint32_t near, uint64_t seed) {
    auto next = [&seed] {
        seed += 0x9E3779B97F4A7C15;
        uint64_t z = seed;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    };
    int k = 1 + next() % 16, r = 1 + next() % 8;
    size_t symbol_len = 3 + next() % 64;
    std::vector<uint8_t> p(REPAIR_HEADER_SIZE + 2 * k + symbol_len);
    for (auto &b : p) b = static_cast<uint8_t>(next());
    uint32_t block = near + static_cast<uint32_t>(next() % 8) - 3;
    p[0] = CH;
    p[1] = REPAIR_VERSION;
    for (int i = 0; i < 4; i++) p[2 + i] = static_cast<uint8_t>(block >> (24 - 8 * i));
    p[6] = static_cast<uint8_t>(k);
    p[7] = static_cast<uint8_t>(r);
    p[8] = static_cast<uint8_t>(next() % r);
    p[10] = static_cast<uint8_t>(symbol_len >> 8);
    p[11] = static_cast<uint8_t>(symbol_len);
    for (int j = 0; j < k; j++) {
        uint8_t *f = &p[REPAIR_HEADER_SIZE + 2 * j];
        auto v = static_cast<uint16_t>(f[0] << 8 | f[1]);
        while (!s->fingerprints.insert(v).second) v++;
        f[0] = static_cast<uint8_t>(v >> 8);
        f[1] = static_cast<uint8_t>(v);
    }
    return p;
}

// Queues the repair datagrams sent at now, the mask's bit i losing the
// i-th of the first five; returns the mask's bits not used.
unsigned send_repair(stream_run *s, repair_datagrams *repair, unsigned mask, long long now) {
    for (size_t i = 0; i < repair->size(); i++)
        if (i >= 5 || !(mask >> i & 1))
            s->queue.push_back({now, true, std::move((*repair)[i]), false});
    unsigned left = mask >> std::min<size_t>(repair->size(), 5);
    repair->clear();
    return left;
}

// Sends data datagram i, filler and late from the record (op, b), at now
// (op bits 0-1: on time, lost, b x 25 ms late, or on time with a copy
// b x 25 ms later).
void send_data(stream_run *s, repair_encoder *e, uint8_t op, uint8_t b, long long now,
               repair_datagrams *repair) {
    int i = static_cast<int>(s->sent.size());
    s->sent.push_back(make_datagram(s, i, b));
    s->times_out.push_back(0);
    const std::vector<uint8_t> &dgram = s->sent.back();
    repair_encoder_add(e, dgram.data(), dgram.size(), now, repair);
    long long later = (b % 100) * 25 * MS;
    int fate = op & 3;
    s->clean_at.push_back(fate == 0 ? now : -1);
    if (fate != 1) s->queue.push_back({fate == 2 ? now + later : now, false, dgram, fate == 0});
    if (fate == 3) s->queue.push_back({now + later, false, dgram, false});
    if (op == 0) s->in_order.push_back(dgram);
}

void run_stream(const uint8_t *data, size_t size) {
    if (size < 3) return;
    repair_conf conf = {1 + data[1] % 16, 1 + data[2] % 8, 1000 * MS, 100 * MS};
    repair_encoder e = repair_encoder_start(conf, 0xFFFFFFF0);  // numbers wrap within the run
    stream_run s;
    bool lossless = true;
    long long now = 0;
    repair_datagrams repair;
    for (size_t at = 3; at + 2 <= size && s.sent.size() < 4000; at += 2) {
        uint8_t op = data[at], b = data[at + 1];
        now += 50 * MS;
        lossless = lossless && op == 0;
        unsigned mask = op >> 2 & 31;
        repair_encoder_tick(&e, now, &repair);  // the repair due before the datagram
        mask = send_repair(&s, &repair, mask, now);
        send_data(&s, &e, op, b, now, &repair);
        send_repair(&s, &repair, mask, now);
        if (op & 0x80 && s.fingerprints.size() < 30000)
            s.queue.push_back({now, true, forged(&s, e.block, now ^ b), false});
        deliver_until(&s, now);
    }
    for (long long due; (due = repair_encoder_due(e)) != LLONG_MAX;) {
        repair_encoder_tick(&e, due, &repair);
        send_repair(&s, &repair, 0, due);
    }
    deliver_until(&s, LLONG_MAX / 4);
    repair_datagrams out;
    bool knew = knows_past(s.d, LLONG_MAX / 2);
    repair_decoder_tick(&s.d, LLONG_MAX / 2, &out);
    take_out(&s, &out, knew);
    if (lossless) check(s.got == s.in_order);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1)
        run_stream(data, size);
    else
        run_raw(data, size);
    return 0;
}
