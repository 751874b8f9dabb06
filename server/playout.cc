// playout.cc - reads a channel's files frame by frame.
#include "playout.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "mono_clock.h"
#include "mp3_frames.h"
#include "mp3_gain.h"
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

// A transcoded file counts this many bytes of a call's share for each
// packet it decodes (about 100 ms of audio): decoding and encoding cost
// far more than reading, so that a call does a few packets' work at most.
constexpr size_t PACKET_COST = 32 << 10;

bool file_open(const playout *p) {
    return p->fd >= 0 || p->transcoding;
}

void close_file(playout *p) {
    // The encoder's output runs on across files, and a frame it had begun
    // is completed by what it gives for the next.
    if (p->transcoding) p->carry.assign(p->buf.data() + p->start, p->buf.data() + p->end);
    if (p->fd >= 0) close(p->fd);
    p->fd = -1;
    if (p->transcoding) decoded_close(&p->decoded);
    p->transcoding = false;
    p->pcm.clear();
    p->start = p->end = 0;
    p->eof = false;
}

// Appends encoded bytes to the buffer, which grows when they do not fit.
void take_mp3(playout *p, const std::vector<uint8_t> &mp3) {
    if (mp3.empty()) return;
    if (p->end + mp3.size() > p->buf.size()) p->buf.resize(p->end + mp3.size());
    memcpy(p->buf.data() + p->end, mp3.data(), mp3.size());
    p->end += mp3.size();
}

// What the encoder still owes the stream, all of it now: the begun frame
// and the samples it holds, padded to whole frames.
void flush_encoder(playout *p) {
    std::vector<uint8_t> mp3;
    mp3.swap(p->carry);
    if (p->encoder.lame) mp3_encode_flush(&p->encoder, &mp3);
    take_mp3(p, mp3);
}

// The gain of the file at path, from its measure (none yet: as it is).
void set_gain(playout *p, const std::string &path) {
    p->gain = 1.0f;
    p->gain_steps = 0;
    p->gain_db = 0;
    loudness_measure m;
    if (!p->loudness || !loudness_known(p->loudness, path, &m)) return;
    if (p->transcoding) {
        p->gain_db = loudness_gain_db(m, p->loudness_target);
        p->gain = static_cast<float>(loudness_factor(p->gain_db));
    } else {
        p->gain_steps = loudness_gain_steps(m, p->loudness_target);
        p->gain_db = p->gain_steps * MP3_GAIN_STEP_DB;
    }
}

