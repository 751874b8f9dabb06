// The now-playing datagram: what a writer cleans and what a reader accepts.
#include "now_playing.h"

#include <gtest/gtest.h>

namespace {

bool parse(const std::string &text, now_playing *np) {
    return now_playing_parse(reinterpret_cast<const uint8_t *>(text.data()), text.size(), np);
}

TEST(NowPlaying, WrittenValuesReadBackClean) {
    struct value_case {
        const char *name;
        std::string in, want;
    };
    const value_case cases[] = {
        {"plain UTF-8 kept", "Für Elise – ☃", "Für Elise – ☃"},
        {"controls and newline blanked", "a\nb\tc\x7f", "a b c "},
        {"C1 controls blanked, U+00A0 kept", "a\xC2\x80" "b\xC2\x9B" "c\xC2\xA0",
         "a b c\xC2\xA0"},
        {"bidi embeddings and overrides blanked, U+2029 and U+202F kept",
         "a\xE2\x80\xAA" "b\xE2\x80\xAE" "c\xE2\x80\xA9\xE2\x80\xAF",
         "a b c\xE2\x80\xA9\xE2\x80\xAF"},
        {"bidi isolates blanked, U+2065 and U+206A kept",
         "a\xE2\x81\xA6" "b\xE2\x81\xA9" "c\xE2\x81\xA5\xE2\x81\xAA",
         "a b c\xE2\x81\xA5\xE2\x81\xAA"},
        {"invalid byte replaced",
         "a\xff"
         "b",
         "a\xEF\xBF\xBD"
         "b"},
        {"overlong replaced byte by byte", "\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"surrogate replaced", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"cut short sequence replaced", "x\xE2\x82", "x\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"long value cut at a character", std::string(999, 'a') + "é", std::string(999, 'a')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        now_playing got;
        ASSERT_TRUE(parse(now_playing_encode({7, c.in, "artist", "f.mp3"}), &got));
        EXPECT_EQ(7, got.chnid);
        EXPECT_EQ(c.want, got.title);
        EXPECT_EQ("artist", got.artist);
        EXPECT_EQ("f.mp3", got.file);
    }
    // How the file goes out, and no gain line without a target.
    now_playing got;
    ASSERT_TRUE(parse(now_playing_encode({7, "t", "a", "f.flac", "flac", true, "-4.5"}), &got));
    EXPECT_EQ("flac", got.codec);
    EXPECT_TRUE(got.transcoded);
    EXPECT_EQ("-4.5", got.gain);
    EXPECT_EQ(std::string::npos, now_playing_encode({7, "t", "a", "f.mp3", "mp3"}).find("gain="));
}

TEST(NowPlaying, ReaderTakesOnlyItsFormat) {
    struct parse_case {
        const char *name;
        std::string text;
        bool ok;
        int chnid;
    };
    const parse_case cases[] = {
        {"the layout", "now-playing=1\nchannel=3\ntitle=t\nartist=a\nfile=f\n", true, 3},
        {"unknown lines passed over", "now-playing=1\nx=y\nchannel=255\nnoise\n", true, 255},
        {"last line without newline", "now-playing=1\nchannel=12", true, 12},
        {"other version", "now-playing=2\nchannel=3\n", false, 0},
        {"no first line", "channel=3\nnow-playing=1\n", false, 0},
        {"no channel", "now-playing=1\ntitle=t\n", false, 0},
        {"channel 0", "now-playing=1\nchannel=0\n", false, 0},
        {"channel 256", "now-playing=1\nchannel=256\n", false, 0},
        {"channel not a number", "now-playing=1\nchannel=+3\n", false, 0},
        {"a channel list datagram", std::string("\0\0\5x\0", 5), false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        now_playing got;
        EXPECT_EQ(c.ok, parse(c.text, &got));
        if (c.ok) {
            EXPECT_EQ(c.chnid, got.chnid);
        }
    }
}

}  // namespace
