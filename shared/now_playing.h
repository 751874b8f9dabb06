// now_playing.h - the now-playing datagram: what a channel plays, sent by the
// server to the group on a port of its own (by default the radio's port + 1),
// so that receivers of the radio's port never see it; once when a channel
// starts a file, then every NOW_PLAYING_REPEAT_S seconds while it plays, so
// that a receiver who joins late learns it.
//
// UTF-8 text, one datagram each, of lines "key=value\n" in this order:
//   now-playing=1   the format and its version; always the first line
//   channel=N       the channel, 1 to 255
//   title=TEXT      the file's title, from its tags; empty when it has none
//   artist=TEXT     its artist, likewise
//   file=NAME       the file's name, without its folder
//   codec=NAME      its audio's coding, as FFmpeg names it (mp3, flac,
//                   vorbis, opus, aac, alac, pcm_s16le...)
//   transcoded=0|1  1 when the server encodes it again as MP3 of the
//                   channel's format, 0 when its MP3 frames go out as
//                   they are
//   gain=DB         with a loudness target: the gain it plays at, in dB
//                   with one decimal ("+3.0", "-4.5"); absent otherwise
// Values hold no control characters (C0, DEL, C1 and bidirectional, see
// utf8_is_control: each becomes a blank), no invalid UTF-8 (each bad byte
// becomes U+FFFD) and at most NOW_PLAYING_VALUE_MAX bytes, cut at a
// character boundary. A reader takes
// the lines it knows and passes over others, so that later versions can
// add lines.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The now-playing port beside the radio's port: the next one; 0 (none)
// for 65535, which has no port above it.
int now_playing_port(int port);

// The repair port beside the radio's port (repair.h): the one after the
// now-playing port; 0 (none) for 65534 and 65535.
int repair_port(int port);

// How often the server repeats a channel's datagram while the file plays.
constexpr int NOW_PLAYING_REPEAT_S = 5;

// The most bytes of one value; the datagram stays well under 4 KiB.
constexpr size_t NOW_PLAYING_VALUE_MAX = 1000;

struct now_playing {
    int chnid = 0;
    std::string title;
    std::string artist;
    std::string file;
    std::string codec = "";
    bool transcoded = false;
    std::string gain = "";  // "" without a loudness target
};

// text as a value: utf8_clean cut at NOW_PLAYING_VALUE_MAX bytes (control
// characters blanked, bad UTF-8 replaced). Also for other text from the
// network that is shown as a title (a channel's description).
std::string now_playing_clean(const std::string &text);

// The datagram that carries np (its values cleaned as above).
std::string now_playing_encode(const now_playing &np);

// What np says plays, as players show it: "ARTIST - TITLE" when it has
// both, else the title alone, else the file's name; "" when np has none of
// them. The gateway's ICY title and the client's now-playing line.
std::string now_playing_text(const now_playing &np);

// Reads a datagram; false when it is not a now-playing datagram of this
// version with a channel of 1 to 255. Values are cleaned as the writer
// cleans them, whoever sent them; missing ones are left empty.
bool now_playing_parse(const uint8_t *buf, size_t len, now_playing *out);
