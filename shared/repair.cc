// repair.cc - the repair datagram's fields, fingerprints and coefficients.
#include "repair.h"

#include <isa-l/crc.h>
#include <isa-l/erasure_code.h>

#include "byte_order.h"

bool repair_parse(const uint8_t *p, size_t n, repair_header *h) {
    if (n < REPAIR_HEADER_SIZE || p[0] == CHNID_LIST || p[1] != REPAIR_VERSION) return false;
    repair_header got;
    got.chnid = p[0];
    got.block = get_be32(p + 2);
    got.k = p[6];
    got.r = p[7];
    got.index = p[8];
    got.symbol_len = get_be16(p + 10);
    got.block_crc = get_be32(p + 12);
    if (got.k < 1 || got.k > REPAIR_MAX_K || got.r < 1 || got.r > REPAIR_MAX_R) return false;
    if (got.index >= got.r) return false;
    // The symbol holds a 2-byte length and a datagram of at least the id byte.
    if (got.symbol_len < 3) return false;
    size_t table_size = 2 * static_cast<size_t>(got.k);
    if (n != REPAIR_HEADER_SIZE + table_size + got.symbol_len) return false;
    got.table = p + REPAIR_HEADER_SIZE;
    got.symbol = got.table + table_size;
    *h = got;
    return true;
}

uint32_t repair_crc(uint32_t crc, const uint8_t *p, size_t n) {
    return crc32_gzip_refl(crc, p, n);
}

uint16_t repair_fingerprint(const uint8_t *p, size_t n) {
    return static_cast<uint16_t>(repair_crc(0, p, n));
}

uint8_t repair_coefficient(int k, int index, int j) {
    return gf_inv(static_cast<uint8_t>((k + index) ^ j));
}
