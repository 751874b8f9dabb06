// repair_test.cc - the repair format, the encoder's blocks and times, and
// the decoder over loss patterns, reordering, restarts and garbage.
#include <gtest/gtest.h>
#include <isa-l/erasure_code.h>
#include <limits.h>

#include <set>

#include "repair_decoder.h"
#include "repair_encoder.h"

namespace {

constexpr uint8_t CH = 7;
constexpr long long STEP = 52'000'000;  // a 128 kbit/s channel's datagram interval
constexpr repair_conf CONF = REPAIR_DEFAULTS;

// Datagram i of channel CH: its number in bytes 1-4, mostly two frames'
// worth of payload, now and then one.
std::vector<uint8_t> datagram(int i) {
    std::vector<uint8_t> d(i % 7 == 3 ? 419 : 837);
    d[0] = CH;
    for (size_t b = 1; b < d.size(); b++)
        d[b] = static_cast<uint8_t>(b < 5 ? i >> (8 * (b - 1)) : i * 31 + b * 7);
    return d;
}

int number_of(const std::vector<uint8_t> &d) {
    return d[1] | d[2] << 8 | d[3] << 16 | d[4] << 24;
}

struct wire_item {
    long long at;
    bool repair;
    int data;  // the data datagram's number, or -1
    std::vector<uint8_t> bytes;
};

// Datagram i, but 60 is changed in its last bytes to share the
// fingerprint of 50.
std::vector<uint8_t> with_twin(int i) {
    std::vector<uint8_t> d = datagram(i);
    if (i != 60) return d;
    std::vector<uint8_t> first = datagram(50);
    uint16_t want = repair_fingerprint(first.data(), first.size());
    for (int v = 0; repair_fingerprint(d.data(), d.size()) != want; v++) {
        d[d.size() - 3] = static_cast<uint8_t>(v >> 16);
        d[d.size() - 2] = static_cast<uint8_t>(v >> 8);
        d[d.size() - 1] = static_cast<uint8_t>(v);
    }
    return d;
}

// What the encoder sends for datagrams [first, first + n), one every STEP
// from start, its repair at its times, to the last repair datagram.
std::vector<wire_item> send(int first, int n, uint32_t block = 1000, long long start = 0,
                            repair_conf conf = CONF, std::vector<uint8_t> (*make)(int) = datagram) {
    repair_encoder e = repair_encoder_start(conf, block);
    std::vector<wire_item> wire;
    repair_datagrams out;
    auto flush = [&](long long at) {
        for (auto &b : out) wire.push_back({at, true, -1, std::move(b)});
        out.clear();
    };
    for (int i = first; i < first + n; i++) {
        long long at = start + (i - first) * STEP;
        for (long long due; (due = repair_encoder_due(e)) < at;)
            repair_encoder_tick(&e, due, &out), flush(due);
        wire.push_back({at, false, i, make(i)});
        repair_encoder_add(&e, wire.back().bytes.data(), wire.back().bytes.size(), at, &out);
        flush(at);
    }
    for (long long due; (due = repair_encoder_due(e)) != LLONG_MAX;)
        repair_encoder_tick(&e, due, &out), flush(due);
    return wire;
}

struct received {
    std::vector<int> numbers;  // of the datagrams handed out, in order
    repair_counts counts;
    long long worst_wait = 0;  // longest from a datagram's sending to its handing out
};

// Feeds the wire to a decoder as it would come, ticking it at its times.
received receive(const std::vector<wire_item> &wire, repair_decoder *d = nullptr) {
    repair_decoder own = repair_decoder_start(CH, REPAIR_HOLD_NS);
    if (!d) d = &own;
    received r;
    repair_datagrams out;
    auto take = [&](long long now) {
        for (const auto &b : out) {
            int n = number_of(b);
            r.numbers.push_back(n);
            r.worst_wait = std::max(r.worst_wait, now - n * STEP);
        }
        out.clear();
    };
    for (const auto &w : wire) {
        for (long long due; (due = repair_decoder_due(*d)) <= w.at;)
            repair_decoder_tick(d, due, &out), take(due);
        if (w.repair)
            repair_decoder_repair(d, w.bytes.data(), w.bytes.size(), w.at, &out);
        else
            repair_decoder_data(d, w.bytes.data(), w.bytes.size(), w.at, &out);
        take(w.at);
    }
    for (long long due; (due = repair_decoder_due(*d)) != LLONG_MAX;)
        repair_decoder_tick(d, due, &out), take(due);
    r.counts = d->counts;
    return r;
}

std::set<int> span(int from, int to) {
    std::set<int> s;
    for (int i = from; i < to; i++) s.insert(i);
    return s;
}

// The wire without the data datagrams numbered in lost_data and the repair
// datagrams at the places (among repair datagrams) in lost_repair.
std::vector<wire_item> without(std::vector<wire_item> wire, const std::set<int> &lost_data,
                               const std::set<int> &lost_repair = {}) {
    std::vector<wire_item> kept;
    int repair = 0;
    for (auto &w : wire) {
        bool lost = w.repair ? lost_repair.count(repair++) : lost_data.count(w.data);
        if (!lost) kept.push_back(std::move(w));
    }
    return kept;
}

TEST(RepairFormat, FieldsAndEveryTruncation) {
    std::vector<wire_item> wire = send(0, 3);
    const wire_item &rep = wire.back();
    repair_header h;
    ASSERT_TRUE(repair_parse(rep.bytes.data(), rep.bytes.size(), &h));
    EXPECT_EQ(CH, h.chnid);
    EXPECT_EQ(1000u, h.block);
    EXPECT_EQ(3, h.k);
    EXPECT_EQ(1, h.r);  // ceil(10 * 3 / 36)
    EXPECT_EQ(2u + 837, h.symbol_len);
    EXPECT_EQ(repair_fingerprint(wire[1].bytes.data(), wire[1].bytes.size()),
              h.table[2] << 8 | h.table[3]);
    for (size_t n = 0; n < rep.bytes.size(); n++) {
        std::vector<uint8_t> cut(rep.bytes.begin(), rep.bytes.begin() + n);
        EXPECT_FALSE(repair_parse(cut.data(), n, &h)) << n;
    }
    struct bad_case {
        const char *name;
        size_t at;
        uint8_t value;
    };
    const bad_case BAD[] = {
        {"chnid 0", 0, 0},
        {"version 2", 1, 2},
        {"k 0", 6, 0},
        {"k past the most", 6, REPAIR_MAX_K + 1},
        {"r 0", 7, 0},
        {"index past r", 8, 1},
        {"symbol too short", 10, 0},
    };
    for (const auto &c : BAD) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = rep.bytes;
        b[c.at] = c.value;
        EXPECT_FALSE(repair_parse(b.data(), b.size(), &h));
    }
}

