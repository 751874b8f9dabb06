// Tests of datagram classification, the channel list walk and the data-phase rules.
#include "stream.h"

#include <arpa/inet.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proto.h"

namespace {

using bytes = std::vector<uint8_t>;

// Entries are built here byte by byte from the layout, not through
// proto_encode.h: a test that shared the encoder with the walk it checks
// would pass whatever the two agreed on, right or wrong.
bytes entry(int id, const std::string &desc) {
    size_t len = 3 + desc.size() + 1;
    bytes e;
    e.reserve(len);
    e.push_back(static_cast<uint8_t>(id));
    e.push_back(static_cast<uint8_t>(len >> 8));
    e.push_back(static_cast<uint8_t>(len & 0xFF));
    for (char c : desc) e.push_back(static_cast<uint8_t>(c));
    e.push_back(0);
    return e;
}

bytes list_of(const std::vector<bytes> &entries) {
    bytes m = {CHNID_LIST};
    for (const auto &e : entries) m.insert(m.end(), e.begin(), e.end());
    return m;
}

// What the client shows for buf. The datagram is copied into a buffer of its
// exact size so that ASan catches any read past the received bytes.
std::string printed(const bytes &buf, int *count = nullptr, bool visible = false) {
    uint8_t *exact = static_cast<uint8_t *>(malloc(buf.size() ? buf.size() : 1));
    if (!buf.empty()) memcpy(exact, buf.data(), buf.size());
    std::string s;
    int n = list_text(exact, buf.size(), visible, &s);
    free(exact);
    if (count) *count = n;
    return s;
}

sockaddr_in addr(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

}  // namespace

TEST(ListClassify, NeedsFiveBytesAndChannelZero) {
    struct row {
        const char *name;
        bytes buf;
        list_kind want;
    };
    const row rows[] = {
        {"empty", {}, LIST_TOO_SHORT},
        {"four bytes of list", {0, 1, 0, 4}, LIST_TOO_SHORT},
        {"four bytes of data", {7, 1, 0, 4}, LIST_TOO_SHORT},
        {"smallest list", {0, 1, 0, 4, 0}, LIST_ACCEPTED},
        {"data message", {3, 'a', 'b', 'c', 'd'}, LIST_NOT_LIST},
        {"channel 255", {255, 0, 0, 0, 0, 0}, LIST_NOT_LIST},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.want, list_classify(r.buf.data(), r.buf.size()));
    }
}

TEST(ListPrint, PrintsEveryEntryInOrderWithNothingAdded) {
    bytes m = list_of({entry(1, "news\n"), entry(2, ""), entry(255, "a b c")});
    int n = 0;
    EXPECT_EQ("channel:1news\nchannel:2channel:255a b c", printed(m, &n));
    EXPECT_EQ(3, n);
}

TEST(ListPrint, OnATerminalOnlyDescriptionsShowTheirControls) {
    bytes m = list_of({entry(1, "a\x1b[2Jb\n"), entry(27, "\x9b\tc")});
    EXPECT_EQ("channel:1a^[[2Jb\nchannel:27\\x9b\tc", printed(m, nullptr, true));
    EXPECT_EQ("channel:1a\x1b[2Jb\nchannel:27\x9b\tc", printed(m, nullptr, false));
}

TEST(ListPrint, SmallestListHasOneEmptyDescription) {
    EXPECT_EQ("channel:1", printed({0, 1, 0, 4, 0}));
}

TEST(ListPrint, DescriptionEndsAtItsFirstNul) {
    // len 8 covers "ab\0cd" then the next entry follows.
    bytes m = {0, 4, 0, 8, 'a', 'b', 0, 'c', 'd'};
    bytes next = entry(5, "x");
    m.insert(m.end(), next.begin(), next.end());
    EXPECT_EQ("channel:4abchannel:5x", printed(m));
}

// Every cut of a valid list prints exactly the entries that lie wholly
// before the cut, and never reads past it.
TEST(ListPrint, EveryTruncationPrintsTheWholeEntriesBeforeTheCut) {
    std::vector<bytes> entries = {entry(1, "one\n"), entry(2, "two two\n"), entry(3, "3\n")};
    bytes m = list_of(entries);
    for (size_t cut = 0; cut <= m.size(); cut++) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        std::string want;
        size_t end = 1;
        for (size_t i = 0; i < entries.size(); i++) {
            end += entries[i].size();
            if (end > cut) break;
            want += "channel:" + std::to_string(i + 1) +
                    std::string(entries[i].begin() + 3, entries[i].end() - 1);
        }
        EXPECT_EQ(want, printed(bytes(m.begin(), m.begin() + static_cast<long>(cut))));
    }
}

