// hls.cc - the segmenter, the segments' ID3 tags and the live playlist.
#include "hls.h"

#include <inttypes.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

#include "mono_clock.h"

namespace {

constexpr char PRIV_OWNER[] = "com.apple.streaming.transportStreamTimestamp";
constexpr uint64_t TIMESTAMP_MASK = (uint64_t{1} << 33) - 1;  // 33 bits of 90 kHz

// Four 7-bit bytes, as ID3v2.4 writes every size.
void put_syncsafe(std::vector<uint8_t> *out, uint32_t v) {
    for (int shift = 21; shift >= 0; shift -= 7) out->push_back((v >> shift) & 0x7F);
}

void put_frame(std::vector<uint8_t> *out, const char *id, const std::vector<uint8_t> &body) {
    out->insert(out->end(), id, id + 4);
    put_syncsafe(out, static_cast<uint32_t>(body.size()));
    out->push_back(0);  // no flags
    out->push_back(0);
    out->insert(out->end(), body.begin(), body.end());
}

// Ends the segment being made, when it has frames: it is held, named by
// the next sequence number, and the oldest held beyond HLS_HELD goes.
void close_segment(hls_channel *c, const hls_conf &conf) {
    if (c->frames.empty()) return;
    if (c->next_seq == 0) c->next_seq = conf.first_seq;
    long long start_ns = c->timeline_ns - c->frames_ns;
    std::vector<uint8_t> body = hls_id3(start_ns, c->open_title);
    body.insert(body.end(), c->frames.begin(), c->frames.end());
    c->held.push_back(
        {c->next_seq++, chunk_new(std::move(body)), c->frames_ns, c->open_wall_ns, c->open_break});
    c->next_wall_ns = c->open_wall_ns + c->frames_ns;
    c->frames.clear();
    c->frames_ns = 0;
    c->open_break = false;
    while (c->held.size() > HLS_HELD) {
        c->dropped_breaks += c->held.front().discontinuity;
        chunk_unref(c->held.front().body);
        c->held.pop_front();
    }
}

void put_u64(char *out, size_t size, uint64_t v) {
    snprintf(out, size, "%" PRIu64, v);
}

// "2026-12-08T22:23:03.123Z".
std::string iso_time(long long wall_ns) {
    time_t s = static_cast<time_t>(wall_ns / NS_PER_S);
    tm t;
    gmtime_r(&s, &t);
    char text[40];
    size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &t);
    snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(wall_ns % NS_PER_S / 1'000'000));
    return text;
}

// The target duration: the longest listed segment, rounded to the nearest
// second, and never below --segment.
long long target_s(const hls_channel &c, const hls_conf &conf, size_t first) {
    long long t = (conf.segment_ns + NS_PER_S / 2) / NS_PER_S;
    for (size_t i = first; i < c.held.size(); i++)
        t = std::max(t, (c.held[i].ns + NS_PER_S / 2) / NS_PER_S);
    return t;
}

// A decimal number of at most 19 digits that is all of text[0, len).
bool decimal(const char *text, size_t len, uint64_t *v) {
    if (len == 0 || len > 19 || strspn(text, "0123456789") < len) return false;
    *v = 0;
    for (size_t i = 0; i < len; i++) *v = *v * 10 + static_cast<uint64_t>(text[i] - '0');
    return true;
}

}  // namespace

hls_conf hls_conf_at(int segment_s, long long wall_ns) {
    uint64_t ms = static_cast<uint64_t>(wall_ns / 1'000'000);
    return {segment_s * NS_PER_S, ms, ms / 1000};
}

bool hls_breaks(const hls_channel &c, const hls_arrival &a) {
    return hls_off_air(c, a.now) || (c.last_ns >= 0 && a.source != c.source);
}

void hls_take(hls_channel *c, const hls_conf &conf, const hls_arrival &a) {
    if (hls_breaks(*c, a)) {
        close_segment(c, conf);
        c->open_break = !c->held.empty() || c->next_seq != 0;
        c->next_wall_ns = -1;  // the timeline starts again at the arrival
    }
    c->source = a.source;
    c->last_ns = a.now;
    c->last_wall_ns = a.wall_ns;
    c->title = a.title;
}

// Cut before the frame when it would pass HLS_SEGMENT_MAX_BYTES, after it
// once the segment is long enough.
void hls_take_frame(hls_channel *c, const hls_conf &conf, const uint8_t *frame, size_t size,
                    long long ns) {
    if (c->frames.size() + size > HLS_SEGMENT_MAX_BYTES) close_segment(c, conf);
    if (c->frames.empty()) {
        c->open_wall_ns = c->next_wall_ns >= 0 ? c->next_wall_ns : c->last_wall_ns;
        c->open_title = c->title;
    }
    c->frames.insert(c->frames.end(), frame, frame + size);
    c->frames_ns += ns;
    c->timeline_ns += ns;
    if (c->frames_ns >= conf.segment_ns) close_segment(c, conf);
}