// The coefficients and symbol layout that the format documents, so that
// other receivers can decode: a block of two, one repair symbol.
TEST(RepairFormat, SymbolIsTheDocumentedSum) {
    std::vector<wire_item> wire = send(3, 2);  // datagram 3 is 419 bytes, 4 is 837
    repair_header h;
    ASSERT_TRUE(repair_parse(wire.back().bytes.data(), wire.back().bytes.size(), &h));
    auto source = [&](int j, size_t i) -> uint8_t {
        const std::vector<uint8_t> &d = wire[j].bytes;
        if (i < 2) return static_cast<uint8_t>(d.size() >> (8 * (1 - i)));
        return i - 2 < d.size() ? d[i - 2] : 0;
    };
    for (size_t i = 0; i < h.symbol_len; i++)
        ASSERT_EQ(gf_mul(gf_inv(2 ^ 0), source(0, i)) ^ gf_mul(gf_inv(2 ^ 1), source(1, i)),
                  h.symbol[i])
            << i;
    const uint8_t check[] = "123456789";
    EXPECT_EQ(0xCBF43926u, repair_crc(0, check, 9));
}

TEST(RepairEncoder, BlocksCloseByCountTimeChannelAndSize) {
    repair_encoder e = repair_encoder_start(CONF, 5);
    repair_datagrams out;
    std::vector<uint8_t> d = datagram(0);
    repair_encoder_add(&e, d.data(), d.size(), 0, &out);
    EXPECT_EQ(CONF.block_ns, repair_encoder_due(e));
    repair_encoder_tick(&e, CONF.block_ns - 1, &out);
    EXPECT_TRUE(out.empty());
    repair_encoder_tick(&e, CONF.block_ns, &out);  // a quiet channel's block of one: one repair
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(LLONG_MAX, repair_encoder_due(e));

    out.clear();
    std::vector<uint8_t> other = d;
    other[0] = CH + 1;
    repair_encoder_add(&e, d.data(), d.size(), 10, &out);
    repair_encoder_add(&e, other.data(), other.size(), 20, &out);  // closes the block of d
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(CH, out[0][0]);
    std::vector<uint8_t> huge(REPAIR_MAX_SOURCE + 1, CH + 1);
    repair_encoder_add(&e, huge.data(), huge.size(), 30, &out);  // closes, goes unprotected
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(CH + 1, out[1][0]);
    EXPECT_EQ(LLONG_MAX, repair_encoder_due(e));

    std::vector<wire_item> wire = send(0, CONF.k);  // a full block: its repair spread
    std::vector<long long> at;
    for (const auto &w : wire)
        if (w.repair) at.push_back(w.at);
    ASSERT_EQ(static_cast<size_t>(CONF.r), at.size());
    EXPECT_EQ((CONF.k - 1) * STEP, at.front());
    EXPECT_EQ(at.front() + CONF.spread_ns * (CONF.r - 1) / CONF.r, at.back());
}

