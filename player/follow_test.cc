// The server followed: the first list's source, and another only once the
// one followed has been silent for FOLLOW_SILENCE_NS, or at once when the
// radio is announced from there.
#include "follow.h"

#include <arpa/inet.h>

#include <string>

#include <gtest/gtest.h>

namespace {

sockaddr_in addr(const char *ip, int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(ip)}, {}};
}

TEST(Follow, AnotherSourceTakesOverWithAListAfterSilenceOrWhenAnnounced) {
    const sockaddr_in S = addr("10.0.0.1", 1989), AGAIN = addr("10.0.0.1", 40000),
                      OTHER = addr("10.0.0.2", 1989);
    constexpr long long MS = 1'000'000;
    struct step {
        sockaddr_in from;
        bool is_list;
        long long at_ms;
        follow_kind want;
        bool announced = false;  // the radio announced from `from` just before
    };
    // clang-format off
    const step steps[] = {
        {S, false, 0, FOLLOW_IGNORED},                // data before any list
        {S, true, 10, FOLLOW_NEW},
        {S, false, 20, FOLLOW_SAME},
        {OTHER, true, 30, FOLLOW_IGNORED},            // a list while the server sends
        {AGAIN, false, 6000, FOLLOW_IGNORED},         // data from another port, however late
        {AGAIN, true, 5019, FOLLOW_IGNORED},          // silent 4999 ms only
        {AGAIN, true, 5020, FOLLOW_NEW},              // the server started again on another port
        {S, true, 5030, FOLLOW_IGNORED},              // the old port is another source now
        {AGAIN, false, 5040, FOLLOW_SAME},
        {OTHER, false, 5050, FOLLOW_IGNORED, true},   // announced there: data is not a list
        {S, true, 5060, FOLLOW_IGNORED},              //   nor a list from elsewhere
        {OTHER, true, 5070, FOLLOW_NEW},              //   its list, while the server sends
        {AGAIN, true, 5080, FOLLOW_IGNORED},          //   and the one before is another source
    };
    // clang-format on
    follow f;
    for (const step &s : steps) {
        SCOPED_TRACE(std::to_string(s.at_ms) + " ms");
        if (s.announced) follow_expect(&f, s.from);
        EXPECT_EQ(s.want, follow_take(&f, s.from, s.is_list, s.at_ms * MS));
    }
}

}  // namespace
