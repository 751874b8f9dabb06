// utf8.h - where a valid UTF-8 character ends, and text made clean to show.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The length of the valid multi-byte UTF-8 sequence at text[0, len), or 0
// when there is none (the lead byte is ASCII, or the sequence is invalid:
// overlong, a surrogate, past U+10FFFF, or cut short).
size_t utf8_sequence(const uint8_t *text, size_t len);

// Whether the character of len bytes at p (1 for ASCII, else
// utf8_sequence's length) is a control character: C0, DEL, C1 (U+0000 to
// U+001F, U+007F, U+0080 to U+009F) or a bidirectional control (U+202A to
// U+202E, U+2066 to U+2069), which reorders the text that follows it on a
// terminal or a page so that it reads as something else.
bool utf8_is_control(const uint8_t *p, size_t len);

// text with each control character (utf8_is_control) made a blank and each
// byte that is not part of valid UTF-8 made U+FFFD, cut whole at max bytes:
// fit for a line of report or a field that others show, where a line
// break, an escape sequence or a reordering in a file's name or tag could
// pass for something else.
std::string utf8_clean(const std::string &text, size_t max = SIZE_MAX);
