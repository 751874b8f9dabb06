// repair_decoder.cc - a channel's data datagrams matched to the blocks that
// its repair datagrams list, lost ones rebuilt with ISA-L, all handed out in
// order.
#include "repair_decoder.h"

#include <isa-l/erasure_code.h>
#include <limits.h>
#include <string.h>

#include <algorithm>

namespace {

// How much later than its block's first repair datagram a data datagram
// may come and still be taken for one of the block's. The server sends a
// block's first repair datagram right after its last data datagram, and the
// next block's first data datagram later still, so only a reordering on the
// way needs this slack.
constexpr long long REORDER_NS = 10'000'000;

// A block number this far from the ones before is a restarted server's.
constexpr int32_t RESTART_GAP = 1024;

int32_t serial_diff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

void put16(uint8_t *p, size_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

repair_held *held_at(repair_decoder *d, long long seq) {
    if (d->held.empty() || seq < d->held.front().seq) return nullptr;
    size_t i = static_cast<size_t>(seq - d->held.front().seq);
    return i < d->held.size() ? &d->held[i] : nullptr;
}

bool slot_free(const repair_block &b, int j) {
    return b.slot_seq[j] < 0 && b.rebuilt[j].empty();
}

int missing(const repair_block &b) {
    int n = 0;
    for (int j = 0; j < b.k; j++) n += slot_free(b, j);
    return n;
}

// The free slot of b that the held datagram h fills, or -1: one whose
// fingerprint is h's, the first after the slot of the datagram that came
// last before h, else the first. Two datagrams of a block may share a
// fingerprint; taking them in the order they came puts each in its own
// slot unless the network also reordered them.
int match_slot(const repair_block &b, const repair_held &h) {
    if (h.arrived > b.known_at + REORDER_NS || h.bytes.size() + 2 > b.symbol_len) return -1;
    int from = 0;
    long long before = -1;
    for (int j = 0; j < b.k; j++)
        if (b.slot_seq[j] < h.seq && b.slot_seq[j] > before) before = b.slot_seq[j], from = j + 1;
    for (int i = 0; i < b.k; i++) {
        int j = (from + i) % b.k;
        if (slot_free(b, j) && get16(&b.table[2 * j]) == h.fingerprint) return j;
    }
    return -1;
}

void place(repair_block *b, repair_held *h, int slot, long long hold_ns) {
    b->slot_seq[slot] = h->seq;
    h->in_block = true;
    h->block = b->number;
    b->deadline = std::min(b->deadline, h->arrived + hold_ns);
}

// Whether b need wait no longer: no slot free, its repair failed, or, in
// the decoder's first block, only slots before its first datagram that
// came are free and cannot be rebuilt (the receiver may have joined after
// they were sent).
bool complete(const repair_block &b) {
    int free = missing(b);
    if (free == 0 || b.failed) return true;
    if (!b.first) return false;
    int lead = 0;
    while (lead < b.k && slot_free(b, lead)) lead++;
    return free == lead && free > b.r;
}

// The e x k matrix that makes the e lost symbols of a block of k from the
// k - e that came (slots have) and e repair symbols (numbers index). The
// repair symbols minus what the symbols that came add to them are the lost
// symbols times the Cauchy sub-matrix a, which every choice makes
// invertible; its inverse has e rows, so this costs e*e*k products, not a
// k x k inversion.
std::vector<uint8_t> decode_matrix(int k, const std::vector<int> &have,
                                   const std::vector<int> &lost, const std::vector<int> &index) {
    size_t e = lost.size();
    std::vector<uint8_t> a(e * e), inv(e * e), coef(e * k);
    for (size_t i = 0; i < e; i++)
        for (int j = 0; j < k; j++) coef[i * k + j] = repair_coefficient(k, index[i], j);
    for (size_t i = 0; i < e; i++)
        for (size_t m = 0; m < e; m++) a[i * e + m] = coef[i * k + lost[m]];
    if (gf_invert_matrix(a.data(), inv.data(), static_cast<int>(e)) != 0) return {};
    std::vector<uint8_t> dm(e * k);
    for (size_t m = 0; m < e; m++) {
        for (size_t s = 0; s < have.size(); s++) {
            uint8_t v = 0;
            for (size_t i = 0; i < e; i++) v ^= gf_mul(inv[m * e + i], coef[i * k + have[s]]);
            dm[m * k + s] = v;
        }
        for (size_t i = 0; i < e; i++) dm[m * k + have.size() + i] = inv[m * e + i];
    }
    return dm;
}

// Whether the rebuilt symbol s of slot j is a datagram of this block: a
// length that fits, zero padding, the channel's id, the table's fingerprint.
bool symbol_checks(const repair_decoder &d, const repair_block &b, int j, const uint8_t *s) {
    size_t n = get16(s);
    if (n < 1 || n + 2 > b.symbol_len || s[2] != d.chnid) return false;
    for (size_t i = 2 + n; i < b.symbol_len; i++)
        if (s[i] != 0) return false;
    return repair_fingerprint(s + 2, n) == get16(&b.table[2 * j]);
}

// Keeps the rebuilt symbols (one per lost slot, in syms) when each checks
// and the whole block then has its CRC-32.
bool keep_rebuilt(repair_decoder *d, repair_block *b, const std::vector<int> &lost,
                  const std::vector<uint8_t> &syms) {
    const size_t len = b->symbol_len;
    for (size_t m = 0; m < lost.size(); m++)
        if (!symbol_checks(*d, *b, lost[m], &syms[m * len])) return false;
    uint32_t crc = 0;
    for (int j = 0, m = 0; j < b->k; j++) {
        if (slot_free(*b, j)) {
            const uint8_t *s = &syms[m++ * len];
            crc = repair_crc(crc, s + 2, get16(s));
        } else {
            const repair_held *h = held_at(d, b->slot_seq[j]);
            crc = repair_crc(crc, h->bytes.data(), h->bytes.size());
        }
    }
    if (crc != b->crc) return false;
    for (size_t m = 0; m < lost.size(); m++) {
        const uint8_t *s = &syms[m * len];
        b->rebuilt[lost[m]].assign(s + 2, s + 2 + get16(s));
    }
    return true;
}

// Rebuilds b's free slots from the datagrams that came and as many repair
// symbols as slots are free (the caller has that many).
bool rebuild(repair_decoder *d, repair_block *b) {
    const int k = b->k;
    const size_t len = b->symbol_len;
    std::vector<int> have, lost;
    for (int j = 0; j < k; j++) (slot_free(*b, j) ? lost : have).push_back(j);
    size_t e = lost.size();
    std::vector<int> index(b->repair_index.begin(), b->repair_index.begin() + e);
    std::vector<uint8_t> dm = decode_matrix(k, have, lost, index);
    if (dm.empty()) return false;
    std::vector<uint8_t> sources(have.size() * len, 0), syms(e * len);
    std::vector<uint8_t *> in(k), outp(e);
    for (size_t s = 0; s < have.size(); s++) {
        const repair_held *h = held_at(d, b->slot_seq[have[s]]);
        in[s] = &sources[s * len];
        put16(in[s], h->bytes.size());
        memcpy(in[s] + 2, h->bytes.data(), h->bytes.size());
    }
    for (size_t i = 0; i < e; i++) in[have.size() + i] = b->repair_symbol[i].data();
    for (size_t m = 0; m < e; m++) outp[m] = &syms[m * len];
    std::vector<uint8_t> tables(dm.size() * 32);
    ec_init_tables(k, static_cast<int>(e), dm.data(), tables.data());
    ec_encode_data(static_cast<int>(len), k, static_cast<int>(e), tables.data(), in.data(),
                   outp.data());
    return keep_rebuilt(d, b, lost, syms);
}

void drop_symbols(repair_decoder *d, repair_block *b) {
    for (const auto &s : b->repair_symbol) d->symbol_bytes -= s.size();
    b->repair_index.clear();
    b->repair_symbol.clear();
}

// Rebuilds b once it has as many repair symbols as free slots; its symbols
// are no longer needed then, whether the rebuild checked out or not.
void try_rebuild(repair_decoder *d, repair_block *b) {
    int need = missing(*b);
    if (b->failed || need == 0 || static_cast<int>(b->repair_symbol.size()) < need) return;
    if (!rebuild(d, b)) b->failed = true;
    drop_symbols(d, b);
}

// Keeps h's symbol when b may need it. False when memory is short.
bool keep_symbol(repair_decoder *d, repair_block *b, const repair_header &h) {
    int need = missing(*b);
    if (b->failed || static_cast<int>(b->repair_index.size()) >= need) return true;
    if (std::find(b->repair_index.begin(), b->repair_index.end(), h.index) != b->repair_index.end())
        return true;
    if (d->symbol_bytes + h.symbol_len > REPAIR_MAX_SYMBOL_BYTES) return false;
    b->repair_index.push_back(h.index);
    b->repair_symbol.emplace_back(h.symbol, h.symbol + h.symbol_len);
    d->symbol_bytes += h.symbol_len;
    return true;
}

void hand_out(repair_decoder *d, std::vector<uint8_t> bytes, repair_datagrams *out) {
    out->push_back(std::move(bytes));
    d->counts.handed++;
}

void hand_out_held(repair_decoder *d, repair_held *h, repair_datagrams *out) {
    d->held_bytes -= h->bytes.size();
    hand_out(d, std::move(h->bytes), out);
    h->gone = true;
}

// Drops the held datagrams that did not find a slot in b but are byte for
// byte one that did, and came while its slots could be filled: copies the
// network made.
void drop_duplicates(repair_decoder *d, const repair_block &b, long long first_seq) {
    for (auto &h : d->held) {
        if (h.seq < first_seq || h.gone || h.in_block) continue;
        if (h.arrived > b.known_at + REORDER_NS) break;
        for (int j = 0; j < b.k; j++) {
            const repair_held *m = b.slot_seq[j] >= 0 ? held_at(d, b.slot_seq[j]) : nullptr;
            if (m && m->fingerprint == h.fingerprint && m->bytes == h.bytes) {
                d->held_bytes -= h.bytes.size();
                h.bytes = {};
                h.gone = true;
                d->counts.duplicates++;
                break;
            }
        }
    }
}

// Hands out the oldest block as it is: first the held datagrams without a
// block that came before its first one, then its slots in order.
void hand_out_block(repair_decoder *d, repair_datagrams *out) {
    repair_block b = std::move(d->blocks.front());
    d->blocks.erase(d->blocks.begin());
    long long first_seq = LLONG_MAX;
    for (long long s : b.slot_seq)
        if (s >= 0) first_seq = std::min(first_seq, s);
    for (auto &h : d->held) {
        if (h.seq >= first_seq) break;
        if (!h.gone && !h.in_block) hand_out_held(d, &h, out);
    }
    if (first_seq != LLONG_MAX) drop_duplicates(d, b, first_seq);
    d->last_rebuilt.clear();
    d->last_rebuilt_until = b.known_at + REORDER_NS;
    bool came = false;  // a slot before this one was filled
    for (int j = 0; j < b.k; j++) {
        if (b.slot_seq[j] >= 0) {
            hand_out_held(d, held_at(d, b.slot_seq[j]), out);
            came = true;
        } else if (!b.rebuilt[j].empty()) {
            d->last_rebuilt.push_back(b.rebuilt[j]);
            hand_out(d, std::move(b.rebuilt[j]), out);
            d->counts.rebuilt++;
            came = true;
        } else if (came || !b.first) {
            d->counts.lost++;
        }
    }
    drop_symbols(d, &b);
    d->handed_block = true;
    d->last_block = b.number;
}

// Marks the blocks up to the one numbered last to go out at once. False
// when no block has that number.
bool end_through(repair_decoder *d, uint32_t last) {
    for (size_t i = 0; i < d->blocks.size(); i++) {
        if (d->blocks[i].number != last) continue;
        for (size_t j = 0; j <= i; j++) d->blocks[j].ended = true;
        return true;
    }
    return false;
}

// Hands out what may go at now, in order: the oldest block once it is
// complete or its time is up, and the oldest held datagram once its time
// is up or too much is held, with the blocks up to its own.
void release(repair_decoder *d, long long now, repair_datagrams *out) {
    for (;;) {
        while (!d->held.empty() && d->held.front().gone) d->held.pop_front();
        if (!d->blocks.empty()) {
            const repair_block &b = d->blocks.front();
            if (b.ended || now >= b.deadline || complete(b)) {
                hand_out_block(d, out);
                continue;
            }
        }
        if (d->held.empty()) return;
        repair_held &h = d->held.front();
        bool crowded = d->held.size() > REPAIR_MAX_HELD || d->held_bytes > REPAIR_MAX_HELD_BYTES;
        if (!crowded && now < h.arrived + d->hold_ns) return;
        if (!h.in_block || !end_through(d, h.block)) hand_out_held(d, &h, out);
    }
}

// The block that h announces, added in number order and given the held
// datagrams it lists. A number far from the ones before ends the blocks
// known (the server started again); the oldest also ends when there are
// too many.
repair_block *add_block(repair_decoder *d, const repair_header &h, long long now,
                        repair_datagrams *out) {
    bool have_ref = !d->blocks.empty() || d->handed_block;
    uint32_t ref = d->blocks.empty() ? d->last_block : d->blocks.back().number;
    bool restart =
        have_ref && std::abs(static_cast<long long>(serial_diff(h.block, ref))) > RESTART_GAP;
    if (restart) {
        for (auto &b : d->blocks) b.ended = true;
    } else if (d->blocks.size() >= REPAIR_MAX_BLOCKS) {
        d->blocks.front().ended = true;
    }
    release(d, now, out);
    if (restart) d->handed_block = false;
    repair_block b;
    b.number = h.block;
    b.k = h.k;
    b.r = h.r;
    b.symbol_len = h.symbol_len;
    b.crc = h.block_crc;
    b.table.assign(h.table, h.table + 2 * h.k);
    b.known_at = now;
    b.deadline = now + d->hold_ns;
    b.slot_seq.assign(h.k, -1);
    b.rebuilt.resize(h.k);
    b.first = !d->handed_block && d->blocks.empty();
    auto at = std::find_if(d->blocks.begin(), d->blocks.end(), [&](const repair_block &o) {
        return serial_diff(o.number, h.block) > 0;
    });
    repair_block *added = &*d->blocks.insert(at, std::move(b));
    for (auto &held : d->held) {
        if (held.gone || held.in_block) continue;
        int slot = match_slot(*added, held);
        if (slot >= 0) place(added, &held, slot, d->hold_ns);
    }
    return added;
}

// Whether the data datagram p[0, n) that came at now was rebuilt already:
// it came after its block's first repair datagram (the network reordered
// them) and its slot was filled from repair. Were it a later datagram
// alike byte for byte, its own block's repair rebuilds it.
bool came_rebuilt(const repair_decoder &d, const uint8_t *p, size_t n, long long now) {
    auto same = [&](const std::vector<uint8_t> &r) {
        return r.size() == n && memcmp(r.data(), p, n) == 0;
    };
    for (const auto &b : d.blocks)
        if (now <= b.known_at + REORDER_NS && std::any_of(b.rebuilt.begin(), b.rebuilt.end(), same))
            return true;
    return now <= d.last_rebuilt_until &&
           std::any_of(d.last_rebuilt.begin(), d.last_rebuilt.end(), same);
}

bool same_block(const repair_block &b, const repair_header &h) {
    return b.k == h.k && b.r == h.r && b.symbol_len == h.symbol_len && b.crc == h.block_crc &&
           memcmp(b.table.data(), h.table, b.table.size()) == 0;
}

repair_block *find_block(repair_decoder *d, uint32_t number) {
    for (auto &b : d->blocks)
        if (b.number == number) return &b;
    return nullptr;
}

}  // namespace

repair_decoder repair_decoder_start(uint8_t chnid, long long hold_ns) {
    repair_decoder d;
    d.chnid = chnid;
    d.hold_ns = hold_ns;
    return d;
}

bool repair_decoder_data(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                         repair_datagrams *out) {
    if (n < 1 || n > MSG_MAX_DATAGRAM || p[0] != d->chnid) return false;
    if (came_rebuilt(*d, p, n, now)) {
        d->counts.duplicates++;
        release(d, now, out);
        return true;
    }
    repair_held h;
    h.bytes.assign(p, p + n);
    h.fingerprint = repair_fingerprint(p, n);
    h.arrived = now;
    h.seq = d->next_seq++;
    d->held_bytes += n;
    d->held.push_back(std::move(h));
    repair_held *in = &d->held.back();
    for (auto &b : d->blocks) {
        int slot = match_slot(b, *in);
        if (slot < 0) continue;
        place(&b, in, slot, d->hold_ns);
        try_rebuild(d, &b);
        break;
    }
    release(d, now, out);
    return true;
}

bool repair_decoder_repair(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                           repair_datagrams *out) {
    repair_header h;
    if (!repair_parse(p, n, &h) || h.chnid != d->chnid) {
        d->counts.refused++;
        return false;
    }
    repair_block *b = find_block(d, h.block);
    if (!b) {
        int32_t age = serial_diff(h.block, d->last_block);
        if (d->handed_block && age <= 0 && age > -RESTART_GAP) return true;  // late
        b = add_block(d, h, now, out);
    } else if (!same_block(*b, h)) {
        d->counts.refused++;
        return false;
    }
    bool kept = keep_symbol(d, b, h);
    try_rebuild(d, b);
    release(d, now, out);
    if (!kept) d->counts.refused++;
    return kept;
}

void repair_decoder_tick(repair_decoder *d, long long now, repair_datagrams *out) {
    release(d, now, out);
}

long long repair_decoder_due(const repair_decoder &d) {
    long long due = d.blocks.empty() ? LLONG_MAX : d.blocks.front().deadline;
    for (const auto &h : d.held) {
        if (h.gone) continue;
        due = std::min(due, h.arrived + d.hold_ns);
        break;
    }
    return due;
}
