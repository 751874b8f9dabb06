// playout.cc - reads a channel's files frame by frame.
#include "playout.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "mp3_frames.h"
#include "regular_file.h"

namespace {

constexpr size_t READ_BUFFER = 65536;
static_assert(READ_BUFFER >= MP3_MAX_PENDING, "the scan must always make progress");

void close_file(playout *p) {
    if (p->fd >= 0) close(p->fd);
    p->fd = -1;
    p->start = p->end = 0;
    p->eof = false;
}

// Opens the next file of the programme. False when there is nothing more
// to play; files that cannot be opened are reported and passed over.
bool open_next(playout *p, FILE *report) {
    const auto &files = p->ch.files;
    for (;;) {
        if (p->once && p->next_file >= files.size()) return false;
        if (p->silent_files >= files.size()) {
            fprintf(report, "channel %d: none of its files plays any more; the channel stops\n",
                    p->ch.id);
            return false;
        }
        p->path = files[p->next_file % files.size()];
        p->next_file = p->once ? p->next_file + 1 : (p->next_file + 1) % files.size();
        std::string why;
        p->fd = open_regular(p->path, &why);
        if (p->fd >= 0) {
            p->files_played++;
            p->file_had_audio = false;
            p->tags = tags_read(p->fd);
            return true;
        }
        fprintf(report, "channel %d: %s: %s; going on with the next file\n", p->ch.id,
                p->path.c_str(), why.c_str());
        p->silent_files++;
    }
}

// Reads more of the file into the buffer, after dropping drop bytes of the
// unused input (which may reach past the buffer). 0, or -1 with errno set.
int refill(playout *p, size_t drop) {
    size_t held = p->end - p->start;
    if (drop >= held) {
        if (drop > held && lseek(p->fd, static_cast<off_t>(drop - held), SEEK_CUR) < 0) return -1;
        p->start = p->end = 0;
    } else {
        p->start += drop;
        memmove(p->buf.data(), p->buf.data() + p->start, p->end - p->start);
        p->end -= p->start;
        p->start = 0;
    }
    for (;;) {
        ssize_t n = read(p->fd, p->buf.data() + p->end, p->buf.size() - p->end);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) p->eof = true;
        p->end += static_cast<size_t>(n);
        return 0;
    }
}

// The next frame of the open file: 1 (*frame and *h set; the frame stays
// unused until the caller moves start past it), 0 at its end, -1 on a read
// error (errno set).
int peek_frame(playout *p, const uint8_t **frame, mp3_header *h) {
    for (;;) {
        mp3_step s = mp3_next_frame(p->buf.data() + p->start, p->end - p->start, p->eof);
        if (s.kind == MP3_FRAME) {
            p->start += s.skip;
            *frame = p->buf.data() + p->start;
            *h = s.h;
            return 1;
        }
        if (s.kind == MP3_END) return 0;
        if (refill(p, s.skip) < 0) return -1;
    }
}

}  // namespace

playout playout_start(channel_def ch, bool once) {
    playout p;
    p.ch = std::move(ch);
    p.once = once;
    p.buf.resize(READ_BUFFER);
    return p;
}

void playout_replace(playout *p, channel_def ch) {
    p->ch = std::move(ch);
    const auto &files = p->ch.files;
    // The lists are sorted by name, and the folder's name may have changed.
    std::string name = base_name(p->path);
    auto after = std::find_if(files.begin(), files.end(),
                              [&](const std::string &f) { return base_name(f) > name; });
    p->next_file = static_cast<size_t>(after - files.begin());
    if (after == files.end() && !p->once) p->next_file = 0;
    p->silent_files = 0;
}

long long playout_next(playout *p, size_t max, std::vector<uint8_t> *payload, FILE *report) {
    payload->clear();
    long long ns = 0;
    while (!p->done) {
        // A payload holds frames of one file, so that the file open (and
        // its tags) is always the one the payload comes from.
        if (p->fd < 0 && !payload->empty()) break;
        if (p->fd < 0 && !open_next(p, report)) {
            p->done = true;
            break;
        }
        const uint8_t *frame;
        mp3_header h;
        int r = peek_frame(p, &frame, &h);
        if (r <= 0) {
            const char *why = r < 0 ? strerror(errno) : "no MPEG audio Layer III frames";
            if (r < 0 || !p->file_had_audio)
                fprintf(report, "channel %d: %s: %s; going on with the next file\n", p->ch.id,
                        p->path.c_str(), why);
            p->silent_files = p->file_had_audio ? 0 : p->silent_files + 1;
            close_file(p);
            continue;
        }
        size_t size = static_cast<size_t>(h.size);
        if (!payload->empty() && payload->size() + size > max) break;
        payload->insert(payload->end(), frame, frame + size);
        p->start += size;
        p->file_had_audio = true;
        ns += mp3_frame_ns(h);
    }
    return ns;
}

void playout_stop(playout *p) {
    close_file(p);
}
