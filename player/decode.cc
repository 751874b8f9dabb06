// decode.cc - libmpg123 in feed mode, each frame's samples matched to the
// datagram that brought it.
#include "decode.h"

#include <mpg123.h>

#include "mono_clock.h"
#include "mp3_frames.h"

namespace {

// Feeds the frames of the datagram item, each whole frame alone (bytes
// around them, which the server never sends, are passed over), and notes
// them for matching.
void feed(decoder *d, const timeline_item &item) {
    const uint8_t *p = item.bytes.data() + 1;  // after the chnid
    size_t n = item.bytes.size() - 1;
    decode_fed f;
    f.first = d->fed_frames;
    f.due = item.due;
    for (size_t at = 0; at < n;) {
        mp3_step s = mp3_next_frame(p + at, n - at, true);
        if (s.kind != MP3_FRAME) break;
        at += s.skip;
        if (mpg123_feed(d->mh, p + at, static_cast<size_t>(s.h.size)) != MPG123_OK) break;
        at += static_cast<size_t>(s.h.size);
        if (f.frames++ == 0) f.samples = s.h.samples, f.rate = s.h.sample_rate;
    }
    d->fed_frames += f.frames;
    if (f.frames > 0) d->fed.push_back(f);
}

// Hands out the frame numbered num, bytes of audio, with the due time of
// its place in the datagram it came in; a frame of no datagram noted (one
// the decoder made up, or of a datagram already passed) is dropped.
void place(decoder *d, long long num, const unsigned char *audio, size_t bytes, decode_out out,
           void *arg) {
    while (!d->fed.empty() && d->fed.front().first + d->fed.front().frames <= num)
        d->fed.pop_front();
    if (d->fed.empty() || num < d->fed.front().first) return;
    const decode_fed &f = d->fed.front();
    long long due = f.due + (num - f.first) * f.samples * NS_PER_S / f.rate;
    size_t frames = bytes / (sizeof(int16_t) * static_cast<size_t>(d->channels));
    out(arg, due, f.rate, reinterpret_cast<const int16_t *>(audio), frames);
}

}  // namespace

bool decode_start(decoder *d, int channels) {
    mpg123_init();  // a no-op since libmpg123 1.27; earlier ones need it
    int err = 0;
    mpg123_handle *mh = mpg123_new(nullptr, &err);
    if (mh == nullptr) return false;
    d->mh = mh;
    d->channels = channels;
    long force = channels == 1 ? MPG123_MONO_MIX : MPG123_FORCE_STEREO;
    const long *rates = nullptr;
    size_t count = 0;
    mpg123_rates(&rates, &count);
    bool ok = mpg123_param(mh, MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0) == MPG123_OK &&
              mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET | force, 0) == MPG123_OK &&
              mpg123_format_none(mh) == MPG123_OK;
    int mode = channels == 1 ? MPG123_MONO : MPG123_STEREO;
    for (size_t i = 0; ok && i < count; i++)
        ok = mpg123_format(mh, rates[i], mode, MPG123_ENC_SIGNED_16) == MPG123_OK;
    if (ok && mpg123_open_feed(mh) == MPG123_OK) return true;
    decode_stop(d);
    return false;
}

void decode_reset(decoder *d) {
    mpg123_close(d->mh);
    mpg123_open_feed(d->mh);
    d->fed_frames = 0;
    d->fed.clear();
}

void decode_stop(decoder *d) {
    if (d->mh) mpg123_delete(d->mh);
    d->mh = nullptr;
    d->fed.clear();
}

void decode_item(decoder *d, const timeline_item &item, decode_out out, void *arg) {
    if (item.gap || item.bytes.size() < 2) return;
    feed(d, item);
    for (;;) {
        off_t num = 0;
        unsigned char *audio = nullptr;
        size_t bytes = 0;
        int r = mpg123_decode_frame(d->mh, &num, &audio, &bytes);
        if (r == MPG123_NEW_FORMAT) continue;
        if (r == MPG123_NEED_MORE) return;
        if (r != MPG123_OK) {
            // What it held is lost; the next datagram starts the stream again.
            d->errors++;
            decode_reset(d);
            return;
        }
        if (bytes > 0) place(d, num, audio, bytes, out, arg);
    }
}
