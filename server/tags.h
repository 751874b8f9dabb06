// tags.h - a music file's title and artist, from its ID3v2 or ID3v1 tag.
#pragma once

#include <string>

struct file_tags {
    std::string title;   // UTF-8; empty when the file has none
    std::string artist;  // likewise
};

// The tags of the MPEG audio file open on fd, which must be a regular file
// (the tag library reads it through a duplicate of fd, never by its name).
// fd's offset is back at the start of the file afterwards. Tags that
// cannot be read are left empty.
file_tags tags_read(int fd);
