// mp3_gain.cc - the global gain fields of an MP3 frame's side information.
#include "mp3_gain.h"

#include <algorithm>

namespace {

struct gain_layout {
    int first;   // bit of the first global gain, from the side information's start
    int stride;  // bits from one to the next
    int count;
};

gain_layout layout_of(const mp3_header &h) {
    bool stereo = h.channels == 2;
    if (h.version == 10) return {(stereo ? 20 : 18) + 21, 59, stereo ? 4 : 2};
    return {(stereo ? 10 : 9) + 21, 63, stereo ? 2 : 1};
}

int side_start(const mp3_header &h) {
    return h.crc ? 6 : 4;
}

int side_bytes(const mp3_header &h) {
    bool stereo = h.channels == 2;
    if (h.version == 10) return stereo ? 32 : 17;
    return stereo ? 17 : 9;
}

int get_bits(const uint8_t *p, int bit, int n) {
    int v = 0;
    for (int i = 0; i < n; i++, bit++) v = v << 1 | (p[bit >> 3] >> (7 - (bit & 7)) & 1);
    return v;
}

void put_bits(uint8_t *p, int bit, int n, int v) {
    for (int i = n - 1; i >= 0; i--, bit++) {
        uint8_t mask = static_cast<uint8_t>(0x80 >> (bit & 7));
        p[bit >> 3] = static_cast<uint8_t>((v >> i & 1) ? p[bit >> 3] | mask : p[bit >> 3] & ~mask);
    }
}

// CRC-16 (polynomial 0x8005, from 0xffff) of the header's last two bytes
// and the side information, as the frame's CRC field holds it.
uint16_t frame_crc(const uint8_t *f, const mp3_header &h) {
    uint16_t crc = 0xffff;
    auto add = [&crc](uint8_t byte) {
        for (int i = 7; i >= 0; i--) {
            bool top = (crc >> 15 & 1) != (byte >> i & 1);
            crc = static_cast<uint16_t>(crc << 1);
            if (top) crc ^= 0x8005;
        }
    };
    add(f[2]);
    add(f[3]);
    for (int i = 0; i < side_bytes(h); i++) add(f[6 + i]);
    return crc;
}

}  // namespace

void mp3_frame_gain(uint8_t *f, const mp3_header &h, int steps) {
    if (h.size < side_start(h) + side_bytes(h)) return;
    gain_layout g = layout_of(h);
    uint8_t *side = f + side_start(h);
    for (int i = 0; i < g.count; i++) {
        int bit = g.first + i * g.stride;
        put_bits(side, bit, 8, std::clamp(get_bits(side, bit, 8) + steps, 0, 255));
    }
    if (h.crc) {
        uint16_t crc = frame_crc(f, h);
        f[4] = static_cast<uint8_t>(crc >> 8);
        f[5] = static_cast<uint8_t>(crc);
    }
}

void mp3_frame_global_gains(const uint8_t *f, const mp3_header &h, int gains[4], int *n) {
    *n = 0;
    if (h.size < side_start(h) + side_bytes(h)) return;
    gain_layout g = layout_of(h);
    for (int i = 0; i < g.count; i++)
        gains[(*n)++] = get_bits(f + side_start(h), g.first + i * g.stride, 8);
}
