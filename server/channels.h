// channels.h - the channels of a music folder: each subfolder whose name
// starts with a number from 1 to 255 is that channel, its desc.txt the
// description, its audio files the programme in name order, its
// channel.conf the sample rate and channel count it sends (by default
// those of most of its MP3s).
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "mp3_frames.h"
#include "transcode.h"

struct channel_def {
    int id;                          // 1 to 255
    std::string dir;                 // the channel's folder
    std::string desc;                // what clients show, as sent
    std::vector<std::string> files;  // playable files, in playing order
    audio_format format;             // what it sends: its MP3s of this format go out as they are
    int transcoded = 0;              // files that are no MP3 of that format
    std::string live = "";           // its live source, or ""
};

// The names in a channel folder that are no part of its programme.
constexpr const char *CHANNEL_DESC_NAME = "desc.txt";
constexpr const char *CHANNEL_CONF_NAME = "channel.conf";
constexpr const char *CHANNEL_LIVE_NAME = "live";  // names its live source (live.h)

// Reads a channel.conf: lines "sample-rate = HZ" and "audio-channels = 1|2",
// blank lines and lines starting with '#' passed over. Each setting given
// is stored in *f; a line it cannot take is reported (path, line number and
// why) and passed over.
void channel_conf_parse(const std::string &text, const std::string &path, audio_format *f,
                        FILE *report);

// The channel number that a folder name starts with (leading decimal
// digits, 1 to 255), or 0.
int channel_number(const char *name);

// Whether the file at path is a regular file holding MPEG audio Layer III
// frames near its start (after any ID3v2 tag); *first is then the first
// frame's header. On false, *why says what is wrong with it. Never blocks
// on a FIFO or a device.
bool file_has_audio(const std::string &path, mp3_header *first, std::string *why);

// The last part of a path: the file's name.
std::string base_name(const std::string &path);

// Reads the channels of root, in channel order. Entries that are no channel
// and files that hold no audio that plays are skipped with one line each on
// report. Each channel's format is its channel.conf's, else wanted's (a
// field of 0: not given), else that of most of its MP3s (the first's on a
// tie), else 44.1 kHz stereo. Returns false with *why set when the folder
// cannot be read, two folders have the same number, or no channel has a
// playable file.
bool channels_load(const std::string &root, std::vector<channel_def> *out, std::string *why,
                   FILE *report, audio_format wanted = audio_format{0, 0});

// The channel list message of these channels. False when it does not fit
// one datagram; *size is then the size it would have had.
bool channels_list_message(const std::vector<channel_def> &channels, std::vector<uint8_t> *msg,
                           size_t *size);

// channels_load and the list message: what the server plays from root.
// False with *why set when channels_load refuses the folder or the list
// does not fit one datagram.
bool channels_programme(const std::string &root, std::vector<channel_def> *channels,
                        std::vector<uint8_t> *list, std::string *why, FILE *report,
                        audio_format wanted = audio_format{0, 0});

// The line that presents a channel: its number, file count and the first
// line of its description, and when it transcodes files, how many and to
// what.
std::string channels_line(const channel_def &ch);
