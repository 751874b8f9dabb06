// icy.cc - ICY metadata blocks and where they fall in a listener's stream.
#include "icy.h"

namespace {

constexpr char PREFIX[] = "StreamTitle='";
constexpr char SUFFIX[] = "';";
constexpr char RIGHT_QUOTE[] = "\u2019";  // in UTF-8, as the title is

}  // namespace

std::string icy_block(const std::string &title) {
    // A quote would end the field early: players read up to the next "';",
    // and whatever follows as fields of their own.
    std::string quoted;
    for (char c : title) {
        if (c == '\'')
            quoted += RIGHT_QUOTE;
        else
            quoted += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
    }
    size_t room = ICY_BLOCK_MAX - (sizeof PREFIX - 1) - (sizeof SUFFIX - 1);
    size_t n = quoted.size();
    if (n > room) {
        n = room;
        // Back to the start of a character: never half of one.
        while (n > 0 && (static_cast<unsigned char>(quoted[n]) & 0xC0) == 0x80) n--;
    }
    std::string text = PREFIX + quoted.substr(0, n) + SUFFIX;
    size_t units = (text.size() + 15) / 16;
    text.resize(units * 16, '\0');
    return std::string(1, static_cast<char>(units)) + text;
}

size_t icy_next_piece(const icy_state &s, size_t len, bool *block_due) {
    *block_due = len >= s.until_block;
    return *block_due ? s.until_block : len;
}

void icy_sent(icy_state *s, size_t n) {
    s->until_block -= n;
}

std::string icy_due_block(icy_state *s, const std::string &title) {
    s->until_block = ICY_METAINT;
    if (s->sent_any && title == s->sent_title) return std::string(1, '\0');
    s->sent_any = true;
    s->sent_title = title;
    return icy_block(title);
}
