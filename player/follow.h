// follow.h - which server a player follows: the source, address and port,
// of the first channel list it hears. Another source's list takes over
// only once the one followed has sent nothing for FOLLOW_SILENCE_NS, as
// when the server was started again (it may send from another port) or
// another host took its place; until then the other is a stray or a
// forger, and passed over. A source that the radio's announcement on the
// LAN names as its server (follow_expect) takes over with its first list
// at once. Pure: the time is handed in.
#pragma once

#include <netinet/in.h>

// As long as the gateway waits before it takes another server.
constexpr long long FOLLOW_SILENCE_NS = 5'000'000'000;

struct follow {
    bool has_server = false;
    sockaddr_in server{};
    long long heard = 0;        // when its latest datagram of the radio's port came
    bool has_expected = false;  // the radio was announced from expected:
    sockaddr_in expected{};     //   its list takes over, however recent the one followed
};

enum follow_kind {
    FOLLOW_IGNORED,  // not from the server followed
    FOLLOW_SAME,     // from the server followed
    FOLLOW_NEW,      // a list that makes its source the server followed
};

// Takes a datagram of the radio's port that came from `from` at now;
// is_list when it is a channel list.
follow_kind follow_take(follow *f, const sockaddr_in &from, bool is_list, long long now);

// The radio is announced on the LAN from `at` now: the first list from
// there takes over (unless it is the server followed already).
void follow_expect(follow *f, const sockaddr_in &at);
