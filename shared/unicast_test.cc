// Tests of the addresses -S takes (the one sender a listener hears).
#include "join.h"

#include <arpa/inet.h>

#include <gtest/gtest.h>

TEST(UnicastSource, RefusesThisNetworkMulticastAndReservedAndKeepsLoopback) {
    struct row {
        const char *addr;
        bool taken;
    };
    const row rows[] = {
        {"0.0.0.0", false},         {"0.255.255.255", false}, {"224.0.0.0", false},
        {"239.255.255.255", false}, {"240.0.0.0", false},     {"255.255.255.255", false},
        {"1.0.0.0", true},          {"127.0.0.1", true},      {"223.255.255.255", true}};
    for (const auto &r : rows) {
        in_addr a{};
        EXPECT_EQ(1, inet_pton(AF_INET, r.addr, &a));
        EXPECT_EQ(r.taken, unicast_source(a)) << r.addr;
    }
}
