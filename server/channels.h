// channels.h - the channels of a music folder: each subfolder whose name
// starts with a number from 1 to 255 is that channel, its desc.txt the
// description, its MPEG audio files the programme in name order.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "mp3_frames.h"

struct channel_def {
    int id;                          // 1 to 255
    std::string dir;                 // the channel's folder
    std::string desc;                // what clients show, as sent
    std::vector<std::string> files;  // playable files, in playing order
};

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
// and files that cannot be played are skipped with one line each on report;
// a channel whose files differ in MPEG version, sample rate or mono and
// stereo gets one line of warning (stereo and joint stereo decode alike).
// Returns false with *why set when the folder cannot be read, two folders
// have the same number, or no channel has a playable file.
bool channels_load(const std::string &root, std::vector<channel_def> *out, std::string *why,
                   FILE *report);

// The channel list message of these channels. False when it does not fit
// one datagram; *size is then the size it would have had.
bool channels_list_message(const std::vector<channel_def> &channels, std::vector<uint8_t> *msg,
                           size_t *size);

// channels_load and the list message: what the server plays from root.
// False with *why set when channels_load refuses the folder or the list
// does not fit one datagram.
bool channels_programme(const std::string &root, std::vector<channel_def> *channels,
                        std::vector<uint8_t> *list, std::string *why, FILE *report);

// The line that presents a channel: its number, file count and the first
// line of its description.
std::string channels_line(const channel_def &ch);
