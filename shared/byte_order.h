// byte_order.h - big-endian fields of the datagrams the radio defines
// beside the stream messages (repair.h and the ones after it), read and
// written in place.
#pragma once

#include <stddef.h>
#include <stdint.h>

inline uint16_t get_be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t get_be32(const uint8_t *p) {
    return uint32_t{get_be16(p)} << 16 | get_be16(p + 2);
}

inline uint64_t get_be64(const uint8_t *p) {
    return uint64_t{get_be32(p)} << 32 | get_be32(p + 4);
}

// The low 16 bits of v.
inline void put_be16(uint8_t *p, size_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

inline void put_be32(uint8_t *p, uint32_t v) {
    put_be16(p, v >> 16);
    put_be16(p + 2, v & 0xFFFF);
}

inline void put_be64(uint8_t *p, uint64_t v) {
    put_be32(p, static_cast<uint32_t>(v >> 32));
    put_be32(p + 4, static_cast<uint32_t>(v));
}
