// mp3_frames.cc - Layer III frame headers and the frame scan.
#include "mp3_frames.h"

#include <string.h>

#include <algorithm>

namespace {

// Layer III bitrates in kbit/s by header index; 0 is free format, -1 reserved.
const int BITRATE_MPEG1[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                               112, 128, 160, 192, 224, 256, 320, -1};
const int BITRATE_MPEG2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1};
const int SAMPLE_RATE_MPEG1[3] = {44100, 48000, 32000};

constexpr size_t ID3V2_HEADER = 10;
constexpr size_t ID3V1_SIZE = 128;

bool starts_with(const uint8_t *p, size_t n, const char *tag) {
    size_t len = strlen(tag);
    return n >= len && memcmp(p, tag, len) == 0;
}

// Size of the ID3v2 tag at p (header, body and footer), or 0 when p[0, 10)
// is no such tag header. The size is four 7-bit bytes.
size_t id3v2_size(const uint8_t *p) {
    if (memcmp(p, "ID3", 3) != 0 || p[3] == 0xFF || p[4] == 0xFF) return 0;
    if ((p[6] | p[7] | p[8] | p[9]) & 0x80) return 0;
    size_t body = (size_t{p[6]} << 21) | (size_t{p[7]} << 14) | (size_t{p[8]} << 7) | p[9];
    bool footer = p[5] & 0x10;
    return ID3V2_HEADER + body + (footer ? ID3V2_HEADER : 0);
}

// The encoder's header frame (Xing or Info, after the side information, or
// VBRI at a fixed place): it carries no audio.
bool is_header_frame(const uint8_t *f, const mp3_header &h) {
    int side = h.version == 10 ? (h.channels == 1 ? 17 : 32) : (h.channels == 1 ? 9 : 17);
    size_t at = 4 + (h.crc ? 2 : 0) + static_cast<size_t>(side);
    size_t size = static_cast<size_t>(h.size);
    if (at + 4 <= size && (memcmp(f + at, "Xing", 4) == 0 || memcmp(f + at, "Info", 4) == 0))
        return true;
    return 36 + 4 <= size && memcmp(f + 36, "VBRI", 4) == 0;
}

enum follow_kind { FOLLOW_YES, FOLLOW_NO, FOLLOW_NEED_MORE };

// Whether what follows the frame h at buf[at, n) shows it to be a real
// frame. A frame found by resyncing over stray bytes (not in_sync) needs
// the next frame's header; one in sync may also end where the input, an
// ID3v1 tag at the very end or an ID3v2 tag begins.
follow_kind followed_well(const uint8_t *buf, size_t n, size_t at, bool at_eof, bool in_sync,
                          const mp3_header &h) {
    size_t rest = n - at;
    const uint8_t *q = buf + at;
    if (rest < 4 && !at_eof) return FOLLOW_NEED_MORE;
    if (in_sync) {
        if (rest == 0 || (rest < 4 && at_eof)) return FOLLOW_YES;
        if (starts_with(q, rest, "ID3")) return FOLLOW_YES;
        if (starts_with(q, rest, "TAG")) {
            if (rest == ID3V1_SIZE && at_eof) return FOLLOW_YES;
            if (rest <= ID3V1_SIZE && !at_eof) return FOLLOW_NEED_MORE;
        }
    }
    if (rest < 4) return FOLLOW_NO;
    mp3_header next;
    if (!mp3_parse_header(q, &next)) return FOLLOW_NO;
    return next.version == h.version && next.sample_rate == h.sample_rate ? FOLLOW_YES : FOLLOW_NO;
}

// Where the scan stands: p, and whether p is where a frame, a tag or a
// header frame ended (or the input began); in_sync is false while the scan
// resyncs over stray bytes.
struct scan_at {
    size_t p = 0;
    bool in_sync = true;
};

// Asks for more input. A candidate found by resyncing keeps one byte
// before it, so that the next call does not take it for one in sync.
mp3_step need_more(const scan_at &s) {
    return {MP3_NEED_MORE, s.in_sync ? s.p : s.p - 1, {}};
}

// Passes over the byte at s->p, where no frame starts.
void resync(scan_at *s) {
    s->p++;
    s->in_sync = false;
}

}  // namespace

