// Interface texts: a name first, then a decimal index, then an IPv4 address;
// a listener's join planned from its texts, and what refuses them.
#include "join.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

namespace {

join_iface row(unsigned index, const char *name, const char *addr = nullptr) {
    join_iface r = {index, name, addr != nullptr, {}};
    if (addr) inet_pton(AF_INET, addr, &r.addr);
    return r;
}

// Interfaces named like another's index and like an address, and an address
// held by two interfaces, listed with the higher index first.
const join_iface TABLE[] = {
    row(1, "lo", "127.0.0.1"),
    row(7, "wan0", "10.0.0.5"),
    row(2, "eth0"),
    row(2, "eth0", "192.168.1.10"),
    row(2, "eth0:1", "192.168.1.11"),
    row(3, "7"),
    row(4, "10.0.0.5"),
    row(5, "vpn0", "10.0.0.5"),
};

TEST(JoinPickInterface, NameThenIndexThenAddress) {
    struct pick_case {
        const char *text;
        unsigned want;
    };
    const pick_case cases[] = {
        {"eth0", 2},
        {"eth0:1", 2},  // an address label names its interface
        {"2", 2},
        {"002", 2},
        {"7", 3},         // the interface named "7", not index 7
        {"10.0.0.5", 4},  // the interface of that name, not an address holder
        {"192.168.1.11", 2},
        {"127.0.0.1", 1},
        {"6", 0},  // no interface has this index
        {"0", 0},
        {"4294967298", 0},  // 2^32 + 2 does not wrap onto 2
        {"+2", 0},
        {" 2", 0},
        {"2x", 0},
        {"192.168.1.12", 0},  // no interface holds it
        {"192.168.1", 0},
        {"ETH0", 0},
        {"eth", 0},
        {"", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.want, join_pick_interface(c.text, TABLE, std::size(TABLE)));
    }
}

TEST(JoinPickInterface, SharedAddressPicksTheLowestIndex) {
    // Without the interface named after it, 10.0.0.5 is held by 7 and 5.
    const join_iface table[] = {TABLE[1], TABLE[7]};
    EXPECT_EQ(5u, join_pick_interface("10.0.0.5", table, std::size(table)));
    EXPECT_EQ(0u, join_pick_interface("10.0.0.5", table, 0));
}

TEST(JoinPlan, FirstRefusalIsSaidAndANameIsFollowed) {
    struct plan_case {
        join_texts t;
        std::string refused;
        bool not_multicast;
        unsigned ifindex;
        const char *follow;
    };
    const std::string bad_source = "invalid source \"224.2.2.2\": not a unicast IPv4 address";
    // clang-format off
    const plan_case cases[] = {
        {{"224.2.2.2"}, "", false, 0, nullptr},
        {{"239.255.255.255", "127.0.0.1", "eth0"}, "", false, 2, "eth0"},
        {{"224.2.2.2", nullptr, "2"}, "", false, 2, nullptr},
        {{"224.2.2.2", nullptr, "192.168.1.11"}, "", false, 2, nullptr},
        {{"224.2.2.2", nullptr, "7"}, "", false, 3, "7"},
        {{"10.1.2.3"}, "", true, 0, nullptr},  // planned: the join is to fail
        {{"240.0.0.1"}, "", true, 0, nullptr},
        {{"224.2.2"}, "invalid multicast group \"224.2.2\": not an IPv4 address", false, 0, nullptr},
        {{"x", "y", "z"}, "invalid multicast group \"x\": not an IPv4 address", false, 0, nullptr},
        {{"10.1.2.3", "224.2.2.2"}, bad_source, true, 0, nullptr},
        {{"224.2.2.2", "224.2.2.2", "nope"}, bad_source, false, 0, nullptr},
        {{"224.2.2.2", "10.9.9"}, "invalid source \"10.9.9\": not an IPv4 address", false, 0, nullptr},
        {{"224.2.2.2", "0.0.0.0"}, "invalid source \"0.0.0.0\": not a unicast IPv4 address", false,
         0, nullptr},
        {{"224.2.2.2", "255.255.255.255"},
         "invalid source \"255.255.255.255\": not a unicast IPv4 address", false, 0, nullptr},
        {{"224.2.2.2", "240.0.0.1"}, "invalid source \"240.0.0.1\": not a unicast IPv4 address",
         false, 0, nullptr},
        {{"224.2.2.2", nullptr, "eth"}, join_unknown_interface("eth"), false, 0, nullptr},
        {{"224.2.2.2", nullptr, ""},
         "unknown interface \"\": no interface has this name, index or address", false, 0, nullptr},
    };
    // clang-format on
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.t.group) + " " + (c.t.source ? c.t.source : "-") + " " +
                     (c.t.iface ? c.t.iface : "-"));
        join_plan p = join_plan_make(c.t, TABLE, std::size(TABLE));
        EXPECT_EQ(c.refused, p.refused);
        EXPECT_EQ(c.not_multicast, !p.not_multicast.empty()) << p.not_multicast;
        if (!c.refused.empty()) continue;
        EXPECT_EQ(c.t.source != nullptr, p.m.has_source);
        EXPECT_EQ(c.ifindex, p.m.ifindex);
        EXPECT_STREQ(c.follow, p.m.follow);
    }
}

}  // namespace
