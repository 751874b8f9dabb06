// tags.h - a music file's title and artist: from an MP3's ID3v2, APE or
// ID3v1 tag, or from whatever tags another format carries (Vorbis comments,
// MP4 atoms, the ID3 chunk of WAV and AIFF).
#pragma once

#include <string>
#include <vector>

struct file_tags {
    std::string title;                 // UTF-8; empty when the file has none
    std::string artist;                // likewise
    std::vector<std::string> skipped;  // parts of the tags not read, a line each (tag_bytes.h)
};

// The tags of the MPEG audio file open on fd, which must be a regular file.
// Only the bytes that tag_bytes_read gathers are given to the tag library,
// so no tag frame over TAG_FRAME_MAX bytes is loaded and the file is never
// scanned; fd's offset does not move. Tags that cannot be read are left
// empty.
file_tags tags_read(int fd);

// The tags of a file of another format than MP3, read by the tag library
// from the file at path (its audio is not read). Tags that cannot be read
// are left empty.
file_tags tags_read_other(const std::string &path);
