// visible.h - text from the network made safe to show on a terminal.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

// The most bytes visible_unit writes for one unit of text.
constexpr size_t VISIBLE_UNIT_MAX = 12;

// Shows the first unit of text[0, len) (len >= 1): one character, or one
// byte that is not valid UTF-8. Writes its visible form to out and returns
// its size; *used is the number of input bytes it stood for. Printable
// ASCII, newline, tab and valid UTF-8 of U+00A0 and above are kept as they
// are; other C0 controls become ^X (ESC is ^[), DEL ^?, and each byte of a
// C1 control (U+0080 to U+009F), of a bidirectional control (U+202A to
// U+202E, U+2066 to U+2069) or of invalid UTF-8 (stray continuation bytes,
// overlong forms, surrogates, values past U+10FFFF, cut sequences) \xNN in
// lower-case hex.
size_t visible_unit(const uint8_t *text, size_t len, char out[VISIBLE_UNIT_MAX], size_t *used);

// Appends text[0, len) to *out with every unit shown as visible_unit shows it.
void visible_append(const uint8_t *text, size_t len, std::string *out);
