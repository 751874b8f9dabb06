// tags.cc - reads a file's tags with TagLib, from a descriptor.
#include "tags.h"

#include <fcntl.h>
#include <unistd.h>

#include <id3v2framefactory.h>
#include <mpegfile.h>
#include <tfilestream.h>

file_tags tags_read(int fd) {
    file_tags t;
    // The stream takes the descriptor it is given and closes it; the
    // duplicate shares fd's offset, which is why fd is rewound below.
    int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy >= 0) {
        TagLib::FileStream stream(copy, true);
        // Audio properties are not read: they would scan the file.
        TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
        if (file.isValid() && file.tag()) {
            t.title = file.tag()->title().to8Bit(true);
            t.artist = file.tag()->artist().to8Bit(true);
        }
    }
    lseek(fd, 0, SEEK_SET);
    return t;
}