// Three full blocks (data 0-33, 34-67, 68-101; repair 0-9, 10-19, 20-29).
static_assert(CONF.k == 34 && CONF.r == 10, "the rows below count with these");
struct loss_case {
    const char *name;
    std::set<int> data, repair;
    int rebuilt, lost;
};
const loss_case LOSSES[] = {
    {"none", {}, {}, 0, 0},
    {"first, middle and last of a block", {34, 50, 67}, {}, 3, 0},
    {"as many as the repair", {0, 2, 4, 6, 8, 10, 12, 14, 16, 33}, {}, 10, 0},
    {"one more than the repair", {34, 36, 38, 40, 42, 44, 46, 48, 50, 52, 67}, {}, 0, 11},
    {"burst of 8 at a block's end and its first repair", span(60, 68), {10, 11}, 8, 0},
    {"outage over a block boundary", span(31, 36), span(0, 7), 5, 0},
    {"repair short of the losses", {40, 41, 42}, span(10, 18), 0, 3},
    {"all repair lost: the block goes as it came", {80}, span(20, 30), 0, 0},
    {"whole block lost, repair cannot cover it", span(34, 68), {}, 0, 34},
};

TEST(RepairDecoder, LossPatternsRebuiltInOrder) {
    std::vector<wire_item> wire = send(0, 3 * CONF.k);
    for (const auto &c : LOSSES) {
        SCOPED_TRACE(c.name);
        received r = receive(without(wire, c.data, c.repair));
        std::vector<int> want;
        for (int i = 0; i < 3 * CONF.k; i++)
            if (!c.data.count(i) || c.rebuilt > 0) want.push_back(i);
        EXPECT_EQ(want, r.numbers);
        EXPECT_EQ(c.rebuilt, r.counts.rebuilt);
        EXPECT_EQ(c.lost, r.counts.lost);
        EXPECT_LE(r.worst_wait, REPAIR_HOLD_NS + STEP);
    }
}