bool mp3_parse_header(const uint8_t *p, mp3_header *h) {
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    int version_bits = (p[1] >> 3) & 3;  // 0: MPEG-2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
    int layer_bits = (p[1] >> 1) & 3;    // 1: Layer III
    int bitrate_index = p[2] >> 4;
    int rate_index = (p[2] >> 2) & 3;
    if (version_bits == 1 || layer_bits != 1 || rate_index == 3) return false;
    bool mpeg1 = version_bits == 3;
    int kbps = mpeg1 ? BITRATE_MPEG1[bitrate_index] : BITRATE_MPEG2[bitrate_index];
    if (kbps <= 0) return false;
    h->version = mpeg1 ? 10 : version_bits == 2 ? 20 : 25;
    h->sample_rate = SAMPLE_RATE_MPEG1[rate_index] / (mpeg1 ? 1 : version_bits == 2 ? 2 : 4);
    h->bitrate = kbps * 1000;
    h->channels = (p[3] >> 6) == 3 ? 1 : 2;
    h->crc = (p[1] & 1) == 0;
    h->samples = mpeg1 ? 1152 : 576;
    int padding = (p[2] >> 1) & 1;
    h->size = (mpeg1 ? 144 : 72) * h->bitrate / h->sample_rate + padding;
    return true;
}

long long mp3_frame_ns(const mp3_header &h) {
    return static_cast<long long>(h.samples) * 1000000000 / h.sample_rate;
}

mp3_step mp3_next_frame(const uint8_t *buf, size_t n, bool at_eof) {
    scan_at s;
    while (s.p < n) {
        size_t left = n - s.p;
        if (starts_with(buf + s.p, left, "ID3")) {
            if (left < ID3V2_HEADER) {
                if (!at_eof) return need_more(s);
            } else if (size_t tag = id3v2_size(buf + s.p); tag > 0) {
                if (tag > left)
                    return at_eof ? mp3_step{MP3_END, 0, {}}
                                  : mp3_step{MP3_NEED_MORE, s.p + tag, {}};
                s = {s.p + tag, true};
                continue;
            }
        }
        if (left < 4) {
            if (!at_eof) return need_more(s);
            break;
        }
        mp3_header h;
        if (buf[s.p] != 0xFF || !mp3_parse_header(buf + s.p, &h)) {
            resync(&s);
            continue;
        }
        size_t size = static_cast<size_t>(h.size);
        if (size > left) {
            if (!at_eof) return need_more(s);
            resync(&s);
            continue;
        }
        follow_kind f = followed_well(buf, n, s.p + size, at_eof, s.in_sync, h);
        if (f == FOLLOW_NEED_MORE) return need_more(s);
        if (f == FOLLOW_NO) {
            resync(&s);
            continue;
        }
        if (!is_header_frame(buf + s.p, h)) return {MP3_FRAME, s.p, h};
        s = {s.p + size, true};  // the encoder's header frame, passed over
    }
    if (!at_eof) return need_more(s);
    return {MP3_END, 0, {}};
}

void mp3_scan_feed(mp3_stream_scan *s, const uint8_t *p, size_t n, bool at_eof,
                   const mp3_frame_found &found) {
    size_t passed = static_cast<size_t>(std::min<uint64_t>(s->skip, n));
    s->skip -= passed;
    s->offset += passed;
    s->pending.insert(s->pending.end(), p + passed, p + n);
    size_t at = 0;
    for (;;) {
        mp3_step st = mp3_next_frame(s->pending.data() + at, s->pending.size() - at, at_eof);
        if (st.kind == MP3_FRAME) {
            found(s->pending.data() + at + st.skip, st.h, s->offset + at + st.skip);
            at += st.skip + static_cast<size_t>(st.h.size);
            continue;
        }
        size_t drop = static_cast<size_t>(std::min<uint64_t>(st.skip, s->pending.size() - at));
        s->skip = st.skip - drop;  // a tag that runs past what came
        at += drop;
        break;
    }
    s->pending.erase(s->pending.begin(), s->pending.begin() + static_cast<long>(at));
    s->offset += at;
}
