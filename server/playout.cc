// playout.cc - reads a channel's files frame by frame.
#include "playout.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "mp3_frames.h"
#include "regular_file.h"
#include "utf8.h"

namespace {

constexpr size_t READ_BUFFER = 65536;
static_assert(READ_BUFFER >= MP3_MAX_PENDING, "the scan must always make progress");
// A run of this many bytes read without an audio frame ends a file: audio
// followed by gigabytes of zeros (a download preallocated and half written)
// would otherwise hold its channel for good.
constexpr size_t NO_AUDIO_RUN = 1 << 20;
// The bytes one call may read (the last read may pass it by less than a
// buffer): with one file opened (its tags read, bounded by tag_bytes.h),
// all the work a call can do, so that no file keeps the send loop from
// the other channels for long.
constexpr size_t CALL_READ_MAX = 256 << 10;

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
            p->unframed = 0;
            p->tags = tags_read(p->fd);
            for (const auto &line : p->tags.skipped)
                fprintf(report, "channel %d: %s: %s\n", p->ch.id, utf8_clean(p->path).c_str(),
                        line.c_str());
            return true;
        }
        fprintf(report, "channel %d: %s: %s; going on with the next file\n", p->ch.id,
                utf8_clean(p->path).c_str(), why.c_str());
        p->silent_files++;
    }
}

// Reads more of the file into the buffer, after dropping drop bytes of the
// unused input (which may reach past the buffer). The bytes read, or -1
// with errno set.
ssize_t refill(playout *p, size_t drop) {
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
        return n;
    }
}

enum peek_result {
    PEEK_FRAME,     // *frame and *h set; the frame stays unused until start moves past it
    PEEK_END,       // the end of the file
    PEEK_FAILED,    // a read failed (errno set)
    PEEK_NO_AUDIO,  // NO_AUDIO_RUN bytes read since the file's last frame
    PEEK_LATER,     // *budget bytes read: the call has done its share
};

// The next frame of the open file, reading at most *budget bytes more (less
// what it reads).
peek_result peek_frame(playout *p, size_t *budget, const uint8_t **frame, mp3_header *h) {
    for (;;) {
        mp3_step s = mp3_next_frame(p->buf.data() + p->start, p->end - p->start, p->eof);
        if (s.kind == MP3_FRAME) {
            p->start += s.skip;
            p->unframed = 0;
            *frame = p->buf.data() + p->start;
            *h = s.h;
            return PEEK_FRAME;
        }
        if (s.kind == MP3_END) return PEEK_END;
        if (p->unframed >= NO_AUDIO_RUN) return PEEK_NO_AUDIO;
        if (*budget == 0) return PEEK_LATER;
        ssize_t n = refill(p, s.skip);
        if (n < 0) return PEEK_FAILED;
        p->unframed += static_cast<size_t>(n);
        *budget -= std::min(*budget, static_cast<size_t>(n));
    }
}

// Closes the file whose scan ended with r, with a line when that was no
// plain end of a file that played.
void end_file(playout *p, peek_result r, FILE *report) {
    const char *why = r == PEEK_FAILED     ? strerror(errno)
                      : r == PEEK_NO_AUDIO ? "no audio frame in 1 MiB"
                                           : "no MPEG audio Layer III frames";
    if (r != PEEK_END || !p->file_had_audio)
        fprintf(report, "channel %d: %s: %s; going on with the next file\n", p->ch.id,
                utf8_clean(p->path).c_str(), why);
    p->silent_files = p->file_had_audio ? 0 : p->silent_files + 1;
    close_file(p);
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
    p->payload_samples = 0;
    long long ns = 0;
    size_t budget = CALL_READ_MAX;
    bool opened = false;
    while (!p->done) {
        // A payload holds frames of one file, so that the file open (and
        // its tags) is always the one the payload comes from.
        if (p->fd < 0 && !payload->empty()) break;
        if (p->fd < 0) {
            // One file opened a call: each open reads its tags.
            if (opened) return PLAYOUT_AGAIN;
            if (!open_next(p, report)) {
                p->done = true;
                break;
            }
            opened = true;
        }
        const uint8_t *frame;
        mp3_header h;
        peek_result r = peek_frame(p, &budget, &frame, &h);
        if (r == PEEK_LATER) return payload->empty() ? PLAYOUT_AGAIN : ns;
        if (r != PEEK_FRAME) {
            end_file(p, r, report);
            continue;
        }
        size_t size = static_cast<size_t>(h.size);
        if (!payload->empty() && payload->size() + size > max) break;
        payload->insert(payload->end(), frame, frame + size);
        p->start += size;
        p->file_had_audio = true;
        ns += mp3_frame_ns(h);
        bool same_rate = p->payload_samples == 0 || p->payload_rate == h.sample_rate;
        p->payload_rate = same_rate ? h.sample_rate : 0;
        p->payload_samples += h.samples;
    }
    return ns;
}

void playout_stop(playout *p) {
    close_file(p);
}
