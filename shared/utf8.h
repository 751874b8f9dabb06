// utf8.h - where a valid UTF-8 character ends.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The length of the valid multi-byte UTF-8 sequence at text[0, len), or 0
// when there is none (the lead byte is ASCII, or the sequence is invalid:
// overlong, a surrogate, past U+10FFFF, or cut short).
size_t utf8_sequence(const uint8_t *text, size_t len);
