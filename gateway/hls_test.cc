// Unit tests of the HLS segmenter, tags and playlist on synthetic frames,
// handed out through a channel as the gateway does: what a player and a
// cache rely on (whole frames, continuity, breaks, the window, names and
// tags), with the time handed in.
#include "hls.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel.h"
#include "mp3_frames.h"

namespace {

constexpr long long S = 1'000'000'000LL;
constexpr long long WALL = 1'796'860'800LL * S;  // 2026-12-10T00:00:00Z
const hls_conf CONF = {1 * S, 1'796'860'800'123ULL, 1'796'860'800ULL};
// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: 417 bytes, 26.12 ms; 39 make a
// segment of one second.
constexpr uint8_t HEADER[4] = {0xFF, 0xFB, 0x90, 0x00};
constexpr size_t FRAME = 417;
constexpr size_t PER_SEGMENT = 39;
const history_limits LIMITS = {1 * S, 10 * S};

// n frames, each told apart by its fill byte.
std::string frames(size_t n, size_t first = 0) {
    std::string out;
    for (size_t i = first; i < first + n; i++) {
        out.append(reinterpret_cast<const char *>(HEADER), 4);
        out.append(FRAME - 4, static_cast<char>(1 + i % 100));
    }
    return out;
}

// The segments of ch as the gateway holds channel 1 of t, its title "Song".
hls_channel &tune(table *t, channel *ch) {
    channel_init(ch, t, 1);
    t->ch[1].desc = "Song";
    return ch->hls;
}

// bytes handed out to ch in pieces, as drains of the sockets do.
void take(channel *ch, const std::string &bytes, size_t piece, long long now, uint64_t source = 1,
          const hls_conf &conf = CONF) {
    for (size_t at = 0; at < bytes.size(); at += piece) {
        std::string p = bytes.substr(at, piece);
        ch->pending.assign(p.begin(), p.end());
        chunk_unref(channel_hand_out(ch, {now, WALL + now, source, LIMITS, conf}));
    }
}

// A segment's bytes after its ID3 tag.
std::string audio_of(const hls_segment &s) {
    const std::vector<uint8_t> &b = s.body->bytes;
    size_t tag = 10 + (size_t{b[6]} << 21 | size_t{b[7]} << 14 | size_t{b[8]} << 7 | b[9]);
    return std::string(b.begin() + static_cast<long>(tag), b.end());
}

std::string all_audio(const hls_channel &c) {
    std::string out;
    for (const hls_segment &s : c.held) out += audio_of(s);
    return out;
}

TEST(HlsSegments, WholeFramesContinuingByteForByteWhereverTheBytesAreSplit) {
    for (size_t piece : {size_t{1}, size_t{7}, FRAME - 1, FRAME, FRAME + 1, size_t{1400}}) {
        SCOPED_TRACE(piece);
        table t;
        channel ch;
        hls_channel &c = tune(&t, &ch);
        take(&ch, frames(PER_SEGMENT * 3 + 5), piece, 0);
        ASSERT_EQ(3u, c.held.size());
        EXPECT_EQ(frames(PER_SEGMENT * 3), all_audio(c));
        for (size_t i = 0; i < 3; i++) {
            EXPECT_EQ(CONF.first_seq + i, c.held[i].seq);
            EXPECT_EQ(static_cast<long long>(PER_SEGMENT) * (1152 * S / 44100), c.held[i].ns);
            EXPECT_FALSE(c.held[i].discontinuity);
        }
        channel_clear(&ch);
    }
}

// A new server or a gap as long as off the air breaks the stream: the last
// frame before it is served, the segment after it starts anew. A pause
// shorter than that does not.
TEST(HlsSegments, ANewServerOrAGapOffTheAirIsADiscontinuity) {
    struct row {
        const char *name;
        uint64_t source;
        long long at;
        bool breaks;
    } rows[] = {
        {"another server", 2, 1 * S, true},
        {"off the air", 1, TABLE_SILENCE_NS, true},
        {"a pause", 1, TABLE_SILENCE_NS - 1, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        table t;
        channel ch;
        hls_channel &c = tune(&t, &ch);
        take(&ch, frames(PER_SEGMENT + 10), 1000, 0);
        take(&ch, frames(PER_SEGMENT + 1, 200), 1000, r.at, r.source);
        ASSERT_EQ(r.breaks ? 3u : 2u, c.held.size());
        size_t after = r.breaks ? PER_SEGMENT : PER_SEGMENT - 10;
        EXPECT_EQ(frames(PER_SEGMENT + 10) + frames(after, 200), all_audio(c));
        EXPECT_EQ(r.breaks, c.held.back().discontinuity);
        if (r.breaks) {
            EXPECT_EQ(WALL + r.at, c.held.back().wall_ns) << "dated by its arrival";
        }
        std::string list = hls_playlist(c, CONF);
        EXPECT_EQ(r.breaks, list.find("#EXT-X-DISCONTINUITY\n") != std::string::npos) << list;
        channel_clear(&ch);
    }
}

TEST(HlsSegments, SilenceClosesTheOpenSegmentWithItsLastFrame) {
    table t;
    channel ch;
    hls_channel &c = tune(&t, &ch);
    take(&ch, frames(10), 1000, 0);
    channel_tick(&ch, LIMITS, CONF, TABLE_SILENCE_NS - 1);
    EXPECT_TRUE(c.held.empty());
    channel_tick(&ch, LIMITS, CONF, TABLE_SILENCE_NS);
    ASSERT_EQ(1u, c.held.size());
    EXPECT_EQ(frames(10), all_audio(c));
    channel_clear(&ch);
}

TEST(HlsSegments, ASegmentNeverHoldsMoreThanItsMaximum) {
    hls_conf long_segments = CONF;
    long_segments.segment_ns = 3600 * S;
    table t;
    channel ch;
    hls_channel &c = tune(&t, &ch);
    take(&ch, frames(2000), 2000 * FRAME, 0, 1, long_segments);
    ASSERT_GE(c.held.size(), 3u);
    for (const hls_segment &s : c.held) EXPECT_LE(audio_of(s).size(), HLS_SEGMENT_MAX_BYTES);
    channel_clear(&ch);
}

// The playlist as a player reads it: its fields, the dates continuing from
// segment to segment, and the window sliding with the discontinuity
// sequence; a segment that left the window is no longer found, and one
// held is found by its own name alone.
TEST(HlsPlaylist, FieldsDatesAndTheSlidingWindow) {
    table t;
    channel ch;
    hls_channel &c = tune(&t, &ch);
    take(&ch, frames(PER_SEGMENT * 2 + 1), 1000, 0);
    std::string e = std::to_string(CONF.epoch_ms) + "-";
    EXPECT_EQ(
        "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:1\n"
        "#EXT-X-MEDIA-SEQUENCE:1796860800\n#EXT-X-DISCONTINUITY-SEQUENCE:0\n"
        "#EXT-X-PROGRAM-DATE-TIME:2026-12-10T00:00:00.000Z\n#EXTINF:1.019,\n" +
            e + "1796860800.mp3\n" +
            "#EXT-X-PROGRAM-DATE-TIME:2026-12-10T00:00:01.018Z\n#EXTINF:1.019,\n" + e +
            "1796860801.mp3\n",
        hls_playlist(c, CONF));
    take(&ch, frames(PER_SEGMENT * 2), 1000, 1 * S, 2);  // a new server
    take(&ch, frames(PER_SEGMENT * 6), 1000, 2 * S, 2);
    ASSERT_EQ(HLS_HELD, c.held.size());
    std::string list = hls_playlist(c, CONF);
    EXPECT_NE(std::string::npos, list.find("#EXT-X-MEDIA-SEQUENCE:1796860804\n")) << list;
    EXPECT_NE(std::string::npos, list.find("#EXT-X-DISCONTINUITY-SEQUENCE:1\n")) << list;
    EXPECT_EQ(std::string::npos, list.find("#EXT-X-DISCONTINUITY\n")) << list;
    size_t listed = 0;
    for (size_t at = list.find("#EXTINF"); at != std::string::npos;
         at = list.find("#EXTINF", at + 1))
        listed++;
    EXPECT_EQ(HLS_WINDOW, listed);
    EXPECT_EQ(nullptr, hls_find(c, CONF, (e + "1796860802.mp3").c_str())) << "left";
    EXPECT_NE(nullptr, hls_find(c, CONF, (e + "1796860803.mp3").c_str())) << "held, unlisted";
    EXPECT_EQ(&c.held.back(), hls_find(c, CONF, (e + "1796860809.mp3").c_str()));
    for (const char *bad : {"1796860800122-1796860809.mp3", "1796860800123-1796860810.mp3",
                            "1796860800123-1796860809.mp", "1796860800123-+796860809.mp3",
                            "-1796860809.mp3", "live.m3u8", "1796860800123-01796860809.mp3",
                            "01796860800123-1796860809.mp3", "1796860800123-1796860809.mp3.mp3"})
        EXPECT_EQ(nullptr, hls_find(c, CONF, bad)) << bad;
    channel_clear(&ch);
}

TEST(HlsTags, Id3CarriesTheTimestampAndTheTitleAndFramesFollowIt) {
    // 2^33 + 90001 ticks of 90 kHz: the timestamp wraps to 90001.
    std::vector<uint8_t> tag = hls_id3(((1LL << 33) + 90'001) * 100'000 / 9, "Miles - So");
    std::string priv = std::string("PRIV\0\0\0\x35\0\0", 10) +
                       "com.apple.streaming.transportStreamTimestamp" +
                       std::string("\0\0\0\0\0\0\x01\x5f\x91", 9);
    std::string tit2 = std::string("TIT2\0\0\0\x0b\0\0\x03", 11) + "Miles - So";
    std::string want = std::string("ID3\x04\0\0\0\0\0", 9) +
                       static_cast<char>(priv.size() + tit2.size()) + priv + tit2;
    EXPECT_EQ(want, std::string(tag.begin(), tag.end()));
    std::vector<uint8_t> untitled = hls_id3(0, "");
    EXPECT_EQ(std::string::npos, std::string(untitled.begin(), untitled.end()).find("TIT2"));
    // A player's frame scan passes over the tag to the first frame.
    std::string seg = std::string(tag.begin(), tag.end()) + frames(2);
    mp3_step s = mp3_next_frame(reinterpret_cast<const uint8_t *>(seg.data()), seg.size(), true);
    EXPECT_EQ(MP3_FRAME, s.kind);
    EXPECT_EQ(tag.size(), s.skip);
}

TEST(HlsTags, IfNoneMatch) {
    const std::string tag = "\"1-2\"";
    struct row {
        const char *header;
        bool matches;
    } rows[] = {
        {nullptr, false},      {"\"1-2\"", true}, {"W/\"1-2\"", true}, {"\"1-3\", \"1-2\"", true},
        {" \"1-2\" ,x", true}, {"*", true},       {"\"1-3\"", false},  {"1-2", false},
        {"\"1-2", false},      {"", false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.header ? r.header : "(none)");
        EXPECT_EQ(r.matches, hls_etag_matches(r.header, tag));
    }
}

}  // namespace
