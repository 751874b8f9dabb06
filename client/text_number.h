// text_number.h - the client's two numbers read from text, defined for any input.
#pragma once

#include <stdint.h>
#include <stdio.h>

// Reads the channel choice from in as scanf("%d") would: blanks (newlines
// too) skipped, an optional sign, then decimal digits up to the first other
// character, which is left unread. False when no digit follows (end of
// input, or other text). A number beyond int's range does not wrap: *choice
// then holds a value outside int's range (its sign kept), which matches no
// channel.
bool read_choice(FILE *in, long long *choice);

// The receive port of a port text, read as atoi reads (blanks, sign,
// digits; no number is 0) and cut to its low 16 bits. For numbers of any
// length the result is the low 16 bits of the exact value in two's
// complement: "70000" is 4464, "-1" is 65535, "abc" is 0.
uint16_t port_from_text(const char *text);
