// tags.cc - reads a file's tags with TagLib, from the bytes that hold them.
#include "tags.h"

#include <fileref.h>
#include <id3v2framefactory.h>
#include <mpegfile.h>
#include <tbytevectorstream.h>

#include "tag_bytes.h"

file_tags tags_read(int fd) {
    tag_bytes b = tag_bytes_read(fd);
    file_tags t;
    t.skipped = std::move(b.skipped);
    TagLib::ByteVector data(reinterpret_cast<const char *>(b.bytes.data()),
                            static_cast<unsigned int>(b.bytes.size()));
    TagLib::ByteVectorStream stream(data);
    // Audio properties are not read: there is no audio to read them from.
    TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
    if (file.isValid() && file.tag()) {
        t.title = file.tag()->title().to8Bit(true);
        t.artist = file.tag()->artist().to8Bit(true);
    }
    return t;
}

file_tags tags_read_other(const std::string &path) {
    file_tags t;
    TagLib::FileRef file(path.c_str(), false);
    if (!file.isNull() && file.tag()) {
        t.title = file.tag()->title().to8Bit(true);
        t.artist = file.tag()->artist().to8Bit(true);
    }
    return t;
}
