// Time answers count only from the address the request went to, with the
// nonce of a request still waited for, once.
#include "time_ask.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "timing.h"

namespace {

sockaddr_in addr(const char *ip, int port) {
    return {AF_INET, htons(static_cast<uint16_t>(port)), {inet_addr(ip)}, {}};
}

TEST(TimeAsk, AnAnswerCountsOnceFromTheServerWithANonceWaitedFor) {
    const sockaddr_in S = addr("10.0.0.1", 1989);
    time_ask t;
    t.connected = true;
    t.peer = S;
    t.waited = {{11, 100}, {22, 200}};
    struct step {
        const char *name;
        sockaddr_in from;
        uint8_t kind;
        uint64_t nonce;
        size_t size;
        long long want_sent;  // 0: refused
    };
    // clang-format off
    const step steps[] = {
        {"the newest request's", S, TIME_ANSWER, 22, TIME_SIZE, 200},
        {"the same again", S, TIME_ANSWER, 22, TIME_SIZE, 0},
        {"another port", addr("10.0.0.1", 1990), TIME_ANSWER, 11, TIME_SIZE, 0},
        {"another host", addr("10.0.0.2", 1989), TIME_ANSWER, 11, TIME_SIZE, 0},
        {"a request", S, TIME_REQUEST, 11, TIME_SIZE, 0},
        {"a nonce never sent", S, TIME_ANSWER, 33, TIME_SIZE, 0},
        {"cut short", S, TIME_ANSWER, 11, TIME_SIZE - 1, 0},
        {"the older request's", S, TIME_ANSWER, 11, TIME_SIZE, 100},
    };
    // clang-format on
    for (const step &s : steps) {
        SCOPED_TRACE(s.name);
        uint8_t bytes[TIME_SIZE];
        time_encode({s.kind, s.nonce, 5000, 5010}, bytes);
        clock_sample got;
        bool taken = time_ask_match(&t, s.from, bytes, s.size, 900, &got);
        EXPECT_EQ(s.want_sent != 0, taken);
        if (!taken) continue;
        EXPECT_EQ(s.want_sent, got.sent);
        EXPECT_EQ(5000, got.receive);
        EXPECT_EQ(5010, got.transmit);
        EXPECT_EQ(900, got.came);
    }
    EXPECT_TRUE(t.waited.empty());
}

}  // namespace
