// transcode.cc - FFmpeg's decoders in, LAME out.
#include "transcode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}
#include <lame/lame.h>

#include <algorithm>

namespace {

std::string av_why(int err) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(err, text, sizeof text);
    return text;
}

// FFmpeg's own lines would go to standard error between the server's.
void quiet_ffmpeg() {
    av_log_set_level(AV_LOG_QUIET);
}

// Opens path and finds its best audio stream; false with *why set. With
// cb, every wait of the libraries asks it whether to give up.
bool open_audio(const std::string &path, AVFormatContext **fmt, int *stream, std::string *why,
                const AVIOInterruptCB *cb = nullptr, AVDictionary **opts = nullptr) {
    quiet_ffmpeg();
    if (cb) {
        *fmt = avformat_alloc_context();
        if (!*fmt) {
            *why = "out of memory";
            return false;
        }
        (*fmt)->interrupt_callback = *cb;
    }
    int err = avformat_open_input(fmt, path.c_str(), nullptr, opts);
    if (err < 0) {
        *why = av_why(err);
        return false;
    }
    err = avformat_find_stream_info(*fmt, nullptr);
    if (err >= 0) err = av_find_best_stream(*fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (err < 0) {
        *why = err == AVERROR_STREAM_NOT_FOUND ? "no audio in it" : av_why(err);
        avformat_close_input(fmt);
        return false;
    }
    *stream = err;
    return true;
}

// Converts what the decoder's frame (or, with none, the converter's tail)
// gives to *pcm; the frames appended, or a negative FFmpeg error.
int convert(decoded_file *d, const AVFrame *f, std::vector<float> *pcm) {
    int in = f ? f->nb_samples : 0;
    int room = swr_get_out_samples(d->swr, in);
    if (room <= 0) return 0;
    size_t at = pcm->size();
    pcm->resize(at + static_cast<size_t>(room) * static_cast<size_t>(d->out.channels));
    uint8_t *out = reinterpret_cast<uint8_t *>(pcm->data() + at);
    int n = swr_convert(d->swr, &out, room,
                        f ? const_cast<const uint8_t **>(f->extended_data) : nullptr, in);
    pcm->resize(at + static_cast<size_t>(std::max(n, 0)) * static_cast<size_t>(d->out.channels));
    return n;
}

}  // namespace

bool audio_rate_valid(int rate) {
    for (int r : {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000})
        if (rate == r) return true;
    return false;
}

bool decoded_probe(const std::string &path, std::string *why) {
    AVFormatContext *fmt = nullptr;
    int stream;
    if (!open_audio(path, &fmt, &stream, why)) return false;
    const AVCodecParameters *par = fmt->streams[stream]->codecpar;
    bool known = avcodec_find_decoder(par->codec_id) != nullptr;
    if (!known) *why = std::string("no decoder for ") + avcodec_get_name(par->codec_id);
    avformat_close_input(&fmt);
    return known;
}

