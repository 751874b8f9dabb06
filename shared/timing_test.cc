// timing_test.cc - the timing datagram's and the time exchange's bytes.
#include "timing.h"

#include <gtest/gtest.h>

namespace {

timing_datagram two_listed() {
    timing_datagram t;
    t.chnid = 3;
    t.sample_rate = 44100;
    t.due = 5'000'000'123;
    t.first_crc = 0xCAFEF00D;
    t.listed = {{0x1234, 2304}, {0xBEEF, 1152}};
    return t;
}

TEST(TimingDatagram, FieldsReadBackAndEveryTruncationIsRefused) {
    std::vector<uint8_t> d;
    ASSERT_TRUE(timing_encode(two_listed(), &d));
    ASSERT_EQ(TIMING_HEADER_SIZE + 8, d.size());
    EXPECT_EQ(0x12, d[20]);  // the first fingerprint, big-endian, after the header
    timing_datagram t;
    ASSERT_TRUE(timing_parse(d.data(), d.size(), &t));
    EXPECT_EQ(3, t.chnid);
    EXPECT_EQ(5'000'000'123, t.due);
    EXPECT_EQ(0xCAFEF00Du, t.first_crc);
    ASSERT_EQ(2u, t.listed.size());
    EXPECT_EQ(0xBEEF, t.listed[1].fingerprint);
    EXPECT_EQ(1152, t.listed[1].samples);
    for (size_t n = 0; n < d.size(); n++) EXPECT_FALSE(timing_parse(d.data(), n, &t)) << n;
    struct bad_case {
        const char *name;
        size_t at;
        uint8_t value;
    };
    const bad_case BAD[] = {
        {"chnid 0", 0, 0}, {"version 2", 1, 2}, {"count 0", 2, 0}, {"count past the length", 2, 3},
        {"rate 0", 4, 0},
    };
    for (const auto &c : BAD) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = d;
        b[c.at] = c.value;
        if (c.at == 4) b[5] = b[6] = b[7] = 0;  // rate 0: all four bytes
        EXPECT_FALSE(timing_parse(b.data(), b.size(), &t));
    }
}

TEST(TimingDatagram, EachListedIsDueAfterThoseBeforeIt) {
    timing_datagram t = two_listed();
    EXPECT_EQ(t.due, timing_due_of(t, 0));
    EXPECT_EQ(t.due + 2304LL * 1'000'000'000 / 44100, timing_due_of(t, 1));  // 52.24 ms later
    t.listed.assign(TIMING_MAX_LISTED + 1, {1, 1152});
    std::vector<uint8_t> d;
    EXPECT_FALSE(timing_encode(t, &d));
}

TEST(TimeMessage, AnAnswerIsTheRequestsSizeAndEchoesItsNonce) {
    uint8_t b[TIME_SIZE];
    time_encode({TIME_ANSWER, 0x0123456789ABCDEFull, 7, 9}, b);
    time_message m;
    ASSERT_TRUE(time_parse(b, sizeof b, &m));
    EXPECT_EQ(TIME_ANSWER, m.kind);
    EXPECT_EQ(0x0123456789ABCDEFull, m.nonce);
    EXPECT_EQ(7, m.receive);
    EXPECT_EQ(9, m.transmit);
    for (size_t n = 0; n < sizeof b; n++) EXPECT_FALSE(time_parse(b, n, &m)) << n;
    for (size_t at : {0, 4, 5}) {
        uint8_t c[TIME_SIZE];
        memcpy(c, b, sizeof c);
        c[at] ^= 0x7F;
        EXPECT_FALSE(time_parse(c, sizeof c, &m)) << at;
    }
    EXPECT_EQ(1992, timing_port(1989));
    EXPECT_EQ(0, timing_port(65533));
}

}  // namespace
