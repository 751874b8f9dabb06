// A membership that follows its interface's name: a link deleted and created
// again is joined again, and the old membership is left, so that re-plugging
// never runs into the kernel's limit of memberships per socket.
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "join.h"
#include "netns.h"
#include "proc.h"

namespace {

const char MAKE_LINK[] =
    "ip link add radio0 type veth peer name radio1 && "
    "ip link set radio0 multicast on up && ip link set radio1 up";

TEST(JoinFollow, LinkCreatedAgainIsJoinedAgainManyTimes) {
    REQUIRE_PRIVATE_NETNS();
    for (bool one_source : {false, true}) {
        SCOPED_TRACE(one_source ? "from one source" : "from any source");
        ASSERT_EQ(0, run_shell(MAKE_LINK));
        join_plan plan = join_plan_here({"224.2.2.2", one_source ? "10.9.0.1" : nullptr, "radio0"});
        ASSERT_EQ("", plan.refused);
        join_membership m = plan.m;
        m.sd = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_EQ(0, membership_join(m));
        EXPECT_EQ(0, membership_follow(&m));  // same link: nothing to do
        // More rounds than the 20 memberships a socket may hold.
        for (int round = 0; round < 24; round++) {
            unsigned old = m.ifindex;
            ASSERT_EQ(0, run_shell("ip link del radio0"));
            EXPECT_EQ(0, membership_follow(&m));  // gone: wait for it
            ASSERT_EQ(0, run_shell(MAKE_LINK));
            ASSERT_EQ(1, membership_follow(&m)) << "round " << round << ": " << strerror(errno);
            EXPECT_NE(old, m.ifindex);
        }
        EXPECT_EQ(0, run_shell("ip maddr show dev radio0 | grep -q 224.2.2.2"));
        close(m.sd);
        ASSERT_EQ(0, run_shell("ip link del radio0"));
    }
}

TEST(JoinFollow, OnlyANameIsFollowed) {
    EXPECT_STREQ("lo", join_plan_here({"224.2.2.2", nullptr, "lo"}).m.follow);
    const std::string lo_index = std::to_string(if_nametoindex("lo"));
    for (const char *text : {lo_index.c_str(), "127.0.0.1"}) {
        join_membership m = join_plan_here({"224.2.2.2", nullptr, text}).m;
        EXPECT_EQ(nullptr, m.follow) << text;
        EXPECT_EQ(0, membership_follow(&m));
    }
}

}  // namespace
