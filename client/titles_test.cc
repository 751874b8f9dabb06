// The now-playing lines: only the followed server's datagrams count, a
// line comes when the followed channel's text changes and once after each
// switch, and a text goes to a terminal with its controls made visible.
#include "titles.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "now_playing.h"

namespace {

sockaddr_in addr(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

const sockaddr_in SERVER = addr("10.0.0.1", 1989);

// One step: a datagram from `from` about channel chnid, or with follow set
// a switch to chnid; and the line it must bring ("" for none).
struct step {
    sockaddr_in from;
    int chnid;
    const char *title, *artist;
    const char *want;
    bool follow = false;
};

TEST(Titles, SaidOnChangeAndOnceAfterASwitchFromTheFollowedServerOnly) {
    const step steps[] = {
        {SERVER, 1, "", "", "", true},  // follows 1, nothing known
        {SERVER, 2, "Blue", "", ""},    // another channel: kept
        {SERVER, 1, "So What", "Miles", "Miles - So What"},
        {SERVER, 1, "So What", "Miles", ""},           // the same again
        {addr("10.0.0.1", 1990), 1, "Spoof", "", ""},  // the server's host, another port
        {addr("10.0.0.9", 1989), 1, "Spoof", "", ""},  // another host
        {SERVER, 1, "", "", ""},                       // nothing to say
        {SERVER, 1, "Freddie", "Miles", "Miles - Freddie"},
        {SERVER, 2, "", "", "Blue", true},  // known: said at once
        {SERVER, 2, "Blue", "", ""},
        {SERVER, 1, "", "", "Miles - Freddie", true},  // back: said again
        {SERVER, 3, "", "", "", true},                 // unknown: said when it comes
        {SERVER, 3, "Green", "", "Green"},
        {SERVER, 0, "", "", "", true},  // no channel
    };
    titles t;
    int i = 0;
    for (const step &s : steps) {
        SCOPED_TRACE("step " + std::to_string(i++));
        std::string text;
        bool said;
        if (s.follow) {
            said = titles_follow(&t, s.chnid, &text);
        } else {
            std::string d = now_playing_encode({s.chnid, s.title, s.artist, ""});
            said = titles_take(&t, SERVER, s.from, reinterpret_cast<const uint8_t *>(d.data()),
                               d.size(), &text);
        }
        EXPECT_EQ(*s.want != '\0', said);
        if (said) {
            EXPECT_EQ(s.want, text);
        }
    }
    std::string text;
    const char junk[] = "now-playing=1\nchannel=1";  // no title, artist or file
    EXPECT_FALSE(titles_take(&t, SERVER, SERVER, reinterpret_cast<const uint8_t *>(junk),
                             sizeof junk - 1, &text));
}

TEST(Titles, ATerminalGetsControlsMadeVisible) {
    const std::string text =
        "A\xC2\x9B"
        "B \xE2\x98\x83";  // C1 CSI, then a snowman
    EXPECT_EQ("now playing: " + text + "\n", titles_line(text, false));
    EXPECT_EQ("now playing: A\\xc2\\x9bB \xE2\x98\x83\n", titles_line(text, true));
}

}  // namespace
