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
// records of an op byte, a length byte and that many bytes, 50 ms apart:
// channel 1's data datagram of those bytes goes to the encoder; op bit 0
// loses it on the way, bits 1 to 7 the first seven repair datagrams sent
// at that moment. Whatever the losses: every datagram handed out is byte
// for byte one that was sent (a rebuilt one too), and with no loss the
// decoder hands out exactly what was sent, in order.
#include <limits.h>
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
        check(d.blocks.size() <= REPAIR_MAX_BLOCKS && d.symbol_bytes <= REPAIR_MAX_SYMBOL_BYTES);
    }
    repair_decoder_tick(&d, LLONG_MAX / 2, &out);
    check_channel(out, &handed);
    check(d.held.empty() && d.blocks.empty() && d.held_bytes == 0 && d.symbol_bytes == 0);
    check(handed == static_cast<size_t>(d.counts.handed));
}

// Feeds the repair datagrams that made it, the mask's bit i losing the i-th.
void deliver_repair(repair_decoder *d, const repair_datagrams &repair, unsigned mask, long long now,
                    repair_datagrams *out) {
    for (size_t i = 0; i < repair.size(); i++)
        if (i >= 7 || !(mask >> i & 1)) repair_decoder_repair(d, repair[i].data(), repair[i].size(), now, out);
}

void run_stream(const uint8_t *data, size_t size) {
    if (size < 3) return;
    repair_conf conf = {1 + data[1] % 16, 1 + data[2] % 8, 1000 * MS, 100 * MS};
    repair_encoder e = repair_encoder_start(conf, 0xFFFFFFF0);  // numbers wrap within the run
    repair_decoder d = repair_decoder_start(CH, REPAIR_HOLD_NS);
    std::set<std::vector<uint8_t>> sent;
    repair_datagrams in_order, repair, out, got;
    bool lossless = true;
    long long now = 0;
    for (size_t at = 3; at + 2 <= size;) {
        uint8_t op = data[at];
        size_t n = std::min<size_t>(data[at + 1], size - at - 2);
        std::vector<uint8_t> dgram(1 + n, CH);
        std::copy(data + at + 2, data + at + 2 + n, dgram.begin() + 1);
        at += 2 + n;
        now += 50 * MS;
        lossless = lossless && op == 0;
        unsigned mask = op >> 1;
        repair_decoder_tick(&d, now, &out);
        repair_encoder_tick(&e, now, &repair);  // the repair due before the datagram
        deliver_repair(&d, repair, mask, now, &out);
        mask >>= std::min<size_t>(repair.size(), 7);
        repair.clear();
        repair_encoder_add(&e, dgram.data(), dgram.size(), now, &repair);
        sent.insert(dgram);
        if (!(op & 1)) repair_decoder_data(&d, dgram.data(), dgram.size(), now, &out);
        if (lossless) in_order.push_back(dgram);
        deliver_repair(&d, repair, mask, now, &out);
        repair.clear();
        got.insert(got.end(), out.begin(), out.end());
        out.clear();
    }
    for (long long due; (due = repair_encoder_due(e)) != LLONG_MAX;) {
        repair_encoder_tick(&e, due, &repair);
        deliver_repair(&d, repair, 0, due, &out);
        repair.clear();
    }
    repair_decoder_tick(&d, LLONG_MAX / 2, &out);
    got.insert(got.end(), out.begin(), out.end());
    for (const auto &g : got) check(sent.count(g) == 1);
    if (lossless) check(got == in_order);
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
