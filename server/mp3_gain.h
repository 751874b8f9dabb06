// mp3_gain.h - an MP3 frame made louder or softer without decoding it:
// each granule's global gain, the step of its quantiser, moved by whole
// steps of 2^(1/4) in amplitude (about 1.5 dB). The audio stays as coded,
// so nothing is lost, and the frame keeps its size.
//
// Where the global gains sit, in bits from the start of the side
// information (after the 4-byte header and, when there is one, the
// 2-byte CRC), and how far apart they are, one per granule and channel:
//
//   MPEG-1 stereo   20 + 21, then every 59 bits   4 of them
//   MPEG-1 mono     18 + 21, then every 59 bits   2
//   MPEG-2/2.5 st.  10 + 21, then every 63 bits   2
//   MPEG-2/2.5 mono  9 + 21                       1
//
// (the bits before the first granule: main_data_begin, the private bits
// and, in MPEG-1, the scale factor selection; the 21: part2_3_length and
// big_values).
#pragma once

#include <stdint.h>

#include "mp3_frames.h"

// The size of one global gain step in dB.
constexpr double MP3_GAIN_STEP_DB = 1.505;

// Moves every global gain of the frame at f (h its header, h.size bytes)
// by steps, each kept in 0 to 255, and writes the frame's CRC again when
// it has one.
void mp3_frame_gain(uint8_t *f, const mp3_header &h, int steps);

// The frame's global gains, in granule and channel order; *n of them.
void mp3_frame_global_gains(const uint8_t *f, const mp3_header &h, int gains[4], int *n);
