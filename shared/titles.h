// titles.h - a listener's now-playing lines (the client's with
// --now-playing-port or --tune, the player's): what the server it follows
// says its channel plays, from the server's now-playing datagrams
// (now_playing.h), as "now playing: TEXT" whenever the text changes, and
// once after a switch.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

struct titles {
    int chnid = -1;          // the channel followed; -1 none yet
    std::string shown;       // the line said for chnid since it was followed; "" none
    std::string known[256];  // each channel's latest text from the server; "" unknown
};

// Takes the datagram buf[0, len) that came from `from`. Only the followed
// server's (the address and source port of server, whose data the listener
// takes) counts. True with *text set when the followed channel's text is
// new: none said yet since it was followed, or another than the last.
bool titles_take(titles *t, const sockaddr_in &server, const sockaddr_in &from, const uint8_t *buf,
                 size_t len, std::string *text);

// Follows chnid from now on (the first choice, or a switch); true with
// *text set when its text is known already, to be said at once.
bool titles_follow(titles *t, long long chnid, std::string *text);

// The line for text: "now playing: TEXT\n", with its control characters
// made visible (visible.h) when it goes to a terminal.
std::string titles_line(const std::string &text, bool visible);

// How many datagrams one call of titles_receive takes at most, so that a
// flood on the now-playing port never keeps a listener from its data.
constexpr int TITLES_BATCH = 16;

// Takes what the now-playing socket sd has queued (up to TITLES_BATCH
// datagrams) and appends to *lines a line for each new text, shown visibly
// when visible. Returns 0, or -1 when a receive failed (errno set).
int titles_receive(titles *t, int sd, const sockaddr_in &server, bool visible, std::string *lines);