bool hls_off_air(const hls_channel &c, long long now) {
    return c.last_ns >= 0 && !table_on_air_since(c.last_ns, now);
}

void hls_close(hls_channel *c, const hls_conf &conf) {
    close_segment(c, conf);
}

void hls_clear(hls_channel *c) {
    for (hls_segment &s : c->held) chunk_unref(s.body);
    c->held.clear();
}

std::string hls_playlist(const hls_channel &c, const hls_conf &conf) {
    if (c.held.empty()) return "";
    size_t first = c.held.size() - std::min(c.held.size(), HLS_WINDOW);
    uint64_t breaks = c.dropped_breaks;
    for (size_t i = 0; i < first; i++) breaks += c.held[i].discontinuity;
    std::string out = "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:" +
                      std::to_string(target_s(c, conf, first)) +
                      "\n#EXT-X-MEDIA-SEQUENCE:" + std::to_string(c.held[first].seq) +
                      "\n#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string(breaks) + "\n";
    for (size_t i = first; i < c.held.size(); i++) {
        const hls_segment &s = c.held[i];
        char extinf[48];
        snprintf(extinf, sizeof extinf, "#EXTINF:%.3f,\n", static_cast<double>(s.ns) / 1e9);
        if (s.discontinuity) out += "#EXT-X-DISCONTINUITY\n";
        out += "#EXT-X-PROGRAM-DATE-TIME:" + iso_time(s.wall_ns) + "\n" + extinf +
               hls_segment_name(conf, s.seq) + "\n";
    }
    return out;
}

// Only the name that hls_segment_name writes: each segment has that one
// name, so a cache in front keeps one copy of it rather than one for each
// spelling of its numbers ("-0123.mp3" for "-123.mp3").
const hls_segment *hls_find(const hls_channel &c, const hls_conf &conf, const char *name) {
    const char *dash = strchr(name, '-');
    uint64_t seq;
    if (dash == nullptr || c.held.empty() || !decimal(dash + 1, strcspn(dash + 1, "."), &seq) ||
        seq < c.held.front().seq || seq - c.held.front().seq >= c.held.size() ||
        hls_segment_name(conf, seq) != name)
        return nullptr;
    return &c.held[seq - c.held.front().seq];
}

std::string hls_segment_name(const hls_conf &conf, uint64_t seq) {
    char epoch[24], n[24];
    put_u64(epoch, sizeof epoch, conf.epoch_ms);
    put_u64(n, sizeof n, seq);
    return std::string(epoch) + "-" + n + ".mp3";
}

std::string hls_segment_etag(const hls_conf &conf, uint64_t seq) {
    std::string name = hls_segment_name(conf, seq);
    return "\"" + name.substr(0, name.size() - 4) + "\"";
}

std::string hls_playlist_etag(const hls_channel &c, const hls_conf &conf) {
    uint64_t last = c.held.empty() ? 0 : c.held.back().seq;
    std::string name = hls_segment_name(conf, last);
    return "\"" + name.substr(0, name.size() - 4) + ".m3u8\"";
}

bool hls_etag_matches(const char *if_none_match, const std::string &etag) {
    if (if_none_match == nullptr) return false;
    std::string list = if_none_match;
    size_t at = 0;
    while (at <= list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        std::string tag = list.substr(at, end - at);
        size_t from = tag.find_first_not_of(" \t");
        tag = from == std::string::npos ? ""
                                        : tag.substr(from, tag.find_last_not_of(" \t") + 1 - from);
        if (tag.compare(0, 2, "W/") == 0) tag.erase(0, 2);
        if (tag == "*" || tag == etag) return true;
        at = end + 1;
    }
    return false;
}

std::vector<uint8_t> hls_id3(long long timeline_ns, const std::string &title) {
    std::vector<uint8_t> priv(PRIV_OWNER, PRIV_OWNER + sizeof PRIV_OWNER);  // with its NUL
    uint64_t ts = static_cast<uint64_t>(timeline_ns) * 9 / 100'000 & TIMESTAMP_MASK;
    for (int shift = 56; shift >= 0; shift -= 8) priv.push_back((ts >> shift) & 0xFF);
    std::vector<uint8_t> frames;
    put_frame(&frames, "PRIV", priv);
    if (!title.empty()) {
        std::vector<uint8_t> text = {3};  // UTF-8
        text.insert(text.end(), title.begin(), title.end());
        put_frame(&frames, "TIT2", text);
    }
    std::vector<uint8_t> tag = {'I', 'D', '3', 4, 0, 0};  // version 2.4.0, no flags
    put_syncsafe(&tag, static_cast<uint32_t>(frames.size()));
    tag.insert(tag.end(), frames.begin(), frames.end());
    return tag;
}