// Starts decoding the file at path for the channel's encoder; false with
// *why set. The encoder opens with the first such file, and again when
// the channel's format changed (its last samples flushed first).
bool open_transcoded(playout *p, const std::string &path, std::string *why) {
    audio_format f = p->ch.format;
    if (p->encoder.lame &&
        (p->encoder.format.rate != f.rate || p->encoder.format.channels != f.channels)) {
        flush_encoder(p);
        mp3_encoder_close(&p->encoder);
    }
    if (!p->encoder.lame && !mp3_encoder_open(&p->encoder, f, why)) return false;
    if (!decoded_open(&p->decoded, path, f, why)) return false;
    take_mp3(p, p->carry);
    p->carry.clear();
    p->transcoding = true;
    return true;
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
        // Only a regular file is opened, whatever it holds: a FIFO would
        // block the decoder.
        p->fd = open_regular(p->path, &why);
        bool untouched = p->fd >= 0 && playout_untouched(p->path, p->ch.format);
        if (untouched) {
            // What an untouched MP3 follows is all out first.
            flush_encoder(p);
        } else if (p->fd >= 0) {
            close(p->fd);
            p->fd = -1;
            if (!open_transcoded(p, p->path, &why)) why = "no audio that plays (" + why + ")";
        }
        if (file_open(p)) {
            p->files_played++;
            p->starts++;
            p->file_had_audio = false;
            p->unframed = 0;
            if (untouched) {
                p->tags = tags_read(p->fd);
                p->codec = "mp3";
            } else {
                p->tags = tags_read_other(p->path);
                p->codec = p->decoded.codec;
            }
            set_gain(p, p->path);
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

// Decodes the next packet of a transcoded file and encodes it into the
// buffer. At the file's end the encoder keeps what it holds when the next
// file is transcoded too (so that the two follow without a gap) and gives
// it out otherwise. The bytes added, or -1 with errno set.
ssize_t transcode_more(playout *p) {
    std::string why;
    long n = decoded_read(&p->decoded, &p->pcm, &why);
    if (n == -2) {
        errno = EIO;
        return -1;
    }
    std::vector<uint8_t> mp3;
    size_t frames = p->pcm.size() / static_cast<size_t>(p->encoder.format.channels);
    mp3_encode(&p->encoder, p->pcm.data(), frames, p->gain, &mp3);
    p->pcm.clear();
    if (n == -1) {
        const auto &files = p->ch.files;
        bool last = p->once && p->next_file >= files.size();
        if (last || files.empty() ||
            playout_untouched(files[p->next_file % files.size()], p->ch.format))
            mp3_encode_flush(&p->encoder, &mp3);
        p->eof = true;
    }
    take_mp3(p, mp3);
    return static_cast<ssize_t>(mp3.size());
}

// Reads more of the file into the buffer, after dropping drop bytes of the
// unused input (which may reach past the buffer). The bytes read, or -1
// with errno set.
ssize_t refill(playout *p, size_t drop) {
    size_t held = p->end - p->start;
    if (drop >= held) {
        if (drop > held && p->fd >= 0 &&
            lseek(p->fd, static_cast<off_t>(drop - held), SEEK_CUR) < 0)
            return -1;
        p->start = p->end = 0;
    } else {
        p->start += drop;
        memmove(p->buf.data(), p->buf.data() + p->start, p->end - p->start);
        p->end -= p->start;
        p->start = 0;
    }
    if (p->transcoding) return transcode_more(p);
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
        size_t cost = p->transcoding ? PACKET_COST : static_cast<size_t>(n);
        *budget -= std::min(*budget, cost);
    }
}

// Closes the file whose scan ended with r, with a line when that was no
// plain end of a file that played.
void end_file(playout *p, peek_result r, FILE *report) {
    const char *why = r == PEEK_FAILED     ? strerror(errno)
                      : r == PEEK_NO_AUDIO ? "no audio frame in 1 MiB"
                      : p->transcoding     ? "no audio decoded"
                                           : "no MPEG audio Layer III frames";
    if (r != PEEK_END || !p->file_had_audio)
        fprintf(report, "channel %d: %s: %s; going on with the next file\n", p->ch.id,
                utf8_clean(p->path).c_str(), why);
    p->silent_files = p->file_had_audio ? 0 : p->silent_files + 1;
    close_file(p);
}

// Whether the channel plays its live source now: it goes on the air when
// the source has audio queued, and off when none came for the fallback
// time; each change is said, and announced as a new start.
bool play_live(playout *p, FILE *report) {
    long long now = now_ns();
    bool on = live_on_air(p->live, now, p->on_live);
    if (on != p->on_live) {
        std::string shown = utf8_clean(p->live->shown);
        if (on) {
            fprintf(report, "channel %d: live %s on the air\n", p->ch.id, shown.c_str());
            p->live_since = now;
        } else {
            long long dropped, inserted;
            {
                std::lock_guard<std::mutex> hold(p->live->lock);
                dropped = p->live->dropped;
                inserted = p->live->inserted;
            }
            fprintf(report, "channel %d: live %s gone after %lld s; the folder's files play\n",
                    p->ch.id, shown.c_str(), (now - p->live_since) / NS_PER_S);
            if (p->verbose)
                fprintf(report,
                        "channel %d: live %s: %lld frames dropped, %lld silent frames sent\n",
                        p->ch.id, shown.c_str(), dropped, inserted);
        }
        p->on_live = on;
        p->starts++;
    }
    if (on) {
        std::lock_guard<std::mutex> hold(p->live->lock);
        if (p->live->title != p->live_title) {
            p->live_title = p->live->title;
            p->starts++;
        }
    }
    return on;
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
    if (p->live && play_live(p, report)) {
        long long ns = live_take(p->live, max, payload);
        p->payload_rate = p->ch.format.rate;
        p->payload_samples = ns * p->ch.format.rate / NS_PER_S;
        return ns;
    }
    long long ns = 0;
    size_t budget = CALL_READ_MAX;
    bool opened = false;
    while (!p->done) {
        // A payload holds frames of one file, so that the file open (and
        // its tags) is always the one the payload comes from.
        if (!file_open(p) && !payload->empty()) break;
        if (!file_open(p)) {
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
        size_t at = payload->size();
        payload->insert(payload->end(), frame, frame + size);
        if (p->gain_steps != 0 && !p->transcoding)
            mp3_frame_gain(payload->data() + at, h, p->gain_steps);
        p->start += size;
        p->file_had_audio = true;
        ns += mp3_frame_ns(h);
        bool same_rate = p->payload_samples == 0 || p->payload_rate == h.sample_rate;
        p->payload_rate = same_rate ? h.sample_rate : 0;
        p->payload_samples += h.samples;
    }
    return ns;
}

bool playout_untouched(const std::string &path, audio_format f) {
    mp3_header h;
    std::string why;
    return file_has_audio(path, &h, &why) && h.sample_rate == f.rate && h.channels == f.channels;
}

void playout_stop(playout *p) {
    close_file(p);
    mp3_encoder_close(&p->encoder);
}
