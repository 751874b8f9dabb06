// audio_support.h - what the server's tests and benchmark share: real MP3
// files made with sox and lame (kept in a cache folder between runs), the
// frames of a byte string, and decoding with mpg123.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mp3_frames.h"

struct found_frame {
    size_t offset;
    mp3_header h;
};

// Every audio frame of bytes, scanned as one whole input.
inline std::vector<found_frame> frames_of(const std::string &bytes) {
    std::vector<found_frame> out;
    const auto *p = reinterpret_cast<const uint8_t *>(bytes.data());
    size_t at = 0;
    for (;;) {
        mp3_step s = mp3_next_frame(p + at, bytes.size() - at, true);
        if (s.kind != MP3_FRAME) break;
        out.push_back({at + s.skip, s.h});
        at += s.skip + static_cast<size_t>(s.h.size);
    }
    return out;
}

// The frames' bytes, one after the other.
inline std::string cut_frames(const std::string &bytes, const std::vector<found_frame> &frames,
                              size_t from = 0, size_t to = SIZE_MAX) {
    std::string out;
    for (size_t i = from; i < frames.size() && i < to; i++)
        out.append(bytes, frames[i].offset, static_cast<size_t>(frames[i].h.size));
    return out;
}

inline std::string file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// dir/name.mp3, made once: sox makes a WAV of rate Hz and channels from
// its effects ("synth 2 pluck C4"), lame encodes it with lame_args; "" when
// it could not be made. Made under a temporary name and renamed, so parallel
// tests never see half a file; sox runs repeatable (-R: its synth noise is
// otherwise random), so two tests that both make the file make the same bytes.
inline std::string made_mp3(const std::string &dir, const std::string &name, int rate, int channels,
                            const std::string &effects, const std::string &lame_args) {
    std::string path = dir + "/" + name + ".mp3";
    struct stat st;
    if (stat(path.c_str(), &st) == 0) return path;
    std::string tmp = path + "." + std::to_string(getpid());
    std::string cmd = "mkdir -p '" + dir + "' && sox -R -q -n -b 16 -r " + std::to_string(rate) +
                      " -c " + std::to_string(channels) + " '" + tmp + ".wav' " + effects +
                      " && lame --quiet " + lame_args + " '" + tmp + ".wav' '" + tmp + "' && mv '" +
                      tmp + "' '" + path + "'; s=$?; rm -f '" + tmp + ".wav'; exit $s";
    return system(cmd.c_str()) == 0 ? path : "";
}

// The programme of a channel as the frames it sends, one cycle of its files.
inline std::vector<std::string> programme(const std::vector<std::string> &files) {
    std::vector<std::string> out;
    for (const auto &f : files) {
        std::string bytes = file_bytes(f);
        std::vector<found_frame> frames = frames_of(bytes);
        for (size_t i = 0; i < frames.size(); i++)
            out.push_back(cut_frames(bytes, frames, i, i + 1));
    }
    return out;
}

// Where received lies in the endless programme as a run of whole frames:
// the index of its first frame, or -1. *count is the run's length.
inline long find_run(const std::string &received, const std::vector<std::string> &prog,
                     size_t *count) {
    for (size_t s = 0; s < prog.size(); s++) {
        size_t pos = 0;
        size_t i = s;
        while (pos < received.size() &&
               received.compare(pos, prog[i % prog.size()].size(), prog[i % prog.size()]) == 0)
            pos += prog[i++ % prog.size()].size();
        if (pos == received.size() && i > s) {
            *count = i - s;
            return static_cast<long>(s);
        }
    }
    return -1;
}

// The 16-bit samples mpg123 decodes from the MP3 file at path (no gapless
// trimming, so every frame gives its full count); "" when it fails.
inline std::string decoded_samples(const std::string &path) {
    std::string raw = path + ".raw";
    std::string cmd = "mpg123 -q --no-gapless -s '" + path + "' > '" + raw + "' 2>/dev/null";
    if (system(cmd.c_str()) != 0) return "";
    std::string out = file_bytes(raw);
    unlink(raw.c_str());
    return out;
}

// An ID3v2 tag header (version 3 or 4) for size bytes of frames.
inline std::string id3v2_header(int version, size_t size) {
    std::string h = {'I', 'D', '3', static_cast<char>(version), 0, 0};
    for (int shift : {21, 14, 7, 0}) h += static_cast<char>((size >> shift) & 0x7F);
    return h;
}

// An ID3v2 frame header for size bytes of body: version 3 writes the size
// plainly, version 4 in 7-bit bytes.
inline std::string id3v2_frame_header(int version, const std::string &id, size_t size) {
    std::string h = id;
    for (int i = 0; i < 4; i++)
        h += static_cast<char>(version == 3 ? size >> (24 - 8 * i) : (size >> (21 - 7 * i)) & 0x7F);
    return h + std::string(2, '\0');
}

// Appends hole bytes of zeros that take no disk, then data, to the file at
// path; false on failure.
inline bool append_after_hole(const std::string &path, off_t hole, const std::string &data) {
    struct stat st;
    if (stat(path.c_str(), &st) < 0 || truncate(path.c_str(), st.st_size + hole) < 0) return false;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << data;
    return static_cast<bool>(out.flush());
}