bool decoded_open(decoded_file *d, const std::string &path, audio_format out, std::string *why,
                  const AVIOInterruptCB *cb, AVDictionary **opts) {
    *d = decoded_file{};
    if (!open_audio(path, &d->fmt, &d->stream, why, cb, opts)) return false;
    const AVCodecParameters *par = d->fmt->streams[d->stream]->codecpar;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    d->dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    int err = !codec ? AVERROR_DECODER_NOT_FOUND : !d->dec ? AVERROR(ENOMEM) : 0;
    if (err == 0) err = avcodec_parameters_to_context(d->dec, par);
    if (err == 0) err = avcodec_open2(d->dec, codec, nullptr);
    if (err < 0) {
        *why = err == AVERROR_DECODER_NOT_FOUND
                   ? std::string("no decoder for ") + avcodec_get_name(par->codec_id)
                   : av_why(err);
        decoded_close(d);
        return false;
    }
    d->codec = avcodec_get_name(par->codec_id);
    // The file's own layout, or the usual one for its channel count when
    // the container names none.
    AVChannelLayout in_layout;
    if (d->dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&in_layout, d->dec->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&in_layout, &d->dec->ch_layout);
    d->out.rate = out.rate > 0 ? out.rate : d->dec->sample_rate;
    d->out.channels = out.channels > 0 ? out.channels : in_layout.nb_channels;
    AVChannelLayout out_layout;
    av_channel_layout_default(&out_layout, d->out.channels);
    err = swr_alloc_set_opts2(&d->swr, &out_layout, AV_SAMPLE_FMT_FLT, d->out.rate, &in_layout,
                              d->dec->sample_fmt, d->dec->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    if (err >= 0) err = swr_init(d->swr);
    d->packet = av_packet_alloc();
    d->frame = av_frame_alloc();
    if (err >= 0 && (!d->packet || !d->frame)) err = AVERROR(ENOMEM);
    if (err < 0) {
        *why = av_why(err);
        decoded_close(d);
        return false;
    }
    return true;
}

bool decoded_is_mp3_of(const decoded_file *d, audio_format f) {
    return d->dec->codec_id == AV_CODEC_ID_MP3 && d->dec->sample_rate == f.rate &&
           d->dec->ch_layout.nb_channels == f.channels;
}

long decoded_packet(decoded_file *d, std::vector<uint8_t> *bytes, std::string *why) {
    for (;;) {
        int err = av_read_frame(d->fmt, d->packet);
        if (err == AVERROR_EOF) return -1;
        if (err < 0) {
            *why = av_why(err);
            return -2;
        }
        long n = d->packet->stream_index == d->stream ? d->packet->size : -3;
        if (n >= 0) bytes->insert(bytes->end(), d->packet->data, d->packet->data + n);
        av_packet_unref(d->packet);
        if (n >= 0) return n;
    }
}

long decoded_read(decoded_file *d, std::vector<float> *pcm, std::string *why) {
    if (d->drained) return -1;
    bool at_end = false;
    for (;;) {
        int err = av_read_frame(d->fmt, d->packet);
        if (err == AVERROR_EOF) {
            at_end = true;
            avcodec_send_packet(d->dec, nullptr);
            break;
        }
        if (err < 0) {
            *why = av_why(err);
            return -2;
        }
        bool ours = d->packet->stream_index == d->stream;
        if (ours) err = avcodec_send_packet(d->dec, d->packet);
        av_packet_unref(d->packet);
        // A packet that does not decode is passed over.
        if (ours && err != AVERROR_INVALIDDATA) break;
    }
    long got = 0;
    for (;;) {
        int err = avcodec_receive_frame(d->dec, d->frame);
        if (err < 0) break;
        int n = convert(d, d->frame, pcm);
        av_frame_unref(d->frame);
        if (n < 0) {
            *why = av_why(n);
            return -2;
        }
        got += n;
    }
    if (!at_end) return got;
    int n;
    while ((n = convert(d, nullptr, pcm)) > 0) got += n;
    d->drained = true;
    return got > 0 ? got : -1;
}

void decoded_close(decoded_file *d) {
    av_frame_free(&d->frame);
    av_packet_free(&d->packet);
    swr_free(&d->swr);
    avcodec_free_context(&d->dec);
    avformat_close_input(&d->fmt);
    d->drained = true;
}

bool mp3_encoder_open(mp3_encoder *e, audio_format f, std::string *why, bool standalone) {
    *e = mp3_encoder{};
    e->format = f;
    e->standalone = standalone;
    e->lame = lame_init();
    if (!e->lame) {
        *why = "the MP3 encoder cannot start";
        return false;
    }
    lame_set_in_samplerate(e->lame, f.rate);
    lame_set_out_samplerate(e->lame, f.rate);
    lame_set_num_channels(e->lame, f.channels);
    lame_set_mode(e->lame, f.channels == 1 ? MONO : JOINT_STEREO);
    lame_set_brate(e->lame, TRANSCODE_KBPS);
    lame_set_VBR(e->lame, vbr_off);
    lame_set_bWriteVbrTag(e->lame, 0);
    // LAME's own "good" speed: a few per cent of a core per channel.
    lame_set_quality(e->lame, 5);
    if (standalone) lame_set_disable_reservoir(e->lame, 1);
    if (lame_init_params(e->lame) < 0) {
        *why = "the MP3 encoder refuses " + std::to_string(f.rate) + " Hz, " +
               std::to_string(f.channels) + " channels";
        mp3_encoder_close(e);
        return false;
    }
    return true;
}

void mp3_encode(mp3_encoder *e, const float *pcm, size_t n, float gain, std::vector<uint8_t> *mp3) {
    // LAME takes at most this many frames a call without a huge buffer.
    constexpr size_t STEP = 4096;
    std::vector<float> scaled;
    std::vector<float> right;
    size_t ch = static_cast<size_t>(e->format.channels);
    for (size_t done = 0; done < n;) {
        size_t k = std::min(STEP, n - done);
        const float *p = pcm + done * ch;
        if (gain != 1.0f) {
            scaled.assign(p, p + k * ch);
            for (float &s : scaled) s *= gain;
            p = scaled.data();
        }
        // The worst case LAME documents: 1.25 samples + 7200 bytes.
        size_t at = mp3->size();
        mp3->resize(at + k + k / 4 + 7200);
        int got = ch == 1 ? lame_encode_buffer_ieee_float(e->lame, p, p, static_cast<int>(k),
                                                          mp3->data() + at,
                                                          static_cast<int>(mp3->size() - at))
                          : lame_encode_buffer_interleaved_ieee_float(
                                e->lame, p, static_cast<int>(k), mp3->data() + at,
                                static_cast<int>(mp3->size() - at));
        mp3->resize(at + static_cast<size_t>(std::max(got, 0)));
        done += k;
    }
    e->held += static_cast<long long>(n);
}

void mp3_encode_flush(mp3_encoder *e, std::vector<uint8_t> *mp3) {
    if (e->held == 0) return;
    // LAME's flush without a gap leaves the samples it holds for what
    // comes next; here nothing of it follows, so they go out padded with
    // silence, and the encoder starts again afresh.
    size_t at = mp3->size();
    mp3->resize(at + 7200);
    int got = lame_encode_flush(e->lame, mp3->data() + at, 7200);
    mp3->resize(at + static_cast<size_t>(std::max(got, 0)));
    audio_format f = e->format;
    bool standalone = e->standalone;
    mp3_encoder_close(e);
    std::string why;
    mp3_encoder_open(e, f, &why, standalone);
}

void mp3_encoder_close(mp3_encoder *e) {
    if (e->lame) lame_close(e->lame);
    e->lame = nullptr;
}
