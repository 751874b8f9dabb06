// Checks the harness itself: a test's multicast stays in namespaces it made.
#include <algorithm>

#include <gtest/gtest.h>

#include "netns.h"
#include "proc.h"

TEST(PrivateNetns, HoldsOnlyLoopbackAndRoutesMulticastOverIt) {
    REQUIRE_PRIVATE_NETNS();
    std::string dir = make_temp_dir();
    ASSERT_EQ(0, run_shell("ip -o link show > " + dir + "/links && ip route show table all > " +
                           dir + "/routes"));
    std::string links = read_file(dir + "/links");
    EXPECT_NE(std::string::npos, links.find(": lo:"));
    EXPECT_EQ(1, std::count(links.begin(), links.end(), '\n')) << links;
    EXPECT_NE(std::string::npos, read_file(dir + "/routes").find("224.0.0.0/4 dev lo"));
    remove_tree(dir);
}

TEST(PrivateNetns, PeerReachesUsOverVethAndGoesAwayWhenStopped) {
    REQUIRE_PRIVATE_NETNS();
    netns_peer peer;
    ASSERT_EQ("", netns_peer_start(&peer, "enp0s3", "10.77.0.1/24", "veth0", "10.77.0.2/24"));
    EXPECT_EQ(0, netns_peer_shell(peer, "ip -o addr show dev veth0 | grep -q 10.77.0.2"));
    EXPECT_EQ(0, run_shell("ip -o addr show dev enp0s3 | grep -q 10.77.0.1"));
    netns_peer_stop(&peer);
    // The veth pair dies with the peer's namespace.
    EXPECT_TRUE(
        wait_until([] { return run_shell("ip link show enp0s3 >/dev/null 2>&1") != 0; }, 5000));
}
