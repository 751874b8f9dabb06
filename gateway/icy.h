// icy.h - ICY metadata in an audio stream: for a listener that asks with
// "Icy-MetaData: 1", a metadata block follows every ICY_METAINT bytes of
// audio. A block is one length byte N, then 16 * N bytes: the text
// "StreamTitle='...';" padded with NUL bytes, or nothing (N = 0) when the
// title has not changed since the listener's last block.
#pragma once

#include <stddef.h>

#include <string>

// Audio bytes between two metadata blocks, sent as the icy-metaint header.
constexpr size_t ICY_METAINT = 16000;
// The most text one block carries: 255 * 16 bytes.
constexpr size_t ICY_BLOCK_MAX = 255 * 16;

// The block carrying title, each ' in it as U+2019 (so that the block
// always holds exactly one field), its bytes below 0x20 blanked, and cut
// (at a UTF-8 character boundary) so that it fits ICY_BLOCK_MAX.
std::string icy_block(const std::string &title);

// A listener's place in the metadata rhythm.
struct icy_state {
    size_t until_block = ICY_METAINT;  // audio bytes before the next block
    std::string sent_title;            // the title of its last full block
    bool sent_any = false;
};

// How many of len audio bytes go out before the next block (all len when
// none falls inside them); *block_due says a block follows them.
size_t icy_next_piece(const icy_state &s, size_t len, bool *block_due);

// Counts n audio bytes sent, as icy_next_piece allowed.
void icy_sent(icy_state *s, size_t n);

// The block due now for title: a full one when the title differs from the
// last one sent (or none was sent), else the empty block. Restarts the
// count of audio bytes.
std::string icy_due_block(icy_state *s, const std::string &title);
