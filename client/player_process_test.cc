// The player with real shells: what is fed reaches the command, a stop
// leaves nothing of its group, and a wait for room ends when the player
// reads, or gives up once the player has gone but left its pipe held and
// unread.
#include "player_process.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "mono_clock.h"
#include "proc.h"

namespace {

// Writes to the non-blocking pipe pd until it is full.
void fill(int pd) {
    static const char block[4096] = {};
    while (write(pd, block, sizeof block) > 0) {
    }
}

// The process group of a player whose shell ran "echo $$ > path".
pid_t group_in(const std::string &path) {
    std::string text;
    wait_until([&] { return !(text = read_file(path)).empty() && text.back() == '\n'; }, 5000);
    return static_cast<pid_t>(atoi(text.c_str()));
}

TEST(Player, FedBytesReachTheCommandAndAStopLeavesNoneOfItsGroup) {
    std::string dir = make_temp_dir();
    // The shell outlives cat: the stop must end the group, not wait for it.
    std::string command = "echo $$ > " + dir + "/pid; cat > " + dir + "/heard; sleep 30";
    int pd = player_start(command.c_str(), -1);
    ASSERT_GE(pd, 0);
    pid_t group = group_in(dir + "/pid");
    ASSERT_EQ(5, write(pd, "hello", 5));
    player_stop();
    EXPECT_EQ("hello", read_file(dir + "/heard"));
    EXPECT_TRUE(live_in_group(group).empty());
    remove_tree(dir);
}

TEST(Player, WaitForRoomEndsWhenThePlayerReadsAndGivesUpOnAPipeHeldUnread) {
    signal(SIGPIPE, SIG_IGN);  // as in the client
    struct wait_case {
        const char *command;
        player_room want;
        long long min_ms;
    };
    const wait_case cases[] = {
        {"cat > /dev/null", PLAYER_ROOM, 0},
        // The shell ends at once; sleep holds the pipe and never reads.
        {"exec 3<&0; sleep 30 <&3 & exit 0", PLAYER_PIPE_HELD, PLAYER_HELD_PIPE_MS},
        // Its background job reads 100 bytes every 2 s, which frees no room
        // in the full pipe, and is waited for until it closes the pipe at 12 s.
        {"exec 3<&0; (for i in 1 2 3 4 5 6; do sleep 2; dd bs=100 count=1 status=none; done) "
         "<&3 >/dev/null & exit 0",
         PLAYER_ROOM, 12000},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        int pd = player_start(c.command, -1);
        ASSERT_GE(pd, 0);
        fill(pd);
        long long start = now_ns();
        EXPECT_EQ(c.want, player_wait_for_room(pd));
        EXPECT_GE((now_ns() - start) / 1'000'000, c.min_ms);
        player_stop();
    }
}

}  // namespace
