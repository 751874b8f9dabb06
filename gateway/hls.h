// hls.h - a channel's stream as HTTP Live Streaming (RFC 8216): its whole
// MP3 frames cut into segments of packed audio (section 3.4), each behind
// an ID3 tag that places it in time and names what plays, and the live
// media playlist of the last few. Pure: the caller hands in the frames
// that its scan of the stream found (channel.h), and with each drain's
// bytes the time (monotonic for the gaps, wall-clock for the playlist's
// dates), the server they came from and the title.
//
// Segments are cut only where a frame ends, so the frames of one segment
// continue those of the one before it byte for byte; a segment is closed
// once its frames play for the segment's length, and then never changes.
// Its name, EPOCH-SEQ.mp3, is never used again: EPOCH is the gateway's
// start in milliseconds, and SEQ the media sequence number, which starts
// at the start's second, so it also grows across restarts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "history.h"
#include "table.h"

// Segments listed in the playlist; one more is held after it leaves the
// list, for a player or a cache whose copy of the playlist is a little
// old (RFC 8216 section 6.2.2). Older ones are answered 404.
constexpr size_t HLS_WINDOW = 6;
constexpr size_t HLS_HELD = HLS_WINDOW + 1;
// A segment is cut early rather than grow past this: with HLS_HELD, what
// one channel can hold at most, whatever its bitrate.
constexpr size_t HLS_SEGMENT_MAX_BYTES = 256 * 1024;
// Data that comes once the channel went off the air (the table's silence
// rule, table_on_air_since, applied to its latest bytes), or from another
// server, begins a new segment after a discontinuity; the open segment is
// closed once the channel goes off the air, so that what came before the
// silence is served.

// What every channel's segments share: set once at start.
struct hls_conf {
    long long segment_ns;  // a segment's playing time (--segment)
    uint64_t epoch_ms;     // the start, wall-clock ms: the first part of every name
    uint64_t first_seq;    // the first segment's media sequence number
};

// The conf of a gateway that starts at wall_ns (wall-clock) and cuts
// segments of segment_s seconds.
hls_conf hls_conf_at(int segment_s, long long wall_ns);

struct hls_segment {
    uint64_t seq;
    chunk *body;         // the ID3 tag, then the frames; one reference held
    long long ns;        // the frames' playing time
    long long wall_ns;   // wall-clock time of its first sample, ns since 1970
    bool discontinuity;  // the stream broke before it
};

struct hls_channel {
    std::deque<hls_segment> held;  // oldest first, at most HLS_HELD
    uint64_t next_seq = 0;         // 0: no segment made yet (first_seq is taken then)
    uint64_t dropped_breaks = 0;   // discontinuities of segments no longer held
    // The segment being made: its frames, their time, its first sample's
    // wall-clock time, its title, and whether a break comes before it.
    std::vector<uint8_t> frames;
    long long frames_ns = 0;
    long long open_wall_ns = 0;
    std::string open_title;
    bool open_break = false;
    long long next_wall_ns = -1;  // where the next segment begins; -1: at its arrival
    long long timeline_ns = 0;    // playing time of every frame taken: the ID3 timestamps
    // Where the bytes came from, when the last came (monotonic and
    // wall-clock; last_ns -1: never), and the title then.
    uint64_t source = 0;
    long long last_ns = -1;
    long long last_wall_ns = 0;
    std::string title;
};

// Where a channel's next bytes came from (the server's address and port
// as one number), when (monotonic and wall-clock) and what played then.
struct hls_arrival {
    uint64_t source;
    long long now;
    long long wall_ns;
    std::string title;
};

// Whether bytes that come as a says break the stream: they come from
// another source, or after the channel went off the air.
bool hls_breaks(const hls_channel &c, const hls_arrival &a);

// Takes the arrival of the channel's next bytes, whose frames follow
// (hls_take_frame). When it breaks the stream, the frames before the
// break have all been taken: the open segment is closed, and the next is
// marked as a discontinuity and dated by this arrival.
void hls_take(hls_channel *c, const hls_conf &conf, const hls_arrival &a);

// Takes the next whole frame, frame[0, size), which plays ns; closes the
// segment it completes, its tag naming the title of the arrival that
// opened it.
void hls_take_frame(hls_channel *c, const hls_conf &conf, const uint8_t *frame, size_t size,
                    long long ns);

// Whether the channel went off the air at now since its latest bytes.
bool hls_off_air(const hls_channel &c, long long now);

// The stream stopped, its frames all taken: closes the open segment, so
// that its last seconds are served.
void hls_close(hls_channel *c, const hls_conf &conf);

// Drops every segment held (at shutdown).
void hls_clear(hls_channel *c);

// The live media playlist of the last HLS_WINDOW segments held; "" when
// none is.
std::string hls_playlist(const hls_channel &c, const hls_conf &conf);

// The segment whose name (without the channel's path) is name, exactly as
// hls_segment_name writes it; null when it is not held, or for any other
// spelling of its name.
const hls_segment *hls_find(const hls_channel &c, const hls_conf &conf, const char *name);

// "EPOCH-SEQ.mp3".
std::string hls_segment_name(const hls_conf &conf, uint64_t seq);

// An entity tag, quoted: of a segment, and of the playlist as it is now
// (it changes with each segment made).
std::string hls_segment_etag(const hls_conf &conf, uint64_t seq);
std::string hls_playlist_etag(const hls_channel &c, const hls_conf &conf);

// Whether an If-None-Match header's value (null when not sent) names etag:
// "*", or a list of tags, weak ones (W/) compared as strong.
bool hls_etag_matches(const char *if_none_match, const std::string &etag);

// The ID3v2.4 tag a segment begins with: a PRIV frame owned by
// com.apple.streaming.transportStreamTimestamp with the 33-bit 90 kHz
// timestamp of its first sample (timeline_ns, wrapped), and a TIT2 frame
// with the title in UTF-8 when it is not empty.
std::vector<uint8_t> hls_id3(long long timeline_ns, const std::string &title);
