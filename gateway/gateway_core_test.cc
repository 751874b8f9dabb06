// Unit tests of the gateway's pure parts: routing, the channel table's
// rules given the time, the history's burst start and lag arithmetic on
// synthetic frames, ICY framing and JSON text.
#include <arpa/inet.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "channel.h"
#include "history.h"
#include "icy.h"
#include "proto_encode.h"
#include "repair_encoder.h"
#include "route.h"
#include "status.h"
#include "table.h"

namespace {

constexpr long long S = 1'000'000'000LL;
constexpr long long MS = 1'000'000LL;

struct route_case {
    const char *name;
    bool get_or_head;
    const char *path;
    route_kind want;
    int chnid;
    bool query = false;  // the URI has a query or a fragment
};
const route_case ROUTES[] = {
    {"page", true, "/", ROUTE_PAGE, 0},
    {"page with a query", true, "/", ROUTE_PAGE, 0, true},
    {"status", true, "/status.json", ROUTE_STATUS, 0},
    {"metrics", true, "/metrics", ROUTE_METRICS, 0},
    {"first channel", true, "/channels/1", ROUTE_CHANNEL, 1},
    {"last channel", true, "/channels/255", ROUTE_CHANNEL, 255},
    {"past the last", true, "/channels/256", ROUTE_NOT_FOUND, 0},
    {"the list's id", true, "/channels/0", ROUTE_NOT_FOUND, 0},
    {"leading zero", true, "/channels/01", ROUTE_NOT_FOUND, 0},
    {"sign", true, "/channels/+1", ROUTE_NOT_FOUND, 0},
    {"four digits that wrap", true, "/channels/1001", ROUTE_NOT_FOUND, 0},
    {"trailing slash", true, "/channels/1/", ROUTE_NOT_FOUND, 0},
    {"HLS playlist", true, "/channels/255/live.m3u8", ROUTE_HLS, 255},
    {"HLS segment", true, "/channels/7/1-2.mp3", ROUTE_SEGMENT, 7},
    {"HLS segment with a query", true, "/channels/7/1-2.mp3", ROUTE_NOT_FOUND, 0, true},
    {"HLS playlist with a query", true, "/channels/7/live.m3u8", ROUTE_HLS, 7, true},
    {"HLS of no channel", true, "/channels/0/live.m3u8", ROUTE_NOT_FOUND, 0},
    {"HLS deeper", true, "/channels/7/x/1-2.mp3", ROUTE_NOT_FOUND, 0},
    {"HLS segment with no name", true, "/channels/7/.mp3", ROUTE_NOT_FOUND, 0},
    {"HLS other file", true, "/channels/7/live.m3u", ROUTE_NOT_FOUND, 0},
    {"no number", true, "/channels/", ROUTE_NOT_FOUND, 0},
    {"empty path", true, "", ROUTE_NOT_FOUND, 0},
    {"favicon", true, "/favicon.ico", ROUTE_NOT_FOUND, 0},
    {"every channel's M3U", true, "/listen.m3u", ROUTE_M3U, 0},
    {"every channel's PLS", true, "/listen.pls", ROUTE_PLS, 0},
    {"one channel's M3U", true, "/channels/255.m3u", ROUTE_M3U, 255},
    {"M3U of the list's id", true, "/channels/0.m3u", ROUTE_NOT_FOUND, 0},
    {"M3U twice", true, "/channels/1.m3u.m3u", ROUTE_NOT_FOUND, 0},
    {"prefix of a name", true, "/status.jsonx", ROUTE_NOT_FOUND, 0},
    {"other method, known path", false, "/", ROUTE_BAD_METHOD, 0},
    {"other method, unknown path", false, "/nothing", ROUTE_BAD_METHOD, 0},
};

TEST(Route, Table) {
    for (const auto &c : ROUTES) {
        SCOPED_TRACE(c.name);
        route r = route_request(c.get_or_head, c.path, c.query);
        EXPECT_EQ(c.want, r.kind);
        EXPECT_EQ(c.chnid, r.chnid);
        EXPECT_EQ(c.query && c.want == ROUTE_HLS, r.query);
        if (c.want == ROUTE_SEGMENT) {
            EXPECT_STREQ("1-2.mp3", r.name);
        }
    }
}

sockaddr_in source(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::vector<uint8_t> list_of(const std::vector<std::pair<int, std::string>> &entries) {
    std::vector<uint8_t> m = encode_list_start();
    for (const auto &e : entries) encode_list_entry(&m, static_cast<uint8_t>(e.first), e.second);
    return m;
}

table_kind take(table *t, const sockaddr_in &from, const std::vector<uint8_t> &m, long long now) {
    return table_take(t, from, m.data(), m.size(), now);
}

// One server's list and data, another's, and the silence rule, as a trace.
TEST(Table, ServerComesFromTheFirstListAndGivesWayOnlyAfterFiveSilentSeconds) {
    table t;
    sockaddr_in a = source("10.0.0.1", 1989), b = source("10.0.0.2", 1989);
    sockaddr_in a_other_port = source("10.0.0.1", 1990);
    std::vector<uint8_t> data1 = encode_data(1, "xyz", 3);
    EXPECT_EQ(TABLE_IGNORED, take(&t, a, data1, 0)) << "data before any list";
    EXPECT_EQ(TABLE_LIST, take(&t, a, list_of({{1, "one\n"}, {2, "two"}}), 1 * S));
    EXPECT_EQ("one", t.ch[1].desc);
    EXPECT_EQ(TABLE_DATA, take(&t, a, data1, 2 * S));
    EXPECT_EQ(TABLE_IGNORED, take(&t, a_other_port, data1, 2 * S)) << "another port";
    EXPECT_EQ(TABLE_IGNORED, take(&t, b, list_of({{7, "seven"}}), 6 * S)) << "a is 4 s quiet";
    EXPECT_EQ(TABLE_IGNORED, take(&t, a, {1}, 6 * S)) << "one byte: no data";
    EXPECT_EQ(TABLE_IGNORED, take(&t, b, data1, 12 * S)) << "data cannot take over";
    EXPECT_EQ(TABLE_LIST, take(&t, b, list_of({{2, "two again"}, {7, "seven"}}), 12 * S));
    EXPECT_EQ(TABLE_IGNORED, take(&t, a, data1, 12 * S)) << "a is no longer the server";
    EXPECT_FALSE(t.ch[1].listed);
    EXPECT_TRUE(t.ch[1].heard);
    EXPECT_EQ("two again", t.ch[2].desc);
    EXPECT_EQ(3u, t.ch[1].bytes);
    EXPECT_EQ(1u, t.ch[1].datagrams);

    // Under -S every datagram comes from one address: the server started
    // again there from another port is taken after the silence, as any is.
    sockaddr_in b_again = source("10.0.0.2", 1995);
    EXPECT_EQ(TABLE_IGNORED, take(&t, b_again, list_of({{7, "seven"}}), 16 * S)) << "4 s quiet";
    EXPECT_EQ(TABLE_LIST, take(&t, b_again, list_of({{7, "seven"}}), 17 * S));
}

TEST(Table, OnAirForFiveSecondsAfterDataAndAnswersFollow) {
    table t;
    sockaddr_in a = source("10.0.0.1", 1989);
    take(&t, a, list_of({{1, "one"}, {3, "three"}}), 0);
    EXPECT_EQ(404, table_channel_status(t, 2, 0)) << "never heard";
    EXPECT_EQ(503, table_channel_status(t, 3, 0)) << "listed, no data yet";
    take(&t, a, encode_data(1, "x", 1), 10 * S);
    struct {
        long long at;
        bool on_air;
    } rows[] = {{10 * S, true}, {15 * S - 1, true}, {15 * S, false}, {99 * S, false}};
    for (const auto &r : rows) {
        SCOPED_TRACE(r.at);
        EXPECT_EQ(r.on_air, table_on_air(t, 1, r.at));
        EXPECT_EQ(r.on_air ? 200 : 503, table_channel_status(t, 1, r.at));
    }
    take(&t, a, encode_data(9, "x", 1), 100 * S);
    EXPECT_EQ(200, table_channel_status(t, 9, 100 * S)) << "data alone makes a channel heard";
    EXPECT_EQ(404, table_channel_status(t, 0, 100 * S));
}

TEST(Table, TitleFromNowPlayingOfTheServerElseTheDescription) {
    table t;
    sockaddr_in a = source("10.0.0.1", 1989);
    take(&t, a, list_of({{1, "jazz"}}), 0);
    struct {
        const char *name, *title, *artist, *file, *want;
    } rows[] = {
        {"both", "So What", "Miles", "a.mp3", "Miles - So What"},
        {"title alone", "So What", "", "a.mp3", "So What"},
        {"file alone", "", "Miles", "a.mp3", "a.mp3"},
        {"nothing", "", "", "", "jazz"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        now_playing np;
        np.chnid = 1;
        np.title = r.title;
        np.artist = r.artist;
        np.file = r.file;
        std::string d = now_playing_encode(np);
        ASSERT_TRUE(
            table_take_now_playing(&t, a, reinterpret_cast<const uint8_t *>(d.data()), d.size()));
        EXPECT_EQ(r.want, table_title(t, 1));
    }
    now_playing np;
    np.chnid = 1;
    np.title = "other";
    std::string d = now_playing_encode(np);
    for (const sockaddr_in &other : {source("10.0.0.9", 1989), source("10.0.0.1", 1990)})
        EXPECT_FALSE(table_take_now_playing(&t, other, reinterpret_cast<const uint8_t *>(d.data()),
                                            d.size()))
            << "another address, or the server's address and another port";
    EXPECT_EQ("jazz", table_title(t, 1));
}

// With --repair only the channels that the server lists have a decoder: a
// flood of repair datagrams naming every other channel holds nothing, and
// a channel that leaves the list hands out what its decoder held.
TEST(Channel, OnlyAListedChannelHoldsARepairDecoder) {
    table t;
    sockaddr_in a = source("10.0.0.1", 1989);
    take(&t, a, list_of({{1, "one"}}), 0);
    std::vector<channel> ch(256);
    for (int id = 1; id < 256; id++) channel_init(&ch[id], &t, static_cast<uint8_t>(id));
    repair_encoder e = repair_encoder_start({1, 1, S, 0}, 7);
    for (int id = 2; id < 256; id++) {
        std::vector<uint8_t> d = encode_data(static_cast<uint8_t>(id), "x", 1);
        repair_datagrams out;
        repair_encoder_add(&e, d.data(), d.size(), 0, &out);
        ASSERT_EQ(1u, out.size());
        EXPECT_FALSE(channel_take_repair(&ch[id], out[0].data(), out[0].size(), S)) << id;
        channel_take_data(&ch[id], d.data(), d.size(), S, true);
        EXPECT_EQ(nullptr, ch[id].decoder) << id;
        EXPECT_EQ(1u, ch[id].pending.size()) << "unlisted: no wait, " << id;
    }
    std::vector<uint8_t> d = encode_data(1, "held", 4);
    channel_take_data(&ch[1], d.data(), d.size(), S, true);
    EXPECT_TRUE(ch[1].pending.empty()) << "held by the decoder";
    take(&t, a, list_of({{2, "two"}}), 2 * S);
    channel_follow_list(&ch[1], 2 * S);
    EXPECT_EQ(nullptr, ch[1].decoder);
    EXPECT_EQ("held", std::string(ch[1].pending.begin(), ch[1].pending.end()));
}

// MPEG-1 Layer III, 128 kbit/s, 44.1 kHz: 417 bytes, 1152 samples.
constexpr size_t FRAME = 417;
constexpr long long FRAME_NS = 1152LL * 1'000'000'000 / 44100;

std::vector<uint8_t> frames(size_t n) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < n; i++) {
        std::vector<uint8_t> f(FRAME, static_cast<uint8_t>(i));
        f[0] = 0xFF, f[1] = 0xFB, f[2] = 0x90, f[3] = 0x00;
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

// The history of ch, channel 1 of t, handed the stream in pieces of
// `piece` bytes from 0 s on, each when it is due at 128 kbit/s (16 bytes a
// millisecond).
history &fed(table *t, channel *ch, const std::vector<uint8_t> &bytes, size_t piece,
             const history_limits &lim) {
    channel_init(ch, t, 1);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        long long now = static_cast<long long>(at) * MS / 16;
        size_t n = std::min(piece, bytes.size() - at);
        ch->pending.assign(bytes.begin() + at, bytes.begin() + at + n);
        chunk_unref(channel_hand_out(ch, {now, now, 1, lim, hls_conf_at(4, 0)}));
    }
    return ch->hist;
}

// Wherever the datagrams cut the frames, a burst starts on a frame and
// holds at least the burst's playing time, and all the bytes from there on
// are held.
TEST(History, BurstStartsOnAFrameWithAtLeastTheBurstHeld) {
    std::vector<uint8_t> bytes = frames(200);
    const size_t pieces[] = {1, 100, 416, 417, 418, 1000, 4096, bytes.size()};
    for (long long burst_ms : {0LL, 100LL, 1000LL, 60000LL}) {
        for (size_t piece : pieces) {
            SCOPED_TRACE("burst " + std::to_string(burst_ms) + " ms, piece " +
                         std::to_string(piece));
            history_limits lim = {burst_ms * MS, 10 * S};
            table t;
            channel ch;
            history &h = fed(&t, &ch, bytes, piece, lim);
            uint64_t from = 0;
            ASSERT_TRUE(history_burst_start(h, lim.burst_ns, &from));
            EXPECT_EQ(0u, from % FRAME);
            // The newest frame is marked once the next header comes: 199.
            long long plays = static_cast<long long>(199 - from / FRAME) * FRAME_NS;
            if (burst_ms < 5000) {
                EXPECT_GE(plays, lim.burst_ns);
                EXPECT_LE(plays, lim.burst_ns + FRAME_NS);
            } else {
                EXPECT_EQ(0u, from) << "all there is";
            }
            ASSERT_FALSE(h.held.empty());
            EXPECT_LE(h.held.front().offset, from);
            EXPECT_EQ(bytes.size(), h.end);
            channel_clear(&ch);
        }
    }
}

TEST(History, NoFrameNoBurstAndOldOrTooManyBytesAreNotHeld) {
    history_limits lim = {1000 * MS, 10 * S};
    std::vector<uint8_t> junk(5000, 0x11);
    table t;
    channel ch, big_ch;
    history &h = fed(&t, &ch, junk, 500, lim);
    uint64_t from;
    EXPECT_FALSE(history_burst_start(h, lim.burst_ns, &from));
    history_trim(&h, 4500 * MS / 16 + lim.burst_ns + HISTORY_HOLD_SLACK_NS + 1, lim);
    EXPECT_TRUE(h.held.empty()) << "older than the burst and the slack";

    history &big =
        fed(&t, &big_ch, std::vector<uint8_t>(3 * HISTORY_HOLD_MAX_BYTES, 0x22), 65000, lim);
    EXPECT_LE(big.held_bytes, HISTORY_HOLD_MAX_BYTES);
    channel_clear(&big_ch);
}

// Offsets to arrival ages: the chunk a byte came in decides; bytes from
// before the oldest arrival kept are older than the lag.
TEST(History, AgeOfAByteIsTheAgeOfItsChunk) {
    history_limits lim = {1000 * MS, 2 * S};
    table t;
    channel ch;
    history &h = fed(&t, &ch, frames(100), 1600, lim);  // 27 chunks, one every 100 ms
    long long now = 5 * S;
    EXPECT_EQ(now, history_age_ns(h, 0, now));
    EXPECT_EQ(now, history_age_ns(h, 1599, now));
    EXPECT_EQ(now - 100 * MS, history_age_ns(h, 1600, now));
    EXPECT_EQ(now - 2600 * MS, history_age_ns(h, h.end - 1, now));
    history_trim(&h, now + lim.lag_ns + HISTORY_ARRIVAL_SLACK_NS, lim);
    EXPECT_EQ(-1, history_age_ns(h, 0, now)) << "forgotten";
    EXPECT_GE(history_age_ns(h, h.end - 1, now), 0) << "the last arrival stays";
    channel_clear(&ch);
}

// Listeners take their bytes from the held chunks at their flush: with no
// burst to keep, the chunks from the first byte one has still to take stay.
TEST(History, ChunksAListenerHasStillToTakeStayHeld) {
    history_limits lim = {0, 10 * S};
    table t;
    channel ch;
    history &h = fed(&t, &ch, frames(20), 417, lim);
    size_t newest = h.held.size();  // what the burst's rule keeps: the newest frame's chunks
    uint64_t from = h.end - 100;
    h.pull_from = from;
    for (long long now = 1 * S; now < 2 * S; now += 100 * MS) {
        ch.pending = frames(1);
        chunk_unref(channel_hand_out(&ch, {now, now, 1, lim, hls_conf_at(4, 0)}));
    }
    ASSERT_FALSE(h.held.empty());
    EXPECT_LE(h.held.front().offset, from);
    EXPECT_EQ(from + 100, h.held.front().offset + h.held.front().c->bytes.size()) << "and no more";
    h.pull_from = UINT64_MAX;
    history_trim(&h, 2 * S, lim);
    EXPECT_EQ(newest, h.held.size()) << "taken: the burst's rule again";
    channel_clear(&ch);
}

TEST(Icy, BlocksCarryTheTitlePaddedToSixteenAndCutWhole) {
    EXPECT_EQ(std::string("\x01StreamTitle='';", 17), icy_block(""));
    std::string b = icy_block("A - B");
    EXPECT_EQ(2, b[0]);
    EXPECT_EQ(33u, b.size());
    EXPECT_EQ(0, b.compare(1, 20, "StreamTitle='A - B';"));
    EXPECT_EQ(std::string(12, '\0'), b.substr(21));
    EXPECT_EQ(std::string("\x02StreamTitle='a b';", 20), icy_block("a\nb").substr(0, 20));
    std::string euro(6000, '\0');
    for (size_t i = 0; i < euro.size(); i += 2) euro.replace(i, 2, "\xC3\xA9");  // é
    std::string cut = icy_block(euro);
    EXPECT_EQ(1 + ICY_BLOCK_MAX, cut.size());
    EXPECT_EQ(255, static_cast<uint8_t>(cut[0]));
    size_t quote = cut.rfind("';");
    ASSERT_NE(std::string::npos, quote);
    EXPECT_EQ(0u, (quote - 14) % 2) << "no half character before the quote";

    // A quote in the title would end the field: it becomes U+2019, and
    // the block holds one field, even when cut.
    EXPECT_STREQ("StreamTitle='x\u2019;StreamUrl=\u2019http://e.invalid/\u2019;';",
                 icy_block("x';StreamUrl='http://e.invalid/';").substr(1).c_str());
    std::string quotes = icy_block(std::string(2000, '\''));
    EXPECT_EQ(1 + ICY_BLOCK_MAX, quotes.size());
    EXPECT_EQ(quotes.find('\''), quotes.rfind('\'', quotes.rfind("';") - 1)) << "none inside";
    EXPECT_EQ(0u, (quotes.rfind("';") - 14) % 3) << "no third of a character before the quote";
}

// A listener's audio in pieces of various sizes: a block after exactly
// every ICY_METAINT audio bytes, full when the title changed, else empty.
TEST(Icy, BlocksFallEveryMetaintBytesAndRepeatOnlyChangedTitles) {
    icy_state s;
    size_t audio = 0, blocks = 0, full = 0;
    const size_t pieces[] = {1, 15999, 16000, 16001, 40000, 7, 65000};
    std::string title = "one";
    for (size_t len : pieces) {
        while (len > 0) {
            bool due;
            size_t n = icy_next_piece(s, len, &due);
            ASSERT_GT(n, 0u);
            icy_sent(&s, n);
            audio += n;
            len -= n;
            if (!due) continue;
            EXPECT_EQ(0u, audio % ICY_METAINT);
            std::string b = icy_due_block(&s, title);
            blocks++;
            if (b.size() > 1) full++;
            if (blocks == 3) title = "two";
        }
    }
    EXPECT_EQ(audio / ICY_METAINT, blocks);
    EXPECT_EQ(2u, full) << "the first block, and the one after the change";
}

TEST(Status, JsonStringsEscapeQuotesBackslashesAndControls) {
    EXPECT_EQ("\"a\\\"b\\\\c\"", json_string("a\"b\\c"));
    EXPECT_EQ("\"\\u0001\\u001f\\u007f\"", json_string("\x01\x1f\x7f"));
    EXPECT_EQ("\"\xC3\xA9\"", json_string("\xC3\xA9"));
}

}  // namespace
