// timing.cc - the timing datagram and the time exchange, read and written.
#include "timing.h"

#include <limits.h>
#include <string.h>

#include "byte_order.h"
#include "mono_clock.h"

int timing_port(int port) {
    return port >= 1 && port <= 65532 ? port + 3 : 0;
}

bool timing_encode(const timing_datagram &t, std::vector<uint8_t> *out) {
    size_t n = t.listed.size();
    if (n < 1 || n > TIMING_MAX_LISTED || t.chnid == 0) return false;
    if (t.sample_rate == 0 || t.sample_rate > TIMING_MAX_RATE) return false;
    out->assign(TIMING_HEADER_SIZE + 4 * n, 0);
    uint8_t *p = out->data();
    p[0] = t.chnid;
    p[1] = TIMING_VERSION;
    p[2] = static_cast<uint8_t>(n);
    put_be32(p + 4, t.sample_rate);
    put_be64(p + 8, static_cast<uint64_t>(t.due));
    put_be32(p + 16, t.first_crc);
    for (size_t i = 0; i < n; i++) {
        put_be16(p + TIMING_HEADER_SIZE + 4 * i, t.listed[i].fingerprint);
        put_be16(p + TIMING_HEADER_SIZE + 4 * i + 2, t.listed[i].samples);
    }
    return true;
}

bool timing_parse(const uint8_t *p, size_t n, timing_datagram *t) {
    if (n < TIMING_HEADER_SIZE || p[0] == 0 || p[1] != TIMING_VERSION) return false;
    size_t count = p[2];
    uint32_t rate = get_be32(p + 4);
    if (count < 1 || count > TIMING_MAX_LISTED || rate == 0 || rate > TIMING_MAX_RATE) return false;
    if (n != TIMING_HEADER_SIZE + 4 * count) return false;
    t->chnid = p[0];
    t->sample_rate = rate;
    t->due = static_cast<long long>(get_be64(p + 8));
    t->first_crc = get_be32(p + 16);
    t->listed.resize(count);
    for (size_t i = 0; i < count; i++) {
        t->listed[i].fingerprint = get_be16(p + TIMING_HEADER_SIZE + 4 * i);
        t->listed[i].samples = get_be16(p + TIMING_HEADER_SIZE + 4 * i + 2);
    }
    return true;
}

long long timing_due_of(const timing_datagram &t, size_t i) {
    long long before = 0;
    for (size_t j = 0; j < i && j < t.listed.size(); j++) before += t.listed[j].samples;
    long long later = before * NS_PER_S / t.sample_rate;  // at most 64 x 65535 s
    return t.due > LLONG_MAX - later ? LLONG_MAX : t.due + later;
}

void time_encode(const time_message &m, uint8_t out[TIME_SIZE]) {
    memset(out, 0, TIME_SIZE);
    memcpy(out, TIME_MAGIC, sizeof TIME_MAGIC);
    out[4] = TIME_VERSION;
    out[5] = m.kind;
    put_be64(out + 8, m.nonce);
    put_be64(out + 16, static_cast<uint64_t>(m.receive));
    put_be64(out + 24, static_cast<uint64_t>(m.transmit));
}

bool time_parse(const uint8_t *p, size_t n, time_message *m) {
    if (n != TIME_SIZE || memcmp(p, TIME_MAGIC, sizeof TIME_MAGIC) != 0 || p[4] != TIME_VERSION)
        return false;
    if (p[5] != TIME_REQUEST && p[5] != TIME_ANSWER) return false;
    m->kind = p[5];
    m->nonce = get_be64(p + 8);
    m->receive = static_cast<long long>(get_be64(p + 16));
    m->transmit = static_cast<long long>(get_be64(p + 24));
    return true;
}
