// Switching channel from the terminal (--tune) and the now-playing lines,
// and the client that ignores later numbers without a terminal or without
// --tune, as it always has. Inside private network namespaces; the
// terminal is a pseudo-terminal that the test holds.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "e2e_support.h"
#include "now_playing.h"

namespace {

constexpr int PORT = DEFAULT_PORT;
constexpr int NOW_PORT = DEFAULT_PORT + 1;
const std::string LIST_TEXT = "channel:1one\nchannel:2two\n";

std::string now_datagram(int chnid, const std::string &title, const std::string &artist) {
    return now_playing_encode({chnid, title, artist, "f.mp3"});
}

class ClientTune : public client_e2e_fixture {
protected:
    // A pseudo-terminal whose other side becomes the client's standard
    // input; the test types on master, with no echo.
    bool open_terminal() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) return false;
        fds.push_back(master);
        slave = ptsname(master);
        termios t;
        if (tcgetattr(master, &t) < 0) return false;
        t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        return tcsetattr(master, TCSANOW, &t) == 0;
    }

    bool type(const std::string &text) {
        return write(master, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    // The bytes typed that have reached the terminal and are not read yet.
    int unread() {
        int s = open(slave.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
        int n = -1;
        if (s >= 0 && ioctl(s, FIONREAD, &n) < 0) n = -1;
        if (s >= 0) close(s);
        return n;
    }

    // The client with `cat` into dir/heard as its player and standard input
    // on the terminal (or a pipe), once it has bound the radio's port and
    // shown the list.
    child_proc *listening(const std::vector<std::string> &options, bool on_terminal) {
        std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\"",     CLIENT_PATH,
                                         "-q",      "-p", "cat > " + dir + "/heard"};
        if (on_terminal) argv[2] += " < " + slave;
        argv.insert(argv.end(), options.begin(), options.end());
        child_proc *c = start(argv, "client", !on_terminal);
        EXPECT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
        bytes list = list_of({entry(1, "one\n"), entry(2, "two\n")});
        EXPECT_TRUE(send_now(server, std::string(list.begin(), list.end())));
        EXPECT_TRUE(file_is(c->out_path, LIST_TEXT));
        return c;
    }

    bool data(int chnid, const std::string &payload) {
        bytes d = data_msg(chnid, payload);
        return send_now(server, std::string(d.begin(), d.end()));
    }

    int master = -1;
    std::string slave;
    int server = -1;
};

// On a terminal the listener switches from channel 1 to 2 while it plays:
// channel 1 goes on until channel 2's next datagram, which the player gets
// next. Enter alone shows the list again (here also the sign that the lines
// before it were taken); 0, a number not on the list and text get the
// hint. What plays is said when it changes and after the switch, only as
// the followed server (its address and source port) says.
TEST_F(ClientTune, SwitchesChannelFromTheTerminalAndSaysWhatPlays) {
    REQUIRE_PRIVATE_NETNS();
    server = source("127.0.0.1", 40001);
    int other_port = source("127.0.0.1", 40002);
    ASSERT_TRUE(server >= 0 && other_port >= 0);
    ASSERT_TRUE(open_terminal());
    child_proc *c = listening({"--t"}, true);
    ASSERT_TRUE(port_bound(NOW_PORT)) << "--tune hears what plays on the port + 1";
    ASSERT_TRUE(type("1\n"));
    ASSERT_TRUE(send_now(other_port, now_datagram(1, "Spoof", ""), NOW_PORT));
    ASSERT_TRUE(send_now(server, now_datagram(2, "Blue", ""), NOW_PORT));
    ASSERT_TRUE(send_now(server, now_datagram(1, "So What", "Miles"), NOW_PORT));
    std::string said = "now playing: Miles - So What\n";
    ASSERT_TRUE(file_is(c->err_path, said));
    ASSERT_TRUE(send_now(server, now_datagram(1, "So What", "Miles"), NOW_PORT));
    ASSERT_TRUE(data(1, "a1") && data(2, "b1"));
    ASSERT_TRUE(file_is(dir + "/heard", "a1"));

    ASSERT_TRUE(type("0\n3\ntwo\n\n"));
    EXPECT_TRUE(file_is(c->out_path, LIST_TEXT + LIST_TEXT));
    const std::string hint =
        "type a channel of the list (1 2) and Enter; Enter alone shows the list\n";
    said += hint + hint + hint;
    EXPECT_TRUE(file_is(c->err_path, said));

    ASSERT_TRUE(type("2\n\n"));
    ASSERT_TRUE(file_is(c->out_path, LIST_TEXT + LIST_TEXT + LIST_TEXT));
    ASSERT_TRUE(data(1, "a2") && data(2, "b2") && data(1, "a3") && data(2, "b3"));
    EXPECT_TRUE(file_is(dir + "/heard", "a1a2b2b3"));
    said += "now on channel 2\nnow playing: Blue\n";
    EXPECT_TRUE(file_is(c->err_path, said));
    ASSERT_TRUE(send_now(server, now_datagram(1, "Freddie", "Miles"), NOW_PORT) &&
                send_now(server, now_datagram(2, "Green", ""), NOW_PORT));
    EXPECT_TRUE(file_is(c->err_path, said + "now playing: Green\n"));
    EXPECT_EQ(-2, finish(c, 0)) << "the client must keep running";
}

// Later numbers change nothing without a terminal on standard input (with
// --tune too, which then hears no now-playing datagrams either) and
// without --tune on a terminal, where they stay unread. A now-playing port
// that cannot be bound costs one line, and the client plays on.
TEST_F(ClientTune, LaterNumbersAreIgnoredWithoutATerminalOrWithoutTune) {
    REQUIRE_PRIVATE_NETNS();
    server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    struct row {
        const char *name;
        std::vector<std::string> options;
        bool on_terminal;
        std::string err;
    };
    const std::string held =
        "no now-playing lines from port 1990: bind(): Address already in use\n";
    const row rows[] = {
        {"--tune, input from a pipe", {"--tune"}, false, ""},
        {"a terminal without --tune", {}, true, ""},
        {"--now-playing-port on a port held", {"--n=" + std::to_string(NOW_PORT)}, true, held},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        int holder = r.err.empty() ? -1 : source("0.0.0.0", NOW_PORT);
        ASSERT_TRUE(open_terminal());  // a new one, with no line left from the last row
        child_proc *c = listening(r.options, r.on_terminal);
        EXPECT_EQ(r.err.empty(), !port_bound(NOW_PORT));
        ASSERT_TRUE(r.on_terminal ? type("1\n2\n\n") : proc_send(c, "1\n2\n\n"));
        // Read line by line, the first only: the other two stay in the terminal.
        ASSERT_TRUE(!r.on_terminal || wait_until([&] { return unread() == 3; }, WAIT_MS));
        ASSERT_TRUE(send_now(server, now_datagram(1, "So What", "Miles"), NOW_PORT));
        ASSERT_TRUE(data(1, "a1") && data(2, "b1") && data(1, "a2"));
        EXPECT_TRUE(file_is(dir + "/heard", "a1a2"));
        EXPECT_EQ(LIST_TEXT, out(c));
        EXPECT_EQ(r.err, err(c));
        proc_kill(c);
        if (holder >= 0) close(holder);
        ASSERT_TRUE(wait_until([] { return !port_bound(PORT) && !port_bound(NOW_PORT); }, WAIT_MS));
    }
}

}  // namespace
