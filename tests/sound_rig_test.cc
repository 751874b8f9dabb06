// Checks the rig that measures when rooms play, without a player: signals
// of known offsets go into the rooms, and sync_lag.py must find them.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netns.h"
#include "proc.h"
#include "sound_rig.h"

namespace {

constexpr int PLAY_MS = 20000;  // for a player to end
constexpr int SECONDS = 4;      // of noise a case plays

// Why the rig cannot be had here, or "".
std::string rig_missing() {
    if (geteuid() != 0) return "the sound server's namespaces need root";
    if (run_shell("command -v pulseaudio parec aplay >/dev/null") != 0)
        return "pulseaudio, parec or aplay is not installed";
    return "";
}

// Skips the test where the rig cannot be had, or fails it under CI.
#define REQUIRE_SOUND_RIG()                                   \
    do {                                                      \
        std::string why_ = rig_missing();                     \
        if (!why_.empty() && running_in_ci()) FAIL() << why_; \
        if (!why_.empty()) GTEST_SKIP() << why_;              \
    } while (0)

// White noise at half of full scale, the same for every seed.
std::vector<int16_t> noise(size_t frames, uint32_t seed) {
    std::vector<int16_t> s(frames);
    uint32_t x = seed;
    for (auto &v : s) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<int16_t>((static_cast<int32_t>(x >> 16) - 32768) / 2);
    }
    return s;
}

std::string bytes_of(const std::vector<int16_t> &s) {
    return std::string(reinterpret_cast<const char *>(s.data()), s.size() * sizeof(int16_t));
}

// The first number after "key": at or after from in a JSON text; NAN when
// there is none.
double json_number(const std::string &json, const std::string &key, size_t from = 0) {
    size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) return NAN;
    return strtod(json.c_str() + at + key.size() + 3, nullptr);
}

class SoundRig : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }

    void TearDown() override {
        for (auto &p : players) proc_kill(&p);
        sound_rig_stop(&rig);
        if (HasFailure()) printf("sound server's log ends with:\n%s\n", sound_rig_log(rig).c_str());
        remove_tree(dir);
    }

    // aplay playing file (raw s16le, channels interleaved) into device.
    child_proc *aplay(const std::string &device, int channels, const std::string &file) {
        std::vector<std::string> argv = sound_rig_prefix(rig);
        std::vector<std::string> play = {"aplay", "-q",
                                         "-D",    device,
                                         "-t",    "raw",
                                         "-f",    "S16_LE",
                                         "-r",    std::to_string(SOUND_RIG_RATE),
                                         "-c",    std::to_string(channels),
                                         file};
        argv.insert(argv.end(), play.begin(), play.end());
        players.emplace_back();
        child_proc *p = &players.back();
        EXPECT_TRUE(proc_start(p, argv, dir, device, false));
        return p;
    }

    // True when the player ended by itself, with status 0.
    bool ended(child_proc *p) {
        int status = 0;
        return proc_wait(p, PLAY_MS, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // The recording measured, once the rig is stopped; the JSON report.
    std::string measured() {
        sound_rig_stop(&rig);
        std::string out = dir + "/lags.json";
        EXPECT_EQ(0, run_shell("/usr/bin/python3 " SYNC_LAG " '" + rig.recording + "' " +
                               std::to_string(rig.rooms) + " > '" + out + "'"));
        std::string json = read_file(out);
        printf("%s\n", json.c_str());
        return json;
    }

    std::string dir;
    sound_rig rig;
    std::deque<child_proc> players;
};

// The channels of one stream start together, so an offset put between them
// is the lag between the rooms, to the sample: 101 samples, 2.290 ms.
TEST_F(SoundRig, FindsAnOffsetPlayedBetweenTwoChannels) {
    REQUIRE_SOUND_RIG();
    ASSERT_EQ("", sound_rig_start(&rig, dir, 2));
    const size_t frames = SECONDS * SOUND_RIG_RATE, pad = 101;
    std::vector<int16_t> n = noise(frames, 7), pair(2 * frames);
    for (size_t i = 0; i < frames; i++) {
        pair[2 * i] = n[i];
        pair[2 * i + 1] = i < pad ? 0 : n[i - pad];
    }
    std::string file = dir + "/pair.raw";
    ASSERT_TRUE(write_file(file, bytes_of(pair)));
    child_proc *p = aplay("recorder", 2, file);
    ASSERT_TRUE(ended(p)) << read_file(p->err_path);
    std::string json = measured();
    const double want = 1000.0 * pad / SOUND_RIG_RATE;
    size_t ch2 = json.find("\"channel\": 2");
    ASSERT_NE(std::string::npos, ch2) << json;
    EXPECT_GE(json_number(json, "windows", ch2), SECONDS - 1);
    EXPECT_EQ(0, json_number(json, "unmatched_windows", ch2));
    EXPECT_NEAR(want, json_number(json, "median", ch2), 0.02);
    EXPECT_NEAR(want, json_number(json, "p95", ch2), 0.02);
    EXPECT_NEAR(want, json_number(json, "worst", ch2), 0.02);
}

// Each room is its own stream on its own channel, and all are on one clock:
// the same noise started in room 2 some 300 ms after room 1 (as far as
// starting two processes keeps to it) is found on channel 2, that much
// later in every window, to the sample.
TEST_F(SoundRig, RoomsPlayOnTheirOwnChannelsOnOneClock) {
    REQUIRE_SOUND_RIG();
    ASSERT_EQ("", sound_rig_start(&rig, dir, 2));
    std::vector<int16_t> n = noise(SECONDS * SOUND_RIG_RATE, 11);
    std::string file = dir + "/noise.raw";
    ASSERT_TRUE(write_file(file, bytes_of(n)));
    child_proc *first = aplay(sound_rig_device(1), 1, file);
    usleep(300'000);
    child_proc *second = aplay(sound_rig_device(2), 1, file);
    ASSERT_TRUE(ended(first)) << read_file(first->err_path);
    ASSERT_TRUE(ended(second)) << read_file(second->err_path);
    std::string json = measured();
    size_t ch2 = json.find("\"channel\": 2");
    ASSERT_NE(std::string::npos, ch2) << json;
    EXPECT_GE(json_number(json, "windows", ch2), SECONDS - 2);
    EXPECT_EQ(0, json_number(json, "unmatched_windows", ch2));
    double lag = json_number(json, "median", ch2);
    EXPECT_GT(lag, 250);
    EXPECT_LT(lag, 450);
    const double sample_ms = 1000.0 / SOUND_RIG_RATE;
    EXPECT_LT(json_number(json, "max", ch2) - json_number(json, "min", ch2), sample_ms / 10);
}

}  // namespace
