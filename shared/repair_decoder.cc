// repair_decoder.cc - a channel's data datagrams matched to the blocks that
// its repair datagrams list, lost ones rebuilt with ISA-L, all handed out in
// order, and what went out remembered so that nothing goes out twice.
#include "repair_decoder.h"

#include <isa-l/erasure_code.h>
#include <limits.h>
#include <string.h>

#include <algorithm>

#include "byte_order.h"

namespace {

// A block number this far from the ones before is a restarted server's.
constexpr int32_t RESTART_GAP = 1024;

void release(repair_decoder *d, long long now, repair_datagrams *out);

int32_t serial_diff(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

uint16_t fingerprint_at(const repair_block &b, int j) {
    return get_be16(&b.table[2 * j]);
}

repair_held *held_at(repair_decoder *d, long long seq) {
    if (d->held.empty() || seq < d->held.front().seq) return nullptr;
    size_t i = static_cast<size_t>(seq - d->held.front().seq);
    return i < d->held.size() ? &d->held[i] : nullptr;
}

repair_block *block_of(repair_decoder *d, long long id) {
    for (auto &b : d->blocks)
        if (b.id == id) return &b;
    return nullptr;
}

repair_block *block_numbered(repair_decoder *d, uint32_t number) {
    for (auto &b : d->blocks)
        if (b.number == number) return &b;
    return nullptr;
}

bool slot_free(const repair_block &b, int j) {
    return b.slot_seq[j] < 0 && b.rebuilt[j].empty();
}

int missing(const repair_block &b) {
    int n = 0;
    for (int j = 0; j < b.k; j++) n += slot_free(b, j);
    return n;
}

// The fewest datagrams that confirm a block: with fewer it could not be
// rebuilt anyway, so waiting for it gains nothing.
int confirm_at(const repair_block &b) {
    return std::max(1, b.k - b.r);
}

// The confirmed block numbered first, or null. Confirmed blocks are never
// far apart (a far one ends the others first), so serial order is order.
template <typename Blocks>
auto first_confirmed(Blocks &blocks) -> decltype(&blocks[0]) {
    decltype(&blocks[0]) first = nullptr;
    for (auto &b : blocks)
        if (b.confirmed && (!first || serial_diff(b.number, first->number) < 0)) first = &b;
    return first;
}

size_t count_confirmed(const repair_decoder &d) {
    size_t n = 0;
    for (const auto &b : d.blocks) n += b.confirmed;
    return n;
}

// Whether h may take a slot of a block: it is held and no confirmed block
// has it; with steal, one that a candidate has counts too.
bool claimable(repair_decoder *d, const repair_held &h, bool steal) {
    if (h.gone) return false;
    if (h.claim < 0) return true;
    const repair_block *owner = block_of(d, h.claim);
    return owner == nullptr || (steal && !owner->confirmed);
}

// The free slot of b that the held datagram h fills, or -1: one whose
// fingerprint is h's, the first after the slot of the datagram that came
// last before h, else the first. Two datagrams of a block may share a
// fingerprint; taking them in the order they came puts each in its own
// slot unless the network also reordered them.
int match_slot(const repair_block &b, const repair_held &h) {
    if (b.spent || h.bytes.size() + 2 > b.symbol_len) return -1;
    int from = 0;
    long long before = -1;
    for (int j = 0; j < b.k; j++)
        if (b.slot_seq[j] < h.seq && b.slot_seq[j] > before) before = b.slot_seq[j], from = j + 1;
    for (int i = 0; i < b.k; i++) {
        int j = (from + i) % b.k;
        if (slot_free(b, j) && fingerprint_at(b, j) == static_cast<uint16_t>(h.crc)) return j;
    }
    return -1;
}

// Takes h out of the slot of the block that has it.
void unclaim(repair_decoder *d, repair_held *h) {
    repair_block *b = block_of(d, h->claim);
    h->claim = -1;
    if (b == nullptr) return;
    for (int j = 0; j < b->k; j++)
        if (b->slot_seq[j] == h->seq) {
            b->slot_seq[j] = -1;
            b->came--;
            return;
        }
}

void claim(repair_decoder *d, repair_block *b, repair_held *h, int slot) {
    if (h->claim >= 0) unclaim(d, h);
    b->slot_seq[slot] = h->seq;
    b->came++;
    h->claim = b->id;
    b->deadline = std::min(b->deadline, h->arrived + d->hold_ns);
}

// How many of the held datagrams would fill b's slots, taking them from
// candidates too (but from none that is confirmed, except skip_id).
int fits(repair_decoder *d, repair_block b, long long skip_id) {
    int n = 0;
    for (auto &h : d->held) {
        if (h.gone || (!claimable(d, h, true) && h.claim != skip_id)) continue;
        int slot = match_slot(b, h);
        if (slot < 0) continue;
        b.slot_seq[slot] = h.seq;
        n++;
    }
    return n;
}

// Gives b the held datagrams it lists, in the order they came; those of
// candidates only with steal.
void claim_held(repair_decoder *d, repair_block *b, bool steal) {
    for (auto &h : d->held) {
        if (!claimable(d, h, steal)) continue;
        int slot = match_slot(*b, h);
        if (slot >= 0) claim(d, b, &h, slot);
    }
}

void drop_symbols(repair_decoder *d, repair_block *b) {
    for (const auto &s : b->repair_symbol) d->symbol_bytes -= s.size();
    b->repair_index.clear();
    b->repair_symbol.clear();
}

// Forgets the block with that id: its datagrams have no slot any more.
void drop_block(repair_decoder *d, long long id) {
    repair_block *b = block_of(d, id);
    if (b == nullptr) return;
    for (long long s : b->slot_seq) {
        repair_held *h = s >= 0 ? held_at(d, s) : nullptr;
        if (h && h->claim == id) h->claim = -1;
    }
    drop_symbols(d, b);
    d->blocks.erase(d->blocks.begin() + (b - d->blocks.data()));
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
    size_t n = get_be16(s);
    if (n < 1 || n + 2 > b.symbol_len || s[2] != d.chnid) return false;
    for (size_t i = 2 + n; i < b.symbol_len; i++)
        if (s[i] != 0) return false;
    return repair_fingerprint(s + 2, n) == fingerprint_at(b, j);
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
            crc = repair_crc(crc, s + 2, get_be16(s));
        } else {
            const repair_held *h = held_at(d, b->slot_seq[j]);
            crc = repair_crc(crc, h->bytes.data(), h->bytes.size());
        }
    }
    if (crc != b->crc) return false;
    for (size_t m = 0; m < lost.size(); m++) {
        const uint8_t *s = &syms[m * len];
        b->rebuilt[lost[m]].assign(s + 2, s + 2 + get_be16(s));
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
        put_be16(in[s], h->bytes.size());
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

// CRC-32 of the datagrams in b's slots, one after the other: all of them
// came.
uint32_t crc_of_slots(repair_decoder *d, const repair_block &b) {
    uint32_t crc = 0;
    for (long long s : b.slot_seq) {
        const repair_held *h = held_at(d, s);
        crc = repair_crc(crc, h->bytes.data(), h->bytes.size());
    }
    return crc;
}

// Checks a confirmed b against its CRC-32 once every slot has its datagram,
// or rebuilds it once it has as many repair symbols as free slots; its
// symbols are no longer needed then, whether it checked out or not.
void try_verify(repair_decoder *d, repair_block *b) {
    int need = missing(*b);
    if (!b->confirmed || b->failed || b->verified) return;
    if (need > 0 && static_cast<int>(b->repair_symbol.size()) < need) return;
    b->verified = need == 0 ? crc_of_slots(d, *b) == b->crc : rebuild(d, b);
    b->failed = !b->verified;
    drop_symbols(d, b);
}

// Keeps h's symbol when b may need it: while some datagram held fills b,
// and it has fewer symbols than free slots. False when memory is short.
bool keep_symbol(repair_decoder *d, repair_block *b, const repair_header &h) {
    if (b->failed || b->verified || b->spent || b->came == 0) return true;
    if (static_cast<int>(b->repair_index.size()) >= missing(*b)) return true;
    if (std::find(b->repair_index.begin(), b->repair_index.end(), h.index) != b->repair_index.end())
        return true;
    if (d->symbol_bytes + h.symbol_len > REPAIR_MAX_SYMBOL_BYTES) return false;
    b->repair_index.push_back(h.index);
    b->repair_symbol.emplace_back(h.symbol, h.symbol + h.symbol_len);
    d->symbol_bytes += h.symbol_len;
    return true;
}

void remember(repair_decoder *d, long long now, uint32_t crc, size_t len, bool alone) {
    d->past.push_back({now, crc, static_cast<uint32_t>(len), alone});
    if (d->past.size() > REPAIR_PAST_MAX) d->past.pop_front();
}

// Whether h went out already, while what goes out is known: within
// REPAIR_PAST_NS of a verified block.
bool went_before(const repair_decoder &d, const repair_held &h, long long now) {
    if (!d.block_out || now - d.last_block_at > REPAIR_PAST_NS) return false;
    for (const auto &p : d.past)
        if (p.crc == h.crc && p.len == h.bytes.size()) return true;
    return false;
}

// Drops h, a copy of what went or goes out.
void drop_copy(repair_decoder *d, repair_held *h) {
    d->held_bytes -= h->bytes.size();
    h->bytes = {};
    h->gone = true;
    d->counts.duplicates++;
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

// Hands out h, which no confirmed block has, unless it went out already
// (and is remembered): a candidate that has it can then never order its
// datagrams.
void release_free(repair_decoder *d, repair_held *h, long long now, repair_datagrams *out) {
    repair_block *owner = h->claim >= 0 ? block_of(d, h->claim) : nullptr;
    if (owner) owner->spent = true;
    if (went_before(*d, *h, now)) return drop_copy(d, h);
    remember(d, now, h->crc, h->bytes.size(), true);
    hand_out_held(d, h, out);
}

// Forgets the candidates numbered before x, which the order has passed;
// those between the last block out and x are blocks the server sent, and
// what did not come of them is lost.
void drop_candidates_before(repair_decoder *d, const repair_block &x) {
    std::vector<long long> gone;
    for (const auto &c : d->blocks) {
        int32_t before = serial_diff(c.number, x.number);
        if (c.confirmed || before >= 0 || before < -RESTART_GAP) continue;
        if (d->handed_block && serial_diff(c.number, d->last_block) > 0)
            d->counts.lost += c.k - c.came;
        gone.push_back(c.id);
    }
    for (long long id : gone) drop_block(d, id);
}

// Whether a datagram of that CRC-32 and length went out alone, with no
// block: one of a block that did (it came before its block was known, and
// this is it again, rebuilt or a copy) goes out no more.
bool went_alone(const repair_decoder &d, uint32_t crc, size_t len) {
    for (const auto &p : d.past)
        if (p.alone && p.crc == crc && p.len == len) return true;
    return false;
}

// Hands out x's slots in order, the rebuilt ones too, each remembered.
void hand_out_slots(repair_decoder *d, repair_block *x, long long now, repair_datagrams *out) {
    for (int j = 0; j < x->k; j++) {
        repair_held *h = x->slot_seq[j] >= 0 ? held_at(d, x->slot_seq[j]) : nullptr;
        std::vector<uint8_t> &r = x->rebuilt[j];
        uint32_t crc = h ? h->crc : repair_crc(0, r.data(), r.size());
        size_t len = h ? h->bytes.size() : r.size();
        if (went_alone(*d, crc, len)) {
            if (h) drop_copy(d, h);
            if (!h) d->counts.duplicates++;
            continue;
        }
        remember(d, now, crc, len, false);
        if (h) {
            hand_out_held(d, h, out);
        } else {
            hand_out(d, std::move(r), out);
            d->counts.rebuilt++;
        }
    }
}

// Forgets the first confirmed block, which did not check out by its time:
// its datagrams go as they came, or to the other confirmed blocks' slots
// they fit; its free slots are lost (in the decoder's first block, not
// those before its first datagram, which may be from before the receiver
// joined), and its repair that comes later is passed over.
void give_up_block(repair_decoder *d, const repair_block &x) {
    bool came = false;  // a slot before this one was filled
    for (int j = 0; j < x.k; j++) {
        came = came || !slot_free(x, j);
        d->counts.lost += slot_free(x, j) && (came || !x.first);
    }
    d->given_up.push_back(x.number);
    if (d->given_up.size() > REPAIR_MAX_BLOCKS) d->given_up.pop_front();
    drop_block(d, x.id);
    for (auto &b : d->blocks) {
        if (!b.confirmed) continue;
        claim_held(d, &b, false);  // what it had may be theirs
        try_verify(d, &b);
    }
}

// Whether h is byte for byte what x rebuilt: the network brought it after
// all.
bool rebuilt_in(const repair_block &x, const repair_held &h) {
    for (const auto &r : x.rebuilt)
        if (r == h.bytes) return true;
    return false;
}

// The place among the datagrams that came of b's first one; LLONG_MAX for
// none.
long long first_came(const repair_block &b) {
    long long first = LLONG_MAX;
    for (long long s : b.slot_seq)
        if (s >= 0) first = std::min(first, s);
    return first;
}

// Hands out the first confirmed block, verified: first the held datagrams
// of no confirmed block that came before its first one and before every
// other confirmed block's (not those it rebuilt), then its slots.
void hand_out_block(repair_decoder *d, repair_block *first, long long now, repair_datagrams *out) {
    repair_block x = std::move(*first);
    d->blocks.erase(d->blocks.begin() + (first - d->blocks.data()));
    drop_candidates_before(d, x);
    long long first_seq = first_came(x);
    for (const auto &b : d->blocks)
        if (b.confirmed) first_seq = std::min(first_seq, first_came(b));
    for (auto &h : d->held) {
        if (h.seq >= first_seq) break;
        if (!claimable(d, h, true)) continue;
        if (rebuilt_in(x, h))
            drop_copy(d, &h);
        else
            release_free(d, &h, now, out);
    }
    hand_out_slots(d, &x, now, out);
    drop_symbols(d, &x);
    d->handed_block = true;
    d->last_block = x.number;
    d->block_out = true;
    d->last_block_at = now;
}

// Marks the confirmed blocks up to b to go out at once.
void end_through(repair_decoder *d, const repair_block &b) {
    uint32_t last = b.number;
    for (auto &o : d->blocks)
        if (o.confirmed && serial_diff(o.number, last) <= 0) o.ended = true;
}

void forget_old(repair_decoder *d, long long now) {
    while (!d->past.empty() && now - d->past.front().at > REPAIR_PAST_NS) d->past.pop_front();
    std::vector<long long> stale;
    for (const auto &b : d->blocks)
        if (!b.confirmed && now - b.known_at >= 2 * d->hold_ns) stale.push_back(b.id);
    for (long long id : stale) drop_block(d, id);
}

// Hands out what may go at now, in order: the first confirmed block once
// it is verified (given up when its time is up first), and the oldest held
// datagram once its time is up or too much is held, with the blocks up to
// its own.
void release(repair_decoder *d, long long now, repair_datagrams *out) {
    forget_old(d, now);
    for (;;) {
        while (!d->held.empty() && d->held.front().gone) d->held.pop_front();
        repair_block *x = first_confirmed(d->blocks);
        if (x && x->verified) {
            hand_out_block(d, x, now, out);
            continue;
        }
        if (x && (x->ended || now >= x->deadline || x->failed)) {
            give_up_block(d, *x);
            continue;
        }
        if (d->held.empty()) return;
        repair_held &h = d->held.front();
        bool crowded = d->held.size() > REPAIR_MAX_HELD || d->held_bytes > REPAIR_MAX_HELD_BYTES;
        if (!crowded && now < h.arrived + d->hold_ns) return;
        repair_block *owner = h.claim >= 0 ? block_of(d, h.claim) : nullptr;
        if (owner && owner->confirmed)
            end_through(d, *owner);
        else
            release_free(d, &h, now, out);
    }
}

// Whether a block numbered number is far from the confirmed ones, or from
// the last one out: a restarted server's, once data confirm it.
bool far_from_known(const repair_decoder &d, uint32_t number) {
    const repair_block *newest = nullptr;
    for (const auto &b : d.blocks)
        if (b.confirmed && (!newest || serial_diff(b.number, newest->number) > 0)) newest = &b;
    if (!newest && !d.handed_block) return false;
    uint32_t ref = newest ? newest->number : d.last_block;
    return std::abs(static_cast<long long>(serial_diff(number, ref))) > RESTART_GAP;
}

// Confirms the candidate with that id once enough of its datagrams came,
// after the blocks known have gone out when it is far from them (the
// server started again) or the oldest when too many are confirmed.
void confirm_if_ready(repair_decoder *d, long long id, long long now, repair_datagrams *out) {
    repair_block *b = block_of(d, id);
    if (!b || b->confirmed || b->spent || b->came < confirm_at(*b)) return;
    bool restart = far_from_known(*d, b->number);
    if (restart || count_confirmed(*d) >= REPAIR_MAX_BLOCKS) {
        if (restart)
            for (auto &o : d->blocks) o.ended = o.ended || o.confirmed;
        else
            first_confirmed(d->blocks)->ended = true;
        release(d, now, out);
        if (restart) d->handed_block = false;
        b = block_of(d, id);
        if (!b || b->spent) return;
    }
    b->first = !d->handed_block && count_confirmed(*d) == 0;
    b->confirmed = true;
    claim_held(d, b, true);  // what candidates took of it
    try_verify(d, b);
}

// Forgets the weakest candidate when there are too many: the one that the
// fewest datagrams fill, the oldest of those.
void make_room(repair_decoder *d) {
    size_t candidates = d->blocks.size() - count_confirmed(*d);
    if (candidates < REPAIR_MAX_CANDIDATES) return;
    const repair_block *weakest = nullptr;
    for (const auto &b : d->blocks)
        if (!b.confirmed && (!weakest || b.came < weakest->came ||
                             (b.came == weakest->came && b.known_at < weakest->known_at)))
            weakest = &b;
    drop_block(d, weakest->id);
}

// The candidate that h announces, given the held datagrams it lists (those
// of other candidates too when that confirms it). Returns its id.
long long add_block(repair_decoder *d, const repair_header &h, long long now) {
    make_room(d);
    repair_block b;
    b.id = d->next_id++;
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
    bool steal = fits(d, b, -1) >= confirm_at(b);
    d->blocks.push_back(std::move(b));
    repair_block *added = &d->blocks.back();
    claim_held(d, added, steal);
    return added->id;
}

bool same_block(const repair_block &b, const repair_header &h) {
    return b.k == h.k && b.r == h.r && b.symbol_len == h.symbol_len && b.crc == h.block_crc &&
           memcmp(b.table.data(), h.table, b.table.size()) == 0;
}

// The block that h belongs to: the one of its number when h is like it; a
// new one in its place when h's table fits more of the held datagrams
// (the one known was forged, or a stray); else -1.
long long block_for(repair_decoder *d, const repair_header &h, long long now) {
    repair_block *b = block_numbered(d, h.block);
    if (!b) return add_block(d, h, now);
    if (same_block(*b, h)) return b->id;
    repair_block rival;
    rival.k = h.k;
    rival.symbol_len = h.symbol_len;
    rival.table.assign(h.table, h.table + 2 * h.k);
    rival.slot_seq.assign(h.k, -1);
    rival.rebuilt.resize(h.k);
    if (fits(d, rival, b->id) <= b->came) return -1;
    drop_block(d, b->id);
    return add_block(d, h, now);
}

// Puts the newly held h in a slot: the first confirmed block's (by number)
// that has one free for it, else a candidate's. Returns the block's id, or
// -1.
long long place_new(repair_decoder *d, repair_held *h) {
    repair_block *to = nullptr;
    int slot = -1;
    for (auto &b : d->blocks) {
        if (!b.confirmed || (to && serial_diff(b.number, to->number) > 0)) continue;
        int j = match_slot(b, *h);
        if (j >= 0) to = &b, slot = j;
    }
    for (auto &b : d->blocks) {
        if (to || b.confirmed) continue;
        int j = match_slot(b, *h);
        if (j >= 0) to = &b, slot = j;
    }
    if (!to) return -1;
    claim(d, to, h, slot);
    return to->id;
}

}  // namespace

repair_decoder repair_decoder_start(uint8_t chnid, long long hold_ns) {
    repair_decoder d;  // no block known, nothing held
    d.chnid = chnid, d.hold_ns = hold_ns;
    return d;
}

bool repair_decoder_data(repair_decoder *d, const uint8_t *p, size_t n, long long now,
                         repair_datagrams *out) {
    if (n < 1 || n > MSG_MAX_DATAGRAM || p[0] != d->chnid) return false;
    repair_held h;
    h.bytes.assign(p, p + n);
    h.crc = repair_crc(0, p, n);
    h.arrived = now;
    h.seq = d->next_seq++;
    d->held_bytes += n;
    d->held.push_back(std::move(h));
    long long id = place_new(d, &d->held.back());
    if (id >= 0) {
        confirm_if_ready(d, id, now, out);
        repair_block *b = block_of(d, id);
        if (b) try_verify(d, b);
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
    int32_t age = serial_diff(h.block, d->last_block);
    if (d->handed_block && age <= 0 && age > -RESTART_GAP) return true;  // late
    if (std::find(d->given_up.begin(), d->given_up.end(), h.block) != d->given_up.end())
        return true;
    long long id = block_for(d, h, now);
    if (id < 0) {
        d->counts.refused++;
        return false;
    }
    bool kept = keep_symbol(d, block_of(d, id), h);
    confirm_if_ready(d, id, now, out);
    repair_block *b = block_of(d, id);
    if (b) try_verify(d, b);
    release(d, now, out);
    if (!kept) d->counts.refused++;
    return kept;
}

void repair_decoder_tick(repair_decoder *d, long long now, repair_datagrams *out) {
    release(d, now, out);
}

long long repair_decoder_due(const repair_decoder &d) {
    const repair_block *x = first_confirmed(d.blocks);
    long long due = x ? x->deadline : LLONG_MAX;
    for (const auto &h : d.held) {
        if (h.gone) continue;
        due = std::min(due, h.arrived + d.hold_ns);
        break;
    }
    return due;
}
