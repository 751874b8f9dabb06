// radio.cc - the busy radio of the server and gateway benchmarks.
#include "radio.h"

#include <stdio.h>

#include "audio_support.h"
#include "proc.h"

std::vector<std::string> radio_pieces(const std::string &cache_dir) {
    std::vector<std::string> pieces;
    for (const char *note : {"C3", "E3", "G3", "A3"}) {
        std::string s =
            made_mp3(cache_dir, std::string("busy_") + note, 44100, 2,
                     std::string("synth 20 pluck ") + note + " sine 220 tremolo 3", "-b 128");
        if (s.empty()) return {};
        pieces.push_back(s);
    }
    return pieces;
}

std::string radio_long_piece(const std::string &cache_dir, int seconds) {
    std::string len = std::to_string(seconds);
    return made_mp3(cache_dir, "sweep_" + len, 44100, 2,
                    "synth " + len + " sine 110-880 pinknoise vol 0.5", "-b 128");
}

std::string radio_piece_of(const std::vector<std::string> &pieces, int c) {
    return pieces[static_cast<size_t>(c) % pieces.size()];
}

std::string radio_folder(const std::string &dir, const std::vector<std::string> &song_of) {
    std::string radio = dir + "/radio";
    for (int c = 1; c <= RADIO_CHANNELS; c++) {
        std::string d = radio + "/" + std::to_string(c) + "-ch";
        if (run_shell("mkdir -p '" + d + "' && ln -s '" + song_of[static_cast<size_t>(c - 1)] +
                      "' '" + d + "/'") != 0) {
            fprintf(stderr, "cannot lay out channel %d in %s\n", c, radio.c_str());
            return "";
        }
    }
    return radio;
}