TEST(ListPrint, StopsAtAnEntryThatDoesNotFit) {
    bytes good = entry(1, "ok\n");
    struct row {
        const char *name;
        bytes bad;  // follows one good entry
    };
    const row rows[] = {
        {"len 0 would never advance", {2, 0, 0, 'x', 0}},
        {"len 1", {2, 0, 1, 'x', 0}},
        {"len 2", {2, 0, 2, 'x', 0}},
        {"len 3 leaves no room for the NUL", {2, 0, 3}},
        {"len 3 before more bytes", {2, 0, 3, 'x', 0}},
        {"len one past the end", {2, 0, 6, 'x', 0}},
        {"len 65535", {2, 0xFF, 0xFF, 'x', 0}},
        {"len big-endian 0x0500 not 5", {2, 5, 0, 'x', 0}},
        {"no NUL in the description", {2, 0, 5, 'x', 'y'}},
        {"NUL only past the entry", {2, 0, 4, 'x', 0}},
        {"header cut after the id", {2}},
        {"header cut inside len", {2, 0}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        bytes tail = entry(9, "never\n");
        bytes m = list_of({good});
        m.insert(m.end(), r.bad.begin(), r.bad.end());
        // Bytes after a bad entry are not looked at, even if they look fine.
        if (r.bad.size() > 3 && r.bad[1] == 0 && r.bad[2] >= 3 && r.bad[2] <= r.bad.size())
            m.insert(m.end(), tail.begin(), tail.end());
        int n = 0;
        EXPECT_EQ("channel:1ok\n", printed(m, &n));
        EXPECT_EQ(1, n);
    }
}

TEST(ListNextEntry, ReportsEndThenStaysAtEnd) {
    bytes m = list_of({entry(7, "s")});
    size_t pos = 1;
    list_entry_view e{};
    ASSERT_EQ(1, list_next_entry(m.data(), m.size(), &pos, &e));
    EXPECT_EQ(7, e.chnid);
    EXPECT_STREQ("s", e.desc);
    EXPECT_EQ(m.size(), pos);
    EXPECT_EQ(0, list_next_entry(m.data(), m.size(), &pos, &e));
    EXPECT_EQ(m.size(), pos);
}

TEST(DataDecide, RulesApplyInOrderAndTheFirstDecides) {
    const sockaddr_in server = addr("10.0.0.2", 40000);
    const bytes one = {1};
    const bytes ch1 = {1, 'x'};
    const bytes ch2 = {2, 'x'};
    struct row {
        const char *name;
        sockaddr_in source;
        bytes buf;
        long long choice;
        data_verdict want;
    };
    sockaddr_in other_family = server;
    other_family.sin_family = AF_UNSPEC;
    const row rows[] = {
        {"address before everything", addr("10.0.0.3", 40001), {}, 1, DATA_ADDR_MISMATCH},
        {"address with same port", addr("10.0.0.3", 40000), ch1, 1, DATA_ADDR_MISMATCH},
        {"port before size", addr("10.0.0.2", 40001), {}, 1, DATA_PORT_MISMATCH},
        {"port with matching data", addr("10.0.0.2", 40001), ch1, 1, DATA_PORT_MISMATCH},
        {"empty datagram", server, {}, 1, DATA_TOO_SHORT},
        {"one byte of the chosen channel", server, one, 1, DATA_TOO_SHORT},
        {"other channel", server, ch2, 1, DATA_OTHER_CHANNEL},
        {"chosen channel", server, ch1, 1, DATA_ACCEPT},
        {"family is not compared", other_family, ch1, 1, DATA_ACCEPT},
        {"choice 0 takes lists", server, {0, 1, 0, 4, 0}, 0, DATA_ACCEPT},
        {"channel 255", server, {255, 0}, 255, DATA_ACCEPT},
        {"choice 256 does not wrap to 0", server, {0, 1}, 256, DATA_OTHER_CHANNEL},
        {"choice 2^32+1 does not wrap to 1", server, ch1, 4294967297LL, DATA_OTHER_CHANNEL},
        {"choice -255", server, {1, 1}, -255, DATA_OTHER_CHANNEL},
        {"choice -1 is not 255", server, {255, 1}, -1, DATA_OTHER_CHANNEL},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.want, data_decide(server, r.source, r.buf.data(), r.buf.size(), r.choice));
    }
}

TEST(AddrAsInt, ReadsNetworkBytesInHostOrder) {
    // The documented values hold on a little-endian host.
    if (htonl(1) == 1) GTEST_SKIP() << "big-endian host";
    EXPECT_EQ(167880896, addr_as_int(addr("192.168.1.10", 0)));
    EXPECT_EQ(-939524086, addr_as_int(addr("10.0.0.200", 0)));
    EXPECT_EQ(16777343, addr_as_int(addr("127.0.0.1", 0)));
}
