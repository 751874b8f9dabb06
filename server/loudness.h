// loudness.h - every track at one loudness: each file's integrated
// loudness and true peak (EBU R128, measured with libebur128 on what
// FFmpeg decodes), the gain that brings it to a target without passing
// -1 dBTP, and the store of measures that a thread of its own fills, off
// the send loop and ahead of each file's turn, kept in a state folder
// between runs.
#pragma once

#include <stdio.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A file's measure: integrated loudness in LUFS (-HUGE_VAL for silence)
// and true peak in dBTP.
struct loudness_measure {
    double lufs = 0;
    double peak_db = 0;
};

// The highest true peak a gain brings a track to.
constexpr double LOUDNESS_PEAK_MAX_DB = -1.0;

// Measures the file at path; false with *why set when it does not decode.
bool loudness_measure_file(const std::string &path, loudness_measure *m, std::string *why);

// The gain in dB that brings m to target LUFS, lowered so that its true
// peak stays at LOUDNESS_PEAK_MAX_DB at most; 0 for silence.
double loudness_gain_db(const loudness_measure &m, double target);

// The gain in whole global gain steps (mp3_gain.h): the nearest to
// loudness_gain_db, one lower while it would pass the peak limit.
int loudness_gain_steps(const loudness_measure &m, double target);

// A gain in dB as a factor on the samples.
double loudness_factor(double db);

// The measures, and the files waiting to be measured. A file is known by
// its path, size and modification time, so a file changed in place is
// measured again.
struct loudness_store {
    std::mutex lock;
    std::condition_variable wake;
    std::map<std::string, loudness_measure> known;  // by loudness_key
    std::deque<std::string> waiting;                // paths, in the order wanted
    std::string state_file;                         // "" without a state folder
    FILE *report = stderr;
    bool verbose = false;  // a line for each file measured
    bool stop = false;
    std::thread worker;
    long long measured = 0;  // files measured since the start
};

// Starts the store's thread (at a low priority), after reading the
// measures kept in state_dir (null: none kept). False with *why set when
// the state folder cannot be used.
bool loudness_start(loudness_store *s, const char *state_dir, bool verbose, FILE *report,
                    std::string *why);

// Asks for the files of paths to be measured, in that order, after those
// asked for before; files already known are passed over.
void loudness_want(loudness_store *s, const std::vector<std::string> &paths);

// The measure of the file at path as it is now, when known.
bool loudness_known(loudness_store *s, const std::string &path, loudness_measure *m);

// Stops the thread (the file it measures is left unmeasured).
void loudness_stop(loudness_store *s);
