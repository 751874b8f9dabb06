// Frame scan and playout on real files made by sox and lame, and on tags
// and false sync bytes crafted around them.
#include <stdio.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "playout.h"

namespace {

struct kind_case {
    const char *name;
    int rate, channels;
    const char *sox, *lame;
    int version, sample_rate, channels_out;
};
const kind_case KINDS[] = {
    {"cbr_44k_stereo", 44100, 2, "synth 1.2 pluck C4", "-b 128", 10, 44100, 2},
    {"vbr_xing_id3v2", 44100, 2, "synth 1.2 pluck E4", "-V 2 --add-id3v2 --tt song", 10, 44100, 2},
    {"mono_48k", 48000, 1, "synth 1.2 sine 300", "-b 64", 10, 48000, 1},
    {"stereo_32k_id3v1", 32000, 2, "synth 1.2 sine 500", "-b 96 --id3v1-only --tt song", 10, 32000,
     2},
    {"mpeg2_24k", 24000, 1, "synth 1.2 sine 700", "-b 32 --resample 24", 20, 24000, 1},
    {"mpeg2_22k_vbr", 22050, 2, "synth 1.2 pluck G4", "-V 5 --resample 22.05", 20, 22050, 2},
    {"mpeg25_8k", 8000, 1, "synth 1.2 sine 200", "-b 16 --resample 8", 25, 8000, 1},
    {"mpeg25_11k", 11025, 2, "synth 1.2 sine 250", "-b 24 --resample 11.025", 25, 11025, 2},
};

std::string made(const kind_case &k) {
    return made_mp3(TEST_AUDIO_DIR, k.name, k.rate, k.channels, k.sox, k.lame);
}

// What the playout reads from path, one frame per payload, on a channel
// of the file's own format.
std::vector<std::string> played_frames(const std::string &path, audio_format f) {
    channel_def ch{7, "", "", {path}, f};
    playout p = playout_start(ch, true);
    std::vector<std::string> out;
    std::vector<uint8_t> payload;
    while (playout_next(&p, 1, &payload, stderr) > 0)
        out.emplace_back(payload.begin(), payload.end());
    playout_stop(&p);
    return out;
}

std::vector<std::string> frame_strings(const std::string &bytes,
                                       const std::vector<found_frame> &f) {
    std::vector<std::string> out;
    for (size_t i = 0; i < f.size(); i++) out.push_back(cut_frames(bytes, f, i, i + 1));
    return out;
}

// An ID3v2.3 tag whose one text frame holds body.
std::string id3v2_tag(const std::string &body) {
    std::string frame = "TXXX" + std::string(4, '\0') + std::string(2, '\0') + body;
    size_t n = frame.size() - 10;
    frame[4] = static_cast<char>(n >> 24);
    frame[5] = static_cast<char>(n >> 16);
    frame[6] = static_cast<char>(n >> 8);
    frame[7] = static_cast<char>(n);
    size_t s = frame.size();
    std::string tag = "ID3\x03";
    tag += '\0';
    tag += '\0';
    for (int shift : {21, 14, 7, 0}) tag += static_cast<char>((s >> shift) & 0x7F);
    return tag + frame;
}

// Each kind of file: every frame is found, with the header the encoder
// wrote; the frames follow one another with nothing between them; mpg123
// decodes exactly their samples from the file (so no audio frame was
// missed and the encoder's header frame was not taken for one); and the
// playout, reading the file piece by piece, yields the same frames.
TEST(Mp3Frames, FindsEveryAudioFrameOfRealFiles) {
    for (const auto &k : KINDS) {
        SCOPED_TRACE(k.name);
        std::string path = made(k);
        ASSERT_NE("", path) << "could not make the file with sox and lame";
        std::string bytes = file_bytes(path);
        std::vector<found_frame> frames = frames_of(bytes);
        ASSERT_GT(frames.size(), 10u);
        for (size_t i = 0; i < frames.size(); i++) {
            EXPECT_EQ(k.version, frames[i].h.version);
            EXPECT_EQ(k.sample_rate, frames[i].h.sample_rate);
            EXPECT_EQ(k.channels_out, frames[i].h.channels);
            if (i > 0) {
                EXPECT_EQ(frames[i - 1].offset + frames[i - 1].h.size, frames[i].offset);
            }
        }
        size_t after_last = frames.back().offset + static_cast<size_t>(frames.back().h.size);
        bool id3v1 = bytes.compare(bytes.size() - 128, 3, "TAG") == 0;
        EXPECT_EQ(bytes.size() - (id3v1 ? 128 : 0), after_last);
        size_t samples = frames.size() * static_cast<size_t>(frames[0].h.samples * k.channels);
        EXPECT_EQ(samples * 2, decoded_samples(path).size());
        EXPECT_EQ(frame_strings(bytes, frames), played_frames(path, {k.sample_rate, k.channels_out}));
    }
}

// Sync bytes inside a tag, even a run of real frames, are skipped with the
// tag; stray sync bytes before and between frames are passed over.
TEST(Mp3Frames, FalseSyncInTagsAndJunkIsNotAFrame) {
    std::string path = made(KINDS[0]);
    ASSERT_NE("", path);
    std::string bytes = file_bytes(path);
    std::vector<found_frame> frames = frames_of(bytes);
    std::string audio = cut_frames(bytes, frames);
    std::vector<std::string> want = frame_strings(audio, frames_of(audio));
    ASSERT_EQ(frames.size(), want.size());

    std::string junk = "\xFF\xFB\x90\x64\xFF\xFF\xFB";
    std::string in_tag = id3v2_tag(cut_frames(bytes, frames, 0, 3) + junk) + audio;
    EXPECT_EQ(want, frame_strings(in_tag, frames_of(in_tag)));

    size_t half = frames[5].offset - frames[0].offset;
    std::string stray = junk + audio.substr(0, half) + junk + audio.substr(half) + junk;
    std::vector<std::string> got = frame_strings(stray, frames_of(stray));
    // The frame before the junk cannot show a following header; at most it is lost.
    EXPECT_GE(got.size(), want.size() - 1);
    for (const auto &f : got) EXPECT_NE(std::string::npos, audio.find(f));
}

// Cut anywhere, a file yields only frames it holds whole, the same as the
// whole file's up to the cut (the last one may lack its confirmation).
TEST(Mp3Frames, EveryTruncationYieldsWholeFramesOfTheFile) {
    std::string bytes = file_bytes(made(KINDS[1]));
    ASSERT_FALSE(bytes.empty());
    std::vector<std::string> all = frame_strings(bytes, frames_of(bytes));
    for (size_t n = 0; n <= bytes.size() && n < 6000; n++) {
        std::string cut = bytes.substr(0, n);
        std::vector<found_frame> f = frames_of(cut);
        std::vector<std::string> got = frame_strings(cut, f);
        ASSERT_LE(got.size(), all.size()) << n;
        for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(all[i], got[i]) << n;
    }
}

TEST(Mp3Frames, HeaderSizesAndDurations) {
    struct row {
        uint8_t b1, b2, b3;
        int size;
        long long ns;
    };
    const row rows[] = {
        {0xFB, 0x90, 0x44, 417, 26122448},   // MPEG-1 128 kbit/s 44.1 kHz
        {0xFB, 0x92, 0x44, 418, 26122448},   // the same, padded
        {0xFB, 0xE8, 0xC4, 1440, 36000000},  // MPEG-1 320 kbit/s 32 kHz, mono
        {0xE3, 0xE8, 0xC4, 1440, 72000000},  // MPEG-2.5 160 kbit/s 8 kHz
        {0xF3, 0x14, 0xC4, 24, 24000000},    // MPEG-2 8 kbit/s 24 kHz
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.size);
        const uint8_t p[4] = {0xFF, r.b1, r.b2, r.b3};
        mp3_header h;
        ASSERT_TRUE(mp3_parse_header(p, &h));
        EXPECT_EQ(r.size, h.size);
        EXPECT_EQ(r.ns, mp3_frame_ns(h));
    }
    // Not Layer III, reserved version, free format, bad bitrate, bad rate.
    for (uint32_t bad : {0xFFFD9044u, 0xFFEB9044u, 0xFFFB0044u, 0xFFFBF044u, 0xFFFB9C44u}) {
        const uint8_t p[4] = {uint8_t(bad >> 24), uint8_t(bad >> 16), uint8_t(bad >> 8),
                              uint8_t(bad)};
        mp3_header h;
        EXPECT_FALSE(mp3_parse_header(p, &h)) << std::hex << bad;
    }
}

}  // namespace