// Edits of the wire of three blocks that a receiver must survive.
struct edit_case {
    const char *name;
    std::vector<wire_item> (*wire)();
    std::vector<int> want;
    int rebuilt, duplicates;
};
std::vector<int> numbers(int from, int to, std::set<int> skip = {}) {
    std::vector<int> v;
    for (int i = from; i < to; i++)
        if (!skip.count(i)) v.push_back(i);
    return v;
}
size_t place_of(const std::vector<wire_item> &w, int data) {
    for (size_t i = 0; i < w.size(); i++)
        if (w[i].data == data) return i;
    return w.size();
}
const edit_case EDITS[] = {
    {"reordered, one lost",
     [] {
         auto w = without(send(0, 108), {42});
         std::swap(w[place_of(w, 40)], w[place_of(w, 41)]);
         return w;
     },
     numbers(0, 108), 1, 0},
    {"a datagram twice",
     [] {
         auto w = send(0, 108);
         w.insert(w.begin() + place_of(w, 50) + 1, w[place_of(w, 50)]);
         return w;
     },
     numbers(0, 108), 0, 1},
    {"a block's last datagram after its first repair, which rebuilt it",
     [] {
         auto w = send(0, 108);
         std::swap(w[place_of(w, 33)], w[place_of(w, 33) + 1]);
         return w;
     },
     numbers(0, 108), 1, 1},
    {"server restarted: numbers start elsewhere",
     [] {
         auto w = send(0, 50);
         auto later = without(send(50, 58, 0xDEADBEEF, 50 * STEP + 1'000'000'000), {51, 100});
         w.insert(w.end(), later.begin(), later.end());
         return w;
     },
     numbers(0, 108), 2, 0},
    {"a lost datagram's fingerprint is a later one's",
     [] { return without(send(0, 108, 1000, 0, CONF, with_twin), {50}); }, numbers(0, 108), 1, 0},
    {"joined mid-block", [] { return without(send(0, 108), span(0, 20)); }, numbers(20, 108), 0, 0},
    {"joined after the first losses, which repair covers",
     [] { return without(send(0, 108), span(0, 8)); }, numbers(0, 108), 8, 0},
};

// Each edited wire goes out as the row wants, with nothing lost.
template <size_t N>
void expect_rows(const edit_case (&rows)[N]) {
    for (const auto &c : rows) {
        SCOPED_TRACE(c.name);
        received r = receive(c.wire());
        EXPECT_EQ(c.want, r.numbers);
        EXPECT_EQ(c.rebuilt, r.counts.rebuilt);
        EXPECT_EQ(0, r.counts.lost);
        EXPECT_EQ(c.duplicates, r.counts.duplicates);
    }
}

TEST(RepairDecoder, ReorderDuplicateRestartAndJoin) {
    expect_rows(EDITS);
}

// The wire with the items that pick chooses moved ns later (copied
// there instead, with copy), in the order they then come.
std::vector<wire_item> later(std::vector<wire_item> w, bool (*pick)(const wire_item &),
                             long long ns, bool copy = false) {
    size_t n = w.size();
    for (size_t i = 0; i < n; i++) {
        if (!pick(w[i])) continue;
        if (copy) w.push_back(w[i]);
        (copy ? w.back() : w[i]).at += ns;
    }
    std::stable_sort(w.begin(), w.end(), [](auto &a, auto &b) { return a.at < b.at; });
    return w;
}

// A repair datagram of block `block` with the shape of a real one and
// another table and symbol: what a forger who guesses the numbers sends.
wire_item forged(uint32_t block, long long at) {
    std::vector<wire_item> w = send(0, CONF.k);
    wire_item f = *std::find_if(w.begin(), w.end(), [](auto &x) { return x.repair; });
    f.at = at;
    for (int i = 0; i < 4; i++) f.bytes[2 + i] = static_cast<uint8_t>(block >> (24 - 8 * i));
    for (size_t i = REPAIR_HEADER_SIZE; i < f.bytes.size(); i++) f.bytes[i] ^= 0xA5;
    return f;
}

// Late, copied and forged datagrams: whatever they are, each datagram goes
// out once and in the order sent, and the losses are rebuilt.
const edit_case ARRIVALS[] = {
    {"data 25 ms behind its repair: each block's last is rebuilt first",
     [] {
         return later(
             send(0, 108), [](auto &w) { return !w.repair; }, 25'000'000);
     },
     numbers(0, 108), 3, 3},
    {"a fifth of the data 60 ms late, one lost",
     [] {
         return later(
             without(send(0, 108), {70}), [](auto &w) { return !w.repair && w.data % 5 == 2; },
             60'000'000);
     },
     numbers(0, 108), 3, 2},
    {"copies 3 s late",
     [] {
         return later(
             send(0, 108), [](auto &w) { return !w.repair && w.data % 30 == 7; }, 3'000'000'000,
             true);
     },
     numbers(0, 108), 0, 4},
    {"a block number 1000 ahead, then a loss",
     [] {
         auto w = without(send(0, 108), {80});
         w.insert(w.begin() + 1, forged(2001, w[0].at));
         return w;
     },
     numbers(0, 108), 1, 0},
    {"forged tables for the next blocks, then losses",
     [] {
         auto w = without(send(0, 108), {40, 80});
         for (uint32_t b = 1001; b <= 1003; b++) w.insert(w.begin() + 1, forged(b, w[0].at));
         return w;
     },
     numbers(0, 108), 2, 0},
};

TEST(RepairDecoder, LateCopiedAndForgedGoOutOnceInOrder) {
    expect_rows(ARRIVALS);
}

TEST(RepairDecoder, GarbageIsRefusedOrNeverHandedOut) {
    std::vector<wire_item> wire = without(send(0, 108), {45});
    std::vector<wire_item> bad = wire;
    for (auto &w : bad)
        if (w.repair)
            w.bytes[w.bytes.size() - 5] ^= 0x40;  // a symbol byte of every repair datagram
    received r = receive(bad);
    EXPECT_EQ(numbers(0, 108, {45}), r.numbers);
    EXPECT_EQ(0, r.counts.rebuilt);
    EXPECT_EQ(1, r.counts.lost);

    repair_decoder d = repair_decoder_start(CH, REPAIR_HOLD_NS);
    repair_datagrams out;
    const wire_item &rep =
        *std::find_if(wire.begin(), wire.end(), [](auto &w) { return w.repair; });
    std::vector<uint8_t> other = rep.bytes, unlike = rep.bytes, noise(rep.bytes.size(), 0x5A);
    other[0] = CH + 1;
    unlike[REPAIR_HEADER_SIZE] ^= 1;  // the first fingerprint
    EXPECT_TRUE(repair_decoder_data(&d, wire[0].bytes.data(), wire[0].bytes.size(), 0, &out));
    EXPECT_TRUE(repair_decoder_repair(&d, rep.bytes.data(), rep.bytes.size(), 0, &out));
    EXPECT_FALSE(repair_decoder_repair(&d, other.data(), other.size(), 0, &out));
    EXPECT_FALSE(repair_decoder_repair(&d, unlike.data(), unlike.size(), 0, &out));
    EXPECT_FALSE(repair_decoder_repair(&d, noise.data(), noise.size(), 0, &out));
    EXPECT_FALSE(repair_decoder_data(&d, other.data(), other.size(), 0, &out));
    EXPECT_EQ(3, d.counts.refused);
}

TEST(RepairDecoder, MemoryStaysBounded) {
    repair_decoder d = repair_decoder_start(CH, REPAIR_HOLD_NS);
    repair_datagrams out;
    std::vector<uint8_t> data = datagram(0);
    for (int i = 0; i < 3000; i++) {
        repair_decoder_data(&d, data.data(), data.size(), 0, &out);
        ASSERT_LE(d.held.size(), REPAIR_MAX_HELD + 1);
        ASSERT_LE(d.held_bytes, REPAIR_MAX_HELD_BYTES + data.size());
    }
    EXPECT_EQ(3000u, out.size() + d.held.size());

    repair_conf wide = {REPAIR_MAX_K, REPAIR_MAX_R, CONF.block_ns, 0};
    std::vector<wire_item> wire = send(0, 200 * REPAIR_MAX_K, 1, 0, wide);
    for (const auto &w : wire) {
        if (!w.repair) continue;
        repair_decoder_repair(&d, w.bytes.data(), w.bytes.size(), 0, &out);
        ASSERT_LE(d.blocks.size(), REPAIR_MAX_BLOCKS + REPAIR_MAX_CANDIDATES);
        ASSERT_LE(d.symbol_bytes, REPAIR_MAX_SYMBOL_BYTES);
    }
}
}  // namespace
