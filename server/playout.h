// playout.h - one channel's programme as a sequence of payloads: its files
// read in turn, piece by piece, and their audio frames gathered whole into
// payloads of at most a given size. An MP3 of the channel's format goes out
// as it is; any other audio file is transcoded (transcode.h) on the way.
// With a loudness target, each file measured (loudness.h) is brought to it.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "channels.h"
#include "live.h"
#include "loudness.h"
#include "tags.h"
#include "transcode.h"

struct playout {
    channel_def ch;
    bool once = false;     // play the files once, then end
    size_t next_file = 0;  // index of the file to open next
    int fd = -1;           // the file now playing, or -1
    std::string path;      // the file opened last
    file_tags tags;        // its tags
    bool file_had_audio = false;
    size_t unframed = 0;       // bytes read since the file's last frame (or its start)
    size_t silent_files = 0;   // files in a row that gave no frame
    std::vector<uint8_t> buf;  // read from fd; unused bytes are buf[start, end)
    size_t start = 0;
    size_t end = 0;
    bool eof = false;
    bool done = false;           // nothing more to play
    long long files_played = 0;  // files opened for playing
    // The file now playing is decoded and encoded again (fd is -1 then).
    bool transcoding = false;
    decoded_file decoded;
    std::vector<float> pcm;  // decoded, not yet encoded
    mp3_encoder encoder;     // the channel's, opened with the first transcoded file
    std::vector<uint8_t> carry;  // its output of the last file after the last whole frame
    // Loudness: the target in LUFS and where the files' measures are kept
    // (null: none, every file as it is); the gain of the file now playing,
    // as a factor on its samples and in steps of an MP3's global gain.
    loudness_store *loudness = nullptr;
    double loudness_target = 0;
    float gain = 1.0f;
    int gain_steps = 0;
    double gain_db = 0;  // what either comes to
    std::string codec;   // of the file now playing
    // The channel's live source (null: none), which plays instead of the
    // files while it is on the air (live.h).
    live_source *live = nullptr;
    bool on_live = false;
    bool verbose = false;  // its drift counts said when it goes
    std::string live_title;  // the title announced
    long long live_since = 0;
    // Files and live stints started: each is announced.
    long long starts = 0;
    // The payload gathered last: its samples (each audio channel's) and
    // their rate, 0 when its frames differ in rate.
    long long payload_samples = 0;
    int payload_rate = 0;
};

// A playout of ch's files, from the first; once ends it after the last.
playout playout_start(channel_def ch, bool once);

// Gives the playout a new list of files (ch has the same number): the file
// now playing plays on to its end, then the file whose name sorts after
// its name plays (the first when none does, or, with once, none).
void playout_replace(playout *p, channel_def ch);

// What playout_next returns when it has done its share of reading for one
// call without finding a frame: the caller asks again a little later.
constexpr long long PLAYOUT_AGAIN = -1;

// Gathers the next payload: whole frames of one file, as many as fit max
// bytes (a larger frame goes alone). Returns its playing time in
// nanoseconds; 0 when the channel has nothing more to play (its files
// played once, or none of them gives audio any more); or PLAYOUT_AGAIN
// (payload empty) when it has read 256 KiB, or opened a file after one
// that gave nothing, and found no frame yet: so one call never reads
// much, whatever the files hold. A file that fails (one that is no regular
// file too) is reported on report, and the next one plays; so does a file
// in which 1 MiB is read without an audio frame. Each file opened is
// counted in files_played, its tags read (what they skip is reported).
// Paths in the report are cleaned (utf8_clean). Sets payload_samples and
// payload_rate.
long long playout_next(playout *p, size_t max, std::vector<uint8_t> *payload, FILE *report);

// Whether the file at path goes out as it is on a channel of format f: an
// MP3 of its sample rate and channel count.
bool playout_untouched(const std::string &path, audio_format f);

// Closes the file now playing and the channel's encoder.
void playout_stop(playout *p);
