// stream_player end to end, inside private network namespaces, on ALSA's
// null device: against stream_server with real MP3 files, and against
// datagrams sent here with the channel typed on a pseudo-terminal.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "e2e_support.h"

namespace {

class PlayerE2e : public client_e2e_fixture {
protected:
    child_proc *player(const std::vector<std::string> &args, const std::string &stdin_from = "") {
        std::vector<std::string> argv = {"/bin/sh",          "-c",       "exec \"$0\" \"$@\"",
                                         STREAM_PLAYER_PATH, "--device", "null"};
        if (!stdin_from.empty()) argv[2] += " < " + stdin_from;
        argv.insert(argv.end(), args.begin(), args.end());
        return start(argv, "player", stdin_from.empty());
    }

    bool says(child_proc *p, const std::string &text) {
        return wait_until([&] { return err(p).find(text) != std::string::npos; }, WAIT_MS);
    }

    // SIGTERM, and the status it ends with (-2: it did not end).
    int terminate(child_proc *p) {
        kill(p->pid, SIGTERM);
        return finish(p);
    }
};

// The player joins beside the server (which sends from another port of
// this host), shows the list, says what it plays and what that is, plays
// on for seconds without burning a core, and ends with status 0 on
// SIGTERM, saying what the repair did.
TEST_F(PlayerE2e, PlaysTheChosenChannelOfAServerUntilSigterm) {
    REQUIRE_PRIVATE_NETNS();
    std::string a = made_mp3(TEST_AUDIO_DIR, "player_a", 44100, 2, "synth 3 pluck C4",
                             "-b 128 --tt Alpha --ta Band");
    std::string b = made_mp3(TEST_AUDIO_DIR, "player_b", 44100, 2, "synth 3 pluck E4", "-b 128");
    ASSERT_TRUE(!a.empty() && !b.empty()) << "sox and lame make the files";
    for (const auto &[sub, file] : {std::pair{"1-one", a}, std::pair{"2-two", b}}) {
        std::string d = dir + "/radio/" + sub;
        ASSERT_EQ(0, run_shell("mkdir -p '" + d + "' && ln -s '" + file + "' '" + d + "/'"));
    }
    child_proc *s =
        start({STREAM_SERVER_PATH, "--source-port", "1995", dir + "/radio"}, "server", false);
    child_proc *p = player({"-c", "1"});
    ASSERT_TRUE(file_is(p->out_path, "channel:11-one\nchannel:22-two\n")) << err(p) << err(s);
    ASSERT_TRUE(says(p, "now on channel 1\n")) << err(p);
    ASSERT_TRUE(says(p, "now playing: Band - Alpha\n")) << err(p);
    int threads = 0;
    double cpu = process_cpu_s(p->pid, &threads);
    EXPECT_FALSE(wait_until([&] { return proc_gone(p->pid); }, 3000)) << err(p);
    EXPECT_LT(process_cpu_s(p->pid, &threads) - cpu, 0.3) << "a loop that never waits";
    EXPECT_EQ(0, terminate(p)) << err(p);
    EXPECT_NE(std::string::npos, err(p).find("rebuilt datagrams: ")) << err(p);
}

// With no -c the channel is typed: a number not on the list gets the
// hint, a listed one plays from its first datagram, another typed later
// switches to it, and Enter alone shows the list again.
TEST_F(PlayerE2e, ChannelTypedOnTheTerminalPlaysAndAnotherSwitches) {
    REQUIRE_PRIVATE_NETNS();
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    fds.push_back(master);
    termios t;
    ASSERT_EQ(0, tcgetattr(master, &t));
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ASSERT_EQ(0, tcsetattr(master, TCSANOW, &t));
    auto type = [&](const std::string &text) {
        return write(master, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    };
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    child_proc *p = player({}, ptsname(master));
    ASSERT_TRUE(wait_until([] { return port_bound(DEFAULT_PORT); }, WAIT_MS));
    bytes list = list_of({entry(1, "one\n"), entry(2, "two\n")});
    const std::string shown = "channel:1one\nchannel:2two\n";
    ASSERT_TRUE(send_now(server, std::string(list.begin(), list.end())));
    ASSERT_TRUE(file_is(p->out_path, shown)) << err(p);
    // Each channel's datagrams come until the player says it is on it.
    auto plays = [&](int chnid) {
        std::string want = "now on channel " + std::to_string(chnid) + "\n";
        bytes d = data_msg(chnid, "not audio");
        return wait_until(
            [&] {
                send_now(server, std::string(d.begin(), d.end()));
                return err(p).find(want) != std::string::npos;
            },
            WAIT_MS);
    };
    ASSERT_TRUE(type("3\n"));
    ASSERT_TRUE(
        says(p, "type a channel of the list (1 2) and Enter; Enter alone shows the list\n"));
    ASSERT_TRUE(type("1\n"));
    ASSERT_TRUE(plays(1)) << err(p);
    ASSERT_TRUE(type("2\n"));
    ASSERT_TRUE(plays(2)) << err(p);
    ASSERT_TRUE(type("\n"));
    EXPECT_TRUE(file_is(p->out_path, shown + shown));
    EXPECT_EQ(0, terminate(p)) << err(p);
}

}  // namespace
