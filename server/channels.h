// channels.h - the channels of a music folder: each subfolder whose name
// starts with a number from 1 to 255 is that channel, its desc.txt the
// description, its MPEG audio files the programme in name order.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct channel_def {
    int id;                          // 1 to 255
    std::string dir;                 // the channel's folder
    std::string desc;                // what clients show, as sent
    std::vector<std::string> files;  // playable files, in playing order
};

// The channel number that a folder name starts with (leading decimal
// digits, 1 to 255), or 0.
int channel_number(const char *name);

// Whether the file at path holds MPEG audio Layer III frames near its start
// (after any ID3v2 tag). On false, *why says what is wrong with it.
bool file_has_audio(const std::string &path, std::string *why);

// Reads the channels of root, in channel order. Entries that are no channel
// and files that cannot be played are skipped with one line each on report.
// Returns false with *why set when the folder cannot be read, two folders
// have the same number, or no channel has a playable file.
bool channels_load(const std::string &root, std::vector<channel_def> *out, std::string *why,
                   FILE *report);

// The channel list message of these channels. False when it does not fit
// one datagram; *size is then the size it would have had.
bool channels_list_message(const std::vector<channel_def> &channels, std::vector<uint8_t> *msg,
                           size_t *size);
