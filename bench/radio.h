// radio.h - the busy radio that the server and gateway benchmarks broadcast:
// 32 channels of 128 kbit/s MP3 (44.1 kHz stereo) made with sox and lame,
// the files kept in a cache folder between runs.
#pragma once

#include <string>
#include <vector>

constexpr int RADIO_CHANNELS = 32;

// The four 20-second pieces that the channels share out, made once in
// cache_dir; empty when sox or lame failed.
std::vector<std::string> radio_pieces(const std::string &cache_dir);

// A piece of seconds that never repeats a frame (a sweep on one side, pink
// noise on the other), so that a position in its stream is known by its
// bytes; made once in cache_dir; "" when sox or lame failed.
std::string radio_long_piece(const std::string &cache_dir, int seconds);

// The piece channel c plays by default: pieces[c % pieces.size()].
std::string radio_piece_of(const std::vector<std::string> &pieces, int c);

// Lays out dir/radio with a folder per channel, 1 to RADIO_CHANNELS, that
// links to song_of[c - 1]. Returns the radio's folder, or "" (said on
// stderr) when it cannot.
std::string radio_folder(const std::string &dir, const std::vector<std::string> &song_of);
