// Interface texts: a name first, then a decimal index, then an IPv4 address.
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

}  // namespace
