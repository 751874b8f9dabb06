// tune.h - what a listener types while it plays (the client's --tune, with
// a terminal on standard input; the player's terminal): another channel's
// number and Enter, which it switches to at that channel's next datagram;
// Enter alone, for the latest channel list; anything else gets a one-line
// hint and changes nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <bitset>
#include <string>
#include <vector>

// The most bytes of one typed line that are looked at; the rest of a
// longer line is passed over.
constexpr size_t TUNE_LINE_MAX = 64;

enum tune_kind {
    TUNE_LIST,    // an empty line: show the latest list
    TUNE_SWITCH,  // a channel of the list
    TUNE_HINT,    // 0, a number not on the list, or anything else
};

struct tune_action {
    tune_kind kind;
    int chnid;  // with TUNE_SWITCH
};

// The channels of the list message buf[0, len): those of its entries up to
// the first that does not fit, as the list is shown.
std::bitset<256> tune_listed(const uint8_t *buf, size_t len);

// What one typed line (its newline taken off) asks for. Blanks around it
// do not count; a number is decimal digits, with leading zeros or a plus
// sign as the first choice takes it.
tune_action tune_line(const std::string &line, const std::bitset<256> &listed);

// The hint, one line naming the channels of the list.
std::string tune_hint(const std::bitset<256> &listed);

struct tuning {
    std::string partial;  // typed bytes of a line not yet ended
    std::string list;     // the latest channel list message from the server
    int pending = -1;     // the channel asked for, switched to at its next datagram
};

// Appends to *lines each line that bytes[0, n) end, without its newline,
// cut to TUNE_LINE_MAX bytes; keeps the start of an unended line in t.
void tune_split(tuning *t, const char *bytes, size_t n, std::vector<std::string> *lines);

// A text that tune_read has to say, and where: the list goes to standard
// output, the hint to standard error.
struct tune_said {
    bool to_stdout;
    std::string text;
};

// Reads what the terminal fd has (poll said it has something) and acts on
// each whole line: Enter alone appends the latest list for standard output
// to *said (list_visible: its control characters made visible), a channel
// of that list becomes t->pending, anything else appends the hint for
// standard error. Returns 0, or -1 when the terminal gives nothing more
// (end of input, or a failed read): it need not be watched any more.
int tune_read(tuning *t, int fd, bool list_visible, std::vector<tune_said> *said);
