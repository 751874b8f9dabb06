// repair_encoder.cc - blocks of a channel's data datagrams and their repair
// datagrams, coded with ISA-L.
#include "repair_encoder.h"

#include <isa-l/erasure_code.h>
#include <limits.h>
#include <string.h>

#include <algorithm>

#include "byte_order.h"

namespace {

// The size of the repair datagrams of a block of k whose longest datagram
// is longest bytes.
size_t repair_size(size_t k, size_t longest) {
    return REPAIR_HEADER_SIZE + 2 * k + 2 + longest;
}

// Repair datagrams for a block of n when a full block of conf.k gets
// conf.r: in proportion, rounded up.
int repair_count(const repair_conf &conf, int n) {
    return (conf.r * n + conf.k - 1) / conf.k;
}

// ISA-L's expanded coefficients for blocks of k with r repair symbols,
// made again only when the shape changes.
uint8_t *coding_tables(repair_encoder *e, int k, int r) {
    if (e->tables_k != k || e->tables_r != r) {
        std::vector<uint8_t> matrix(static_cast<size_t>(k) * r);
        for (int i = 0; i < r; i++)
            for (int j = 0; j < k; j++)
                matrix[static_cast<size_t>(i) * k + j] = repair_coefficient(k, i, j);
        e->tables.resize(matrix.size() * 32);
        ec_init_tables(k, r, matrix.data(), e->tables.data());
        e->tables_k = k;
        e->tables_r = r;
    }
    return e->tables.data();
}

// The open block's source symbols, one after the other, len bytes each:
// each datagram's length, the datagram, zero bytes to the end.
std::vector<uint8_t> source_symbols(const repair_encoder &e, size_t len) {
    std::vector<uint8_t> symbols(e.open.size() * len, 0);
    for (size_t j = 0; j < e.open.size(); j++) {
        uint8_t *s = symbols.data() + j * len;
        put_be16(s, e.open[j].size());
        memcpy(s + 2, e.open[j].data(), e.open[j].size());
    }
    return symbols;
}

// The repair datagram of the open block with everything but its index and
// its symbol.
std::vector<uint8_t> repair_head(const repair_encoder &e, int r, size_t len) {
    size_t k = e.open.size();
    std::vector<uint8_t> d(REPAIR_HEADER_SIZE + 2 * k + len);
    d[0] = e.open[0][0];
    d[1] = REPAIR_VERSION;
    put_be32(&d[2], e.block);
    d[6] = static_cast<uint8_t>(k);
    d[7] = static_cast<uint8_t>(r);
    put_be16(&d[10], len);
    uint32_t crc = 0;
    for (size_t j = 0; j < k; j++) {
        crc = repair_crc(crc, e.open[j].data(), e.open[j].size());
        put_be16(&d[REPAIR_HEADER_SIZE + 2 * j],
                 repair_fingerprint(e.open[j].data(), e.open[j].size()));
    }
    put_be32(&d[12], crc);
    return d;
}

// Closes the open block at now: its repair datagrams join the queue, the
// first due now and the rest spread after it; what the queue held before
// is due now.
void close_block(repair_encoder *e, long long now) {
    if (e->open.empty()) return;
    int k = static_cast<int>(e->open.size());
    int r = repair_count(e->conf, k);
    size_t longest = 0;
    for (const auto &d : e->open) longest = std::max(longest, d.size());
    size_t len = 2 + longest;
    std::vector<uint8_t> symbols = source_symbols(*e, len);
    std::vector<uint8_t *> src(k), dst(r);
    for (int j = 0; j < k; j++) src[j] = symbols.data() + static_cast<size_t>(j) * len;
    std::vector<uint8_t> head = repair_head(*e, r, len);
    std::vector<repair_queued> made(r);
    for (int i = 0; i < r; i++) {
        made[i].bytes = head;
        made[i].bytes[8] = static_cast<uint8_t>(i);
        made[i].due = now + e->conf.spread_ns * i / r;
        dst[i] = made[i].bytes.data() + REPAIR_HEADER_SIZE + 2 * static_cast<size_t>(k);
    }
    ec_encode_data(static_cast<int>(len), k, r, coding_tables(e, k, r), src.data(), dst.data());
    for (auto &q : e->queue) q.due = std::min(q.due, now);
    for (auto &q : made) e->queue.push_back(std::move(q));
    e->open.clear();
    e->block++;
}

void take_due(repair_encoder *e, long long now, repair_datagrams *out) {
    while (!e->queue.empty() && e->queue.front().due <= now) {
        out->push_back(std::move(e->queue.front().bytes));
        e->queue.pop_front();
    }
}

}  // namespace

bool repair_conf_valid(const repair_conf &conf) {
    return conf.k >= 1 && conf.k <= REPAIR_MAX_K && conf.r >= 1 && conf.r <= REPAIR_MAX_R &&
           conf.block_ns > 0 && conf.spread_ns >= 0;
}

repair_encoder repair_encoder_start(const repair_conf &conf, uint32_t first_block) {
    repair_encoder e;
    e.conf = conf;
    e.block = first_block;
    return e;
}

void repair_encoder_add(repair_encoder *e, const uint8_t *p, size_t n, long long now,
                        repair_datagrams *out) {
    repair_encoder_tick(e, now, out);
    bool protect = n >= 1 && n <= REPAIR_MAX_SOURCE;
    if (!e->open.empty()) {
        size_t longest = n;
        for (const auto &d : e->open) longest = std::max(longest, d.size());
        if (!protect || p[0] != e->open[0][0] ||
            repair_size(e->open.size() + 1, longest) > MSG_MAX_DATAGRAM)
            close_block(e, now);
    }
    if (protect) {
        if (e->open.empty()) e->opened = now;
        e->open.emplace_back(p, p + n);
        if (static_cast<int>(e->open.size()) >= e->conf.k) close_block(e, now);
    }
    take_due(e, now, out);
}

void repair_encoder_tick(repair_encoder *e, long long now, repair_datagrams *out) {
    if (!e->open.empty() && now - e->opened >= e->conf.block_ns) close_block(e, now);
    take_due(e, now, out);
}

void repair_encoder_flush(repair_encoder *e, long long now, repair_datagrams *out) {
    close_block(e, now);
    take_due(e, now, out);
}

long long repair_encoder_due(const repair_encoder &e) {
    long long due = LLONG_MAX;
    if (!e.open.empty()) due = e.opened + e.conf.block_ns;
    if (!e.queue.empty()) due = std::min(due, e.queue.front().due);
    return due;
}
