// tag_bytes.h - the bytes of a music file's tags that its title and artist
// are read from, gathered with bounds, so that no tag, however large its
// sizes say it is, makes the tag reader load it or scan the file.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The largest tag frame (or APE tag) that is read; a larger one is skipped.
constexpr size_t TAG_FRAME_MAX = 1 << 20;

// How many frames of an ID3v2 tag are looked at, at most.
constexpr int TAG_FRAMES_MAX = 1024;

struct tag_bytes {
    // An ID3v2 tag (only a header when the file has none) holding the title
    // and artist frames of the file's own ID3v2 tag, then its APE and ID3v1
    // tags as they end the file: a small file that the tag reader takes as
    // the file itself.
    std::vector<uint8_t> bytes;
    // What was skipped, one line each ("ID3v2 frame TIT2 of 62914560 bytes
    // skipped: over 1 MiB").
    std::vector<std::string> skipped;
};

// Reads the tags of the regular file open on fd, by position (fd's offset
// does not move). From an ID3v2 tag at the start of the file it takes the
// first title frame and the first artist frame (TIT2 and TPE1, or TT2 and
// TP1 in ID3v2.2) among its first TAG_FRAMES_MAX frames, and skips one that
// is over TAG_FRAME_MAX bytes or compressed (it could inflate without
// bound); an unsynchronised ID3v2.2 or 2.3 tag, whose frame headers cannot
// be read in place, is taken whole when it is at most TAG_FRAME_MAX bytes,
// else skipped. An APE tag over TAG_FRAME_MAX bytes is skipped.
tag_bytes tag_bytes_read(int fd);
