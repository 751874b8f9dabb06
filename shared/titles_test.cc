// The now-playing lines: only the followed server's datagrams count, a
// line comes when the followed channel's text changes and once after each
// switch, and a text goes to a terminal with its controls made visible.
#include "titles.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "now_playing.h"

namespace {

sockaddr_in addr(const char *ip, int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(ip)}, {}};
}

TEST(Titles, SaidOnChangeAndOnceAfterASwitchFromTheFollowedServerOnly) {
    const sockaddr_in S = addr("10.0.0.1", 1989);
    // A datagram from `from` saying what channel chnid plays, or with
    // follow a switch to chnid; and the text it must bring ("": none).
    struct step {
        sockaddr_in from;
        int chnid;
        const char *title, *artist, *want;
        bool follow = false;
    };
    // clang-format off
    const step steps[] = {
        {S, 1, "", "", "", true},                          // follows 1, nothing known
        {S, 2, "Blue", "", ""},                            // another channel: kept
        {S, 1, "So What", "Miles", "Miles - So What"},
        {S, 1, "So What", "Miles", ""},                    // the same again
        {addr("10.0.0.1", 1990), 1, "Spoof", "", ""},      // the server's host, another port
        {addr("10.0.0.9", 1989), 1, "Spoof", "", ""},      // another host
        {S, 1, "", "", ""},                                // nothing to say
        {S, 1, "Freddie", "Miles", "Miles - Freddie"},
        {S, 2, "", "", "Blue", true},                      // known: said at once
        {S, 2, "Blue", "", ""},
        {S, 1, "", "", "Miles - Freddie", true},           // back: said again
        {S, 3, "", "", "", true},                          // unknown: said when it comes
        {S, 3, "Green", "", "Green"},
        {S, 0, "", "", "", true},                          // no channel
    };
    // clang-format on
    titles t;
    for (const step &s : steps) {
        SCOPED_TRACE(std::string(s.follow ? "follow " : "datagram ") + std::to_string(s.chnid));
        std::string text, d = now_playing_encode({s.chnid, s.title, s.artist, ""});
        bool said = s.follow
                        ? titles_follow(&t, s.chnid, &text)
                        : titles_take(&t, S, s.from, reinterpret_cast<const uint8_t *>(d.data()),
                                      d.size(), &text);
        EXPECT_EQ(s.want, said ? text : "");
    }
}

TEST(Titles, ATerminalGetsControlsMadeVisible) {
    const std::string text =
        "A\xC2\x9B"
        "B \xE2\x98\x83";  // C1 CSI, then a snowman
    EXPECT_EQ("now playing: " + text + "\n", titles_line(text, false));
    EXPECT_EQ("now playing: A\\xc2\\x9bB \xE2\x98\x83\n", titles_line(text, true));
}

}  // namespace
