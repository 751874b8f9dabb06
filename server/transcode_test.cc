// Files of other formats on a channel, as a listener hears them: decoded
// by mpg123 from what the playout sends, each track its own tone, its
// length and no gap at a change; and every track at one loudness, as
// ffmpeg's own EBU R128 meter reads what goes out.
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "loudness.h"
#include "playout.h"
#include "proc.h"

namespace {

// TEST_AUDIO_DIR/name, made once by the shell command make, which writes
// "$OUT"; "" when it could not be made.
std::string made_file(const std::string &name, const std::string &make) {
    std::string path = std::string(TEST_AUDIO_DIR) + "/" + name;
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return path;
    std::string tmp = path + "." + std::to_string(getpid());
    std::string ext = name.substr(name.rfind('.'));
    std::string cmd = "mkdir -p '" + std::string(TEST_AUDIO_DIR) + "' && OUT='" + tmp + ext +
                      "' && (" + make + ") >/dev/null 2>&1 && mv \"$OUT\" '" + path + "'";
    return run_shell(cmd) == 0 ? path : "";
}

// An ffmpeg command that writes expr (of t, in [-1, 1]) for seconds at rate
// Hz with channels, encoded by ffmpeg with codec_args (or piped on by
// them, when they name "$OUT").
std::string tone(const std::string &expr, double seconds, int rate, int channels,
                 const std::string &codec_args) {
    return "ffmpeg -nostdin -y -f lavfi -i \"aevalsrc='" + expr + "':s=" + std::to_string(rate) +
           ":d=" + std::to_string(seconds) + "\" -ac " + std::to_string(channels) + " " +
           codec_args + (codec_args.find("$OUT") == std::string::npos ? " \"$OUT\"" : "");
}

// Everything the playout sends of ch's files, played once, with gain from
// store (null: none) towards target.
std::string played(channel_def ch, loudness_store *store = nullptr, double target = 0) {
    playout p = playout_start(ch, true);
    p.loudness = store;
    p.loudness_target = target;
    std::string out;
    std::vector<uint8_t> payload;
    for (long long ns; (ns = playout_next(&p, 4096, &payload, stderr)) != 0;)
        if (ns != PLAYOUT_AGAIN) out.append(payload.begin(), payload.end());
    playout_stop(&p);
    return out;
}

// The longest run of samples of channel 0 within [from, to) whose size is
// below 64 (of 32767): a gap in a tone.
size_t longest_quiet(const std::vector<int16_t> &s, int channels, size_t from, size_t to) {
    size_t run = 0, longest = 0;
    for (size_t i = from; i < to; i++) {
        run = abs(s[i * static_cast<size_t>(channels)]) < 64 ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// The tone of channel 0 within [from, to) at rate Hz, from its sign changes.
double tone_hz(const std::vector<int16_t> &s, int channels, size_t from, size_t to, int rate) {
    int changes = 0;
    for (size_t i = from + 1; i < to; i++)
        changes += (s[i * static_cast<size_t>(channels)] >= 0) !=
                   (s[(i - 1) * static_cast<size_t>(channels)] >= 0);
    return changes / 2.0 / (static_cast<double>(to - from) / rate);
}

std::vector<int16_t> samples_of(const std::string &mp3, const std::string &dir) {
    std::string path = dir + "/out.mp3";
    EXPECT_TRUE(write_file(path, mp3));
    std::string raw = decoded_samples(path);
    std::vector<int16_t> s(raw.size() / 2);
    memcpy(s.data(), raw.data(), s.size() * 2);
    return s;
}

// Seven one-second tones, each in another format, then an MP3 of the
// channel's own format at 320 kbit/s: the first seven go through the
// channel's encoder one after the other, the last goes out as it is.
TEST(Transcode, EveryFormatPlaysAsTheChannelsMp3WithoutAGap) {
    struct format_case {
        const char *name;
        int hz;
        std::string make;
    };
    auto sine = [](int hz) { return "0.3*sin(2*PI*" + std::to_string(hz) + "*t)"; };
    const format_case cases[] = {
        {"tone.flac", 300, tone(sine(300), 1, 48000, 2, "-c:a flac")},
        {"tone.ogg", 400, tone(sine(400), 1, 44100, 2, "-c:a libvorbis")},
        {"tone.opus", 500, tone(sine(500), 1, 48000, 2, "-c:a libopus")},
        {"tone.m4a", 600, tone(sine(600), 1, 44100, 2, "-c:a aac")},
        {"tone.wav", 700, tone(sine(700), 1, 22050, 1, "")},
        {"tone.aiff", 800, tone(sine(800), 1, 44100, 2, "")},
        {"tone48k.mp3", 900,
         tone(sine(900), 1, 48000, 2, "-f wav - | lame --quiet -b 128 - \"$OUT\"")},
    };
    channel_def ch{1, "", "", {}, {44100, 2}};
    for (const auto &c : cases) {
        ch.files.push_back(made_file(c.name, c.make));
        ASSERT_NE("", ch.files.back()) << c.name << ": " << c.make;
    }
    std::string own = made_mp3(TEST_AUDIO_DIR, "tone320k", 44100, 2, "synth 1 sine 1000", "-b 320");
    ASSERT_NE("", own);
    ch.files.push_back(own);
    std::string all = played(ch);
    std::string untouched = cut_frames(file_bytes(own), frames_of(file_bytes(own)), 0,
                                       frames_of(file_bytes(own)).size());
    ASSERT_GT(all.size(), untouched.size());
    ASSERT_EQ(untouched, all.substr(all.size() - untouched.size())) << "the 320 kbit/s MP3 changed";

    std::string dir = make_temp_dir();
    std::vector<int16_t> s = samples_of(all.substr(0, all.size() - untouched.size()), dir);
    const size_t second = 44100, n = s.size() / 2;
    // The encoder's delay comes once, at the start, and its last frame is
    // padded: the seven seconds and at most two frames more, and the AAC
    // encoder's own padding at the end of its track (1024 samples at most),
    // the only quiet between the tracks.
    const size_t aac_end = 4 * second;
    EXPECT_GE(n, 7 * second);
    EXPECT_LE(n, 7 * second + 1024 + 2 * 1152);
    EXPECT_LT(longest_quiet(s, 2, 2000, aac_end), 20u) << "a gap between tracks";
    EXPECT_LT(longest_quiet(s, 2, aac_end, aac_end + 3000), 1024u) << "a gap after the AAC track";
    EXPECT_LT(longest_quiet(s, 2, aac_end + 3000, n - 2000), 20u) << "a gap between tracks";
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_NEAR(cases[i].hz,
                    tone_hz(s, 2, i * second + second / 4, i * second + 3 * second / 4, 44100),
                    cases[i].hz * 0.03);
    }
    remove_tree(dir);
}

// Integrated loudness and true peak of an MP3 as ffmpeg's meter reads it;
// the MP3 is decoded with its CRCs checked, so a frame whose gain moved
// without its CRC written again fails the decode.
bool ffmpeg_loudness(const std::string &mp3, double *lufs, double *peak) {
    std::string log = mp3 + ".log";
    run_shell("ffmpeg -nostdin -hide_banner -nostats -err_detect crccheck+explode -i '" + mp3 +
              "' -af ebur128=peak=true:framelog=verbose -f null - 2>'" + log + "'");
    std::string out = read_file(log);
    size_t i = out.rfind("I:"), p = out.rfind("Peak:");
    return i != std::string::npos && p != std::string::npos &&
           sscanf(out.c_str() + i, "I: %lf", lufs) == 1 &&
           sscanf(out.c_str() + p, "Peak: %lf", peak) == 1 && out.find("rror") == std::string::npos;
}

// With a target of -16 LUFS, tracks at -30, -20 and -8 come out within
// 1 LU of it, transcoded (FLAC) or as MP3s of the channel's format whose
// global gains moved (MPEG-1 stereo with CRCs, MPEG-1 and MPEG-2 mono); a
// quiet track with a loud click comes out as loud as the click allows,
// below -1 dBTP.
TEST(Loudness, EachTrackComesOutAtTheTargetWithinItsPeak) {
    struct level_case {
        const char *name;
        double lufs;  // what it is made at (a 1 kHz tone of this loudness)
        bool click;   // 20 ms at 25 dB more, halfway
        int rate, channels;
        std::string codec;  // "" for FLAC
    };
    const level_case cases[] = {
        {"lvl_30.flac", -30, false, 44100, 2, ""},
        {"lvl_20.flac", -20, false, 44100, 2, ""},
        {"lvl_8.flac", -8, false, 44100, 2, ""},
        {"lvl_click.flac", -30, true, 44100, 2, ""},
        {"lvl_30.mp3", -30, false, 44100, 2, "-p -b 128"},
        {"lvl_20.mp3", -20, false, 44100, 2, "-p -b 128"},
        {"lvl_8.mp3", -8, false, 44100, 2, "-p -b 128"},
        {"lvl_click.mp3", -30, true, 44100, 2, "-p -b 128"},
        {"lvl_mono.mp3", -8, false, 44100, 1, "-m m -b 64"},
        {"lvl_mono22.mp3", -20, false, 22050, 1, "-m m -b 32"},
    };
    std::vector<std::string> paths;
    for (const auto &c : cases) {
        // A stereo 1 kHz sine of peak A dBFS is A LUFS; mono, 3 dB less.
        double a = pow(10, (c.lufs + (c.channels == 1 ? 3.0 : 0.0)) / 20);
        std::string expr = std::to_string(a) + "*sin(2*PI*1000*t)" +
                           (c.click ? "*(1+17*between(t,1.5,1.52))" : "");
        std::string codec =
            c.codec.empty() ? "-c:a flac" : "-f wav - | lame --quiet " + c.codec + " - \"$OUT\"";
        paths.push_back(made_file(c.name, tone(expr, 3, c.rate, c.channels, codec)));
        ASSERT_NE("", paths.back()) << c.name;
    }
    loudness_store store;
    std::string why;
    ASSERT_TRUE(loudness_start(&store, nullptr, false, stderr, &why)) << why;
    loudness_want(&store, paths);
    loudness_measure m;
    for (int i = 0; i < 300 && !loudness_known(&store, paths.back(), &m); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string dir = make_temp_dir();
    for (size_t i = 0; i < std::size(cases); i++) {
        const level_case &c = cases[i];
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(loudness_known(&store, paths[i], &m));
        channel_def ch{1, "", "", {paths[i]}, {c.rate, c.channels}};
        EXPECT_EQ(c.codec.empty(), !playout_untouched(paths[i], ch.format));
        std::string out = dir + "/out.mp3";
        ASSERT_TRUE(write_file(out, played(ch, &store, -16)));
        double lufs, peak;
        ASSERT_TRUE(ffmpeg_loudness(out, &lufs, &peak)) << "does not decode cleanly";
        if (c.click) {
            EXPECT_LT(lufs, -18);
            EXPECT_LT(peak, -0.5);
        } else {
            EXPECT_NEAR(-16, lufs, 1.0);
        }
    }
    loudness_stop(&store);
    remove_tree(dir);
}

}  // namespace
