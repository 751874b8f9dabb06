// mp3_frames.h - finds the audio frames of MPEG audio Layer III (MPEG-1, 2
// and 2.5) in a byte buffer: skips ID3 tags, the Xing/Info/VBRI header
// frame and any other bytes that are not audio frames.
//
// A pure function over bytes: the caller reads a file piece by piece into
// a buffer and asks for the next frame; nothing here does I/O.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <vector>

// MP3_NEED_MORE leaves fewer than this many bytes after skip (the largest
// frame, 1441 bytes, then what must follow it), so a buffer of this size
// always makes progress.
constexpr size_t MP3_MAX_PENDING = 2048;

// One frame header, decoded.
struct mp3_header {
    int version;      // 10: MPEG-1, 20: MPEG-2, 25: MPEG-2.5
    int bitrate;      // bits per second
    int sample_rate;  // Hz
    int channels;     // 1 or 2
    bool crc;         // a 16-bit CRC follows the header
    int size;         // bytes of the whole frame, header included
    int samples;      // samples per channel: 1152 (MPEG-1) or 576
};

// Decodes the 4 header bytes at p. False when they are not the header of a
// Layer III frame (no sync, a reserved version, sample rate or bitrate, or
// the free-format bitrate, which has no size in its header).
bool mp3_parse_header(const uint8_t *p, mp3_header *h);

// Playing time of a frame in nanoseconds (cut to whole nanoseconds).
long long mp3_frame_ns(const mp3_header &h);

enum mp3_step_kind {
    MP3_FRAME,      // an audio frame at buf + skip, h.size bytes long
    MP3_NEED_MORE,  // drop skip bytes of the input, then call again with more
    MP3_END,        // no audio frame in the rest of the input (only when at_eof)
};

struct mp3_step {
    mp3_step_kind kind;
    size_t skip;  // bytes before the frame (or to drop) that are not audio
    mp3_header h;
};

// The next audio frame in buf[0, n); at_eof says that no byte follows the
// buffer. A frame counts when the next frame's header follows it (same
// version and sample rate), so sync bytes inside audio data are not taken
// for frames. A frame in sync (at the start of the input, which the caller
// begins where its previous frame ended, or right after a tag or header
// frame) may also end where the input, an ID3v1 tag at the very end, or an
// ID3v2 tag begins. ID3v2 tags are skipped by their size field, whatever
// sync bytes they hold, and Xing/Info/VBRI header frames like other
// non-audio bytes. For MP3_NEED_MORE skip may exceed n (a tag that runs
// past the buffer): the caller drops that many bytes of the input. Fed
// piece by piece this way, the scan finds the same frames as over the
// whole input at once.
mp3_step mp3_next_frame(const uint8_t *buf, size_t n, bool at_eof);

// A scan of a stream that comes in pieces: the bytes not yet known to hold
// a whole frame, from the stream's offset `offset`, and how many of the
// bytes that come next to pass over (a tag's rest that ran past what came).
struct mp3_stream_scan {
    std::vector<uint8_t> pending;
    uint64_t offset = 0;
    uint64_t skip = 0;
};

// Called for a frame that a scan shows whole: its bytes (h.size of them,
// valid during the call), its header and its offset in the stream.
using mp3_frame_found =
    std::function<void(const uint8_t *frame, const mp3_header &h, uint64_t offset)>;

// Adds p[0, n) to s and calls found for each frame that s now shows whole,
// in order, with mp3_next_frame: the newest frame waits for the next one's
// header unless at_eof says that the stream stops after p.
void mp3_scan_feed(mp3_stream_scan *s, const uint8_t *p, size_t n, bool at_eof,
                   const mp3_frame_found &found);
