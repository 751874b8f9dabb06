// The client's repair relay without sockets: which repair datagrams count,
// what a switch hands out, when the poll wakes, and the counts line.
#include <limits.h>

#include <string>

#include <gtest/gtest.h>

#include "repair_encoder.h"
#include "repair_relay.h"

namespace {

sockaddr_in source(uint32_t addr, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addr);
    a.sin_port = htons(port);
    return a;
}

std::vector<uint8_t> datagram(uint8_t chnid, int i) {
    return {chnid, static_cast<uint8_t>('a' + i), static_cast<uint8_t>(i)};
}

// A block of four datagrams of channel 1, lost the third, and its repair
// from a sender that is not the server, from the server for another
// channel, and from the server: only the last rebuilds it.
TEST(RepairRelay, OnlyTheServersRepairOfTheChannelRebuildsItsBlock) {
    const sockaddr_in server = source(0x0A000001, 1995);
    repair_encoder e = repair_encoder_start({4, 2, 1'000'000'000, 0}, 7);
    repair_datagrams repair, out;
    for (int i = 0; i < 4; i++) repair_encoder_add(&e, datagram(1, i).data(), 3, 0, &repair);
    repair_encoder_tick(&e, 2'000'000'000, &repair);
    ASSERT_EQ(2u, repair.size());
    repair_relay r;
    repair_relay_follow(&r, 1, &out);
    for (int i : {0, 1, 3}) repair_relay_data(&r, datagram(1, i).data(), 3, 10, &out);
    std::vector<uint8_t> other_channel = repair[0];
    other_channel[0] = 2;
    for (const auto &[from, d] : {std::pair{source(0x0A000001, 1996), repair[0]},
                                  {source(0x0A000002, 1995), repair[0]},
                                  {server, other_channel}}) {
        repair_relay_repair(&r, server, from, d.data(), d.size(), 20, &out);
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(r.decoder.blocks.empty());
    }
    repair_relay_repair(&r, server, server, repair[0].data(), repair[0].size(), 20, &out);
    ASSERT_EQ(4u, out.size());
    for (int i = 0; i < 4; i++) EXPECT_EQ(datagram(1, i), out[i]) << i;
    EXPECT_EQ(1, r.decoder.counts.rebuilt);

    // A switch hands out what the channel left holds, and its counts stay.
    out.clear();
    repair_relay_data(&r, datagram(1, 4).data(), 3, 30, &out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(REPAIR_HOLD_NS / 1'000'000, repair_relay_wait_ms(r, 30));
    repair_relay_follow(&r, 2, &out);
    EXPECT_EQ(repair_datagrams{datagram(1, 4)}, out);
    EXPECT_EQ(1, r.left.rebuilt);
    EXPECT_EQ(2, r.decoder.chnid);
    repair_relay_follow(&r, 0, &out);  // the lists: no decoder
    EXPECT_FALSE(r.decoding);
}

TEST(RepairRelay, WaitEndsNeverBeforeTheHoldAndNotAtAllWithNothingHeld) {
    repair_relay r;
    repair_datagrams out;
    EXPECT_EQ(-1, repair_relay_wait_ms(r, 0)) << "no decoder";
    repair_relay_follow(&r, 1, &out);
    EXPECT_EQ(-1, repair_relay_wait_ms(r, 0)) << "nothing held";
    const long long came = 5'000'000'123, due = came + REPAIR_HOLD_NS;
    repair_relay_data(&r, datagram(1, 0).data(), 3, came, &out);
    struct row {
        long long now;
        int want;
    };
    for (const row &w : {row{due - 1'000'000, 1},
                         {due - 1'000'001, 2},
                         {due - 1, 1},
                         {due, 0},
                         {due + 1'000'000'000, 0}}) {
        SCOPED_TRACE(due - w.now);
        EXPECT_EQ(w.want, repair_relay_wait_ms(r, w.now));
    }
}

TEST(RepairRelay, CountsLineHoldsEveryDigitAndIsCutToItsBuffer) {
    struct row {
        long long rebuilt, lost;
        size_t size;
        std::string want;
    };
    const row rows[] = {
        {0, 0, 96, "rebuilt datagrams: 0, could not rebuild: 0\n"},
        {1204, 30, 96, "rebuilt datagrams: 1204, could not rebuild: 30\n"},
        {LLONG_MAX, -5, 96, "rebuilt datagrams: 9223372036854775807, could not rebuild: 0\n"},
        {1204, 30, 20, "rebuilt datagrams: 1"},
    };
    for (const auto &w : rows) {
        SCOPED_TRACE(w.want);
        char buf[96];
        size_t n = repair_counts_text(buf, w.size, w.rebuilt, w.lost);
        EXPECT_EQ(w.want, std::string(buf, n));
    }
}

}  // namespace
