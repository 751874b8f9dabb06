// tag_bytes.cc - a file's title and artist frames and trailing tags, read
// header by header, each read bounded before it is made.
#include "tag_bytes.h"

#include <string.h>
#include <sys/stat.h>

#include "regular_file.h"

namespace {

constexpr size_t ID3_HEADER = 10;
constexpr size_t ID3V1_SIZE = 128;
constexpr size_t APE_FOOTER = 32;
// ID3v2 header flags. In ID3v2.2 the bit of EXTENDED says the whole tag is
// compressed, by a scheme never defined.
constexpr uint8_t UNSYNC = 0x80, EXTENDED = 0x40, FOOTER = 0x10;
constexpr uint32_t APE_HAS_HEADER = 0x80000000u;

// Reads n bytes at offset; false unless all of them came.
bool read_all(int fd, void *buf, size_t n, size_t offset) {
    return read_at(fd, static_cast<uint8_t *>(buf), n, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(n);
}

// Appends the n bytes at offset to out; false (out as it was) when they
// cannot all be read.
bool append_at(int fd, std::vector<uint8_t> *out, size_t n, size_t offset) {
    size_t old = out->size();
    out->resize(old + n);
    if (read_all(fd, out->data() + old, n, offset)) return true;
    out->resize(old);
    return false;
}

uint32_t be32(const uint8_t *p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

uint32_t le32(const uint8_t *p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// Four 7-bit bytes. One with its high bit set shows a writer that put a
// plain number there, as the tag reader also takes it.
uint32_t syncsafe(const uint8_t *p) {
    if ((p[0] | p[1] | p[2] | p[3]) & 0x80) return be32(p);
    return uint32_t{p[0]} << 21 | uint32_t{p[1]} << 14 | uint32_t{p[2]} << 7 | p[3];
}

// The ID3v2 tag at the start of the file, by its header.
struct id3_tag {
    int version = 0;  // 2, 3 or 4; 0: none
    uint8_t flags = 0;
    size_t body = 0;  // bytes after the header, a footer not counted
};

id3_tag id3_header(int fd) {
    uint8_t h[ID3_HEADER];
    id3_tag t;
    if (!read_all(fd, h, sizeof h, 0) || memcmp(h, "ID3", 3) != 0) return t;
    if (h[3] < 2 || h[3] > 4 || ((h[6] | h[7] | h[8] | h[9]) & 0x80)) return t;
    t.version = h[3];
    t.flags = h[5];
    t.body = syncsafe(h + 6);
    return t;
}

// Where the tag's frames start (after an extended header), or SIZE_MAX
// when they cannot be read.
size_t frames_start(int fd, const id3_tag &t) {
    if (!(t.flags & EXTENDED)) return ID3_HEADER;
    uint8_t s[4];
    if (t.version == 2 || !read_all(fd, s, sizeof s, ID3_HEADER)) return SIZE_MAX;
    // ID3v2.3 counts the size field apart; ID3v2.4 counts it in.
    return t.version == 3 ? ID3_HEADER + 4 + be32(s) : ID3_HEADER + syncsafe(s);
}

size_t frame_header_size(int version) {
    return version == 2 ? 6 : 10;
}

struct frame_head {
    char id[5] = {};
    size_t size = 0;  // bytes after the header
    bool compressed = false;
};

// The frame header at p[0, frame_header_size(version)); false at padding
// or anything that is no frame header, where the tag reader stops too.
bool frame_header(const uint8_t *p, int version, frame_head *f) {
    size_t id_len = version == 2 ? 3 : 4;
    for (size_t i = 0; i < id_len; i++) {
        if ((p[i] < 'A' || p[i] > 'Z') && (p[i] < '0' || p[i] > '9')) return false;
        f->id[i] = static_cast<char>(p[i]);
    }
    if (version == 2) {
        f->size = size_t{p[3]} << 16 | size_t{p[4]} << 8 | p[5];
        return true;
    }
    f->size = version == 3 ? be32(p + 4) : syncsafe(p + 4);
    f->compressed = p[9] & (version == 3 ? 0x80 : 0x08);
    return true;
}

// 1 for a title frame, 2 for an artist frame, else 0.
int sought(const frame_head &f) {
    if (strcmp(f.id, "TIT2") == 0 || strcmp(f.id, "TT2") == 0) return 1;
    if (strcmp(f.id, "TPE1") == 0 || strcmp(f.id, "TP1") == 0) return 2;
    return 0;
}

// Appends the first title and the first artist frame of tag to out.
void sought_frames(int fd, const id3_tag &t, std::vector<uint8_t> *out,
                   std::vector<std::string> *skipped) {
    size_t end = ID3_HEADER + t.body;
    size_t pos = frames_start(fd, t);
    int found = 0;
    for (int n = 0; n < TAG_FRAMES_MAX && found != 3 && pos < end; n++) {
        uint8_t h[ID3_HEADER];
        frame_head f;
        size_t head = frame_header_size(t.version);
        if (end - pos < head || !read_all(fd, h, head, pos) || !frame_header(h, t.version, &f) ||
            f.size > end - pos - head)
            return;
        int which = sought(f);
        if (which != 0 && !(found & which)) {
            found |= which;
            std::string frame = std::string("ID3v2 frame ") + f.id;
            if (f.size > TAG_FRAME_MAX)
                skipped->push_back(frame + " of " + std::to_string(f.size) +
                                   " bytes skipped: over 1 MiB");
            else if (f.compressed)
                skipped->push_back(frame + " skipped: compressed");
            else if (!append_at(fd, out, head + f.size, pos))
                return;
        }
        pos += head + f.size;
    }
}

// The ID3v2 tag the tag reader is given: a header, then the frames kept.
std::vector<uint8_t> id3v2_part(int fd, const id3_tag &t, std::vector<std::string> *skipped) {
    std::vector<uint8_t> out = {
        'I', 'D', '3', static_cast<uint8_t>(t.version ? t.version : 4), 0, 0, 0, 0, 0, 0};
    if (t.version == 0) return out;
    if (t.version < 4 && (t.flags & UNSYNC)) {
        // The frame headers are unsynchronised with the rest: only whole.
        std::vector<uint8_t> whole;
        if (t.body <= TAG_FRAME_MAX && append_at(fd, &whole, ID3_HEADER + t.body, 0)) return whole;
        skipped->push_back("ID3v2 tag of " + std::to_string(t.body) +
                           " bytes skipped: unsynchronised and over 1 MiB");
        return out;
    }
    sought_frames(fd, t, &out, skipped);
    size_t size = out.size() - ID3_HEADER;
    out[5] = t.flags & UNSYNC;  // ID3v2.4: each frame says whether it is
    for (int i = 0; i < 4; i++) out[6 + i] = static_cast<uint8_t>((size >> (21 - 7 * i)) & 0x7F);
    return out;
}

// Appends the APE tag and the ID3v1 tag that end the file, both after
// offset from, to out.
void trailing_tags(int fd, size_t from, std::vector<uint8_t> *out,
                   std::vector<std::string> *skipped) {
    struct stat st;
    if (fstat(fd, &st) < 0 || static_cast<size_t>(st.st_size) < from) return;
    size_t size = static_cast<size_t>(st.st_size);
    uint8_t b[APE_FOOTER];
    size_t v1 = size - from >= ID3V1_SIZE && read_all(fd, b, 3, size - ID3V1_SIZE) &&
                        memcmp(b, "TAG", 3) == 0
                    ? ID3V1_SIZE
                    : 0;
    size_t start = size - v1;
    if (start - from >= APE_FOOTER && read_all(fd, b, APE_FOOTER, start - APE_FOOTER) &&
        memcmp(b, "APETAGEX", 8) == 0) {
        size_t ape = size_t{le32(b + 12)} + (le32(b + 20) & APE_HAS_HEADER ? APE_FOOTER : 0);
        if (ape > TAG_FRAME_MAX)
            skipped->push_back("APE tag of " + std::to_string(ape) + " bytes skipped: over 1 MiB");
        else if (ape <= start - from)
            start -= ape;
    }
    append_at(fd, out, size - start, start);
}

}  // namespace

tag_bytes tag_bytes_read(int fd) {
    tag_bytes b;
    id3_tag t = id3_header(fd);
    b.bytes = id3v2_part(fd, t, &b.skipped);
    bool footer = t.version == 4 && (t.flags & FOOTER);
    size_t end = t.version == 0 ? 0 : ID3_HEADER + t.body + (footer ? ID3_HEADER : 0);
    trailing_tags(fd, end, &b.bytes, &b.skipped);
    return b;
}
