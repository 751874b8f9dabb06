// transcode.h - audio that is no MP3 of its channel's format put on the
// air as one: a file of any format FFmpeg reads (FLAC, Ogg Vorbis, Opus,
// AAC or ALAC in MP4, WAV, AIFF, MP3 at another rate) decoded packet by
// packet into interleaved float samples at the channel's rate and channel
// count (libavformat, libavcodec, libswresample), and a channel's MP3
// encoder (LAME), which runs on across files so that transcoded tracks
// follow each other without a gap.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct SwrContext;
struct AVPacket;
struct AVFrame;
struct lame_global_struct;
struct AVIOInterruptCB;
struct AVDictionary;

// What a channel sends: its sample rate and channel count.
struct audio_format {
    int rate = 44100;
    int channels = 2;
};

// The sample rates an MP3 frame can have.
bool audio_rate_valid(int rate);

// A file being decoded. Plain handles of the libraries; decoded_open fills
// them, decoded_close frees them.
struct decoded_file {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    SwrContext *swr = nullptr;
    AVPacket *packet = nullptr;
    AVFrame *frame = nullptr;
    int stream = -1;
    audio_format out;      // what it is converted to
    bool drained = false;  // the decoder and the converter gave their last samples
    std::string codec;     // the audio's coding, as FFmpeg names it
};

// Whether path holds an audio stream FFmpeg decodes; *why says why not.
// Reads only the file's head (its stream headers).
bool decoded_probe(const std::string &path, std::string *why);

// Opens path (a file, or any address FFmpeg reads) for decoding to out (0
// in a field: the file's own rate or channel count). False with *why set
// when it holds no audio that decodes. With cb, every wait of the
// libraries, then and in decoded_read, asks cb whether to give up; opts
// are the demuxer's and protocol's options.
bool decoded_open(decoded_file *d, const std::string &path, audio_format out, std::string *why,
                  const AVIOInterruptCB *cb = nullptr, AVDictionary **opts = nullptr);

// Appends the samples of the next packet (interleaved, out.channels per
// frame) to *pcm. Returns the frames appended (0 for a packet that gives
// none), -1 at the end (the converter's last samples appended), -2 with
// *why set when reading fails. A packet that does not decode is passed
// over, as players do.
long decoded_read(decoded_file *d, std::vector<float> *pcm, std::string *why);

// Whether the audio is MP3 of format f, which may go out as it is.
bool decoded_is_mp3_of(const decoded_file *d, audio_format f);

// Appends the next packet of the audio, as it is coded, to *bytes, without
// decoding it. Returns its size, -1 at the end, -2 with *why set when
// reading fails.
long decoded_packet(decoded_file *d, std::vector<uint8_t> *bytes, std::string *why);

void decoded_close(decoded_file *d);

// The bit rate of what is transcoded.
constexpr int TRANSCODE_KBPS = 128;

// A channel's MP3 encoder: constant TRANSCODE_KBPS, no header frame.
struct mp3_encoder {
    lame_global_struct *lame = nullptr;
    audio_format format;
    long long held = 0;  // frames given to it since it was last flushed
    bool standalone = false;
};

// With standalone, the bit reservoir is off: no frame's audio data begins
// in the frames before it, so that frames can be dropped or repeated.
bool mp3_encoder_open(mp3_encoder *e, audio_format f, std::string *why, bool standalone = false);

// Encodes n frames of interleaved samples (in [-1, 1]), scaled by gain,
// appending what comes out to *mp3.
void mp3_encode(mp3_encoder *e, const float *pcm, size_t n, float gain, std::vector<uint8_t> *mp3);

// The samples the encoder still holds, padded to whole frames, appended to
// *mp3; the encoder goes on afterwards with a new stream.
void mp3_encode_flush(mp3_encoder *e, std::vector<uint8_t> *mp3);

void mp3_encoder_close(mp3_encoder *e);
