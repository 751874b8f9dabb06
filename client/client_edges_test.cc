// The client at the edges of its process: standard descriptors closed or
// unwritable, a terminal, receives that keep failing, signals that end it,
// the order of its lines, a full pipe to the player, and batches of
// datagrams. Each case runs inside a private network namespace.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

constexpr int PORT = DEFAULT_PORT;

std::string text_of(const bytes &b) {
    return std::string(b.begin(), b.end());
}

// User and system CPU time of a process in seconds.
double cpu_seconds(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos) return -1;
    std::istringstream f(stat.substr(paren + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && f >> field; i++) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The data phase's receive fails with EMFILE every time (seccomp; exec
// keeps the filter), while the list phase's receive works.
bool fail_batched_receive() {
    sock_filter prog[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_recvmmsg, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog fprog = {static_cast<unsigned short>(std::size(prog)), prog};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

class ClientEdges : public client_e2e_fixture {
protected:
    // Starts the client with its standard input on a pipe (p->stdin_fd),
    // its output in files, the ending signals at their defaults, and then
    // whatever setup does in the child just before exec.
    child_proc *client_with(const std::vector<std::string> &args,
                            const std::function<bool()> &setup) {
        procs.emplace_back();
        child_proc *p = &procs.back();
        p->out_path = dir + "/client.out";
        p->err_path = dir + "/client.err";
        std::vector<std::string> argv = {CLIENT_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> cargs;
        for (const auto &a : argv) cargs.push_back(const_cast<char *>(a.c_str()));
        cargs.push_back(nullptr);
        int in[2];
        EXPECT_EQ(0, pipe2(in, O_CLOEXEC));
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(p->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(p->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (o < 0 || e < 0 || dup2(in[0], 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(126);
            for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
            if (!setup()) _exit(125);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(in[0]);
        p->stdin_fd = in[1];
        p->pid = pid;
        return p;
    }

    bool send_all(int sd, const std::vector<bytes> &grams) {
        for (const auto &g : grams)
            if (!send_now(sd, text_of(g))) return false;
        return true;
    }
};

const std::string LOCAL = addr_int("127.0.0.1");
const std::string SERVER_LINE = "server_addr:" + LOCAL + "\n";
const std::string RADDR = "raddr:" + LOCAL + "\n";
const std::string ACCEPT = "Accept massage:1 recived.\n";

// Closed standard input reads as end of input: the socket cannot take its
// number, so a datagram cannot pose as the choice.
TEST_F(ClientEdges, ClosedStandardInputEndsAfterTheListAndNoDatagramIsTheChoice) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    std::string player_out = dir + "/player";
    child_proc *c = client_with({"-p", "cat > " + player_out}, [] { return close(0) == 0; });
    ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
    ASSERT_TRUE(send_all(server, {list_of({entry(2, "two\n")})}));
    ASSERT_TRUE(send_now(server, "2\n"));
    ASSERT_TRUE(send_all(server, {data_msg(2, "payload")}));
    EXPECT_EQ(1, finish(c));
    EXPECT_EQ("channel:2two\n", out(c));
    EXPECT_EQ(SERVER_LINE, err(c));
    EXPECT_EQ("", read_file(player_out));
}

// A diagnostic that cannot be written never ends the client: it relays as
// it would with a working standard error, foreign datagrams and all.
TEST_F(ClientEdges, UnwritableStandardErrorNeverStopsTheRelay) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    int stranger = source("127.0.0.2", 40001);
    ASSERT_TRUE(server >= 0 && stranger >= 0);
    struct row {
        const char *name;
        std::function<bool()> setup;
    };
    const row rows[] = {
        {"standard error on /dev/full",
         [] {
             int full = open("/dev/full", O_WRONLY);
             return full >= 0 && dup2(full, 2) == 2;
         }},
        {"standard error closed", [] { return close(2) == 0; }},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string player_out = dir + "/player";
        child_proc *c = client_with({"-p", "cat > " + player_out}, r.setup);
        ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
        ASSERT_TRUE(send_all(server, {list_of({entry(1, "one\n")})}));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n")) << out(c);
        ASSERT_TRUE(proc_send(c, "1\n"));
        std::string want;
        for (int i = 0; i < 50; i++) {
            std::string chunk = pattern_bytes(1000 + i, i);
            ASSERT_TRUE(send_all(stranger, {data_msg(1, "junk")}));
            ASSERT_TRUE(send_all(server, {data_msg(1, chunk), {1}}));
            want += chunk;
            if (i % 10 == 9) {  // keep the socket from overflowing
                ASSERT_TRUE(wait_until([&] { return read_file(player_out) == want; }, WAIT_MS));
            }
        }
        EXPECT_TRUE(file_is(player_out, want)) << read_file(player_out).size();
        EXPECT_EQ(-2, finish(c, 0)) << "the client must keep running";
        size_t accepted = 50;
        std::string want_out = "channel:1one\n";
        for (size_t i = 0; i < accepted; i++) want_out += ACCEPT;
        EXPECT_TRUE(file_is(c->out_path, want_out));
        EXPECT_EQ("", err(c));
        proc_kill(c);
    }
}

// Receives that keep failing are retried about once a second after the
// first few, each failure reported, with the processor mostly idle.
TEST_F(ClientEdges, ReceiveThatKeepsFailingIsRetriedSlowlyAndCheaply) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    std::string player_out = dir + "/player";
    child_proc *c = client_with({"-p", "cat > " + player_out}, fail_batched_receive);
    ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
    ASSERT_TRUE(send_all(server, {list_of({entry(1, "one\n")})}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n")) << out(c) << err(c);
    double cpu_before = cpu_seconds(c->pid);
    ASSERT_TRUE(proc_send(c, "1\n"));
    ASSERT_TRUE(send_all(server, {data_msg(1, "never")}));
    const std::string report = "recvfrom(): Too many open files\n";
    ASSERT_TRUE(wait_until([&] { return count_of(err(c), report) >= 3; }, WAIT_MS)) << err(c);
    usleep(3000000);  // the behaviour under test is a rate over time
    double cpu = cpu_seconds(c->pid) - cpu_before;
    size_t reports = count_of(err(c), report);
    EXPECT_EQ(-2, finish(c, 0));
    proc_kill(c);
    // 0 + 8 + 16 + ... ms: about 9 tries in the first second, then one a second.
    EXPECT_GE(reports, 5u);
    EXPECT_LE(reports, 20u);
    EXPECT_LT(cpu, 0.5) << "seconds of CPU in about 3 s of failing receives";
    std::string e = err(c);
    EXPECT_EQ(SERVER_LINE.size() + reports * report.size(), e.size()) << e.substr(0, 300);
    EXPECT_EQ("", read_file(player_out));
}

// SIGTERM, SIGINT and SIGHUP end the client by that signal; a player that
// reads finishes on end of file, one that does not is ended, children and
// all, even those that ignore SIGTERM. SIGTERM goes to the player's whole
// group, so a child of the shell that traps it ends by its trap, not by
// the SIGKILL a second later.
TEST_F(ClientEdges, EndingSignalLeavesNoPlayerBehind) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    const std::string done = dir + "/done";
    const std::string reader = "cat > /dev/null; touch '" + done + "'";
    const std::string ignorer = "sleep 1000 & sleep 1000";
    // The shell's child, not the shell, touches done on SIGTERM.
    const std::string graceful =
        "sh -c \"trap 'touch " + done + "; exit 0' TERM; while :; do sleep 0.1; done\" & wait";
    struct row {
        int sig;
        std::string player;
        size_t members;  // of its group, waited for before the signal
        bool touches_done;
    };
    const row rows[] = {{SIGTERM, reader, 0, true},
                        {SIGTERM, ignorer, 2, false},
                        {SIGINT, reader, 0, true},
                        {SIGINT, ignorer, 2, false},
                        {SIGHUP, "trap '' TERM; " + ignorer, 2, false},
                        {SIGTERM, graceful, 3, true}};
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string(strsignal(r.sig)) + ", " + r.player);
        remove(done.c_str());
        child_proc *c = client_with({"-p", r.player}, [] { return true; });
        ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
        ASSERT_TRUE(send_all(server, {list_of({entry(1, "one\n")})}));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
        ASSERT_TRUE(proc_send(c, "1\n"));
        ASSERT_TRUE(send_all(server, {data_msg(1, "abc")}));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n" + ACCEPT));
        pid_t group = child_of(c->pid);  // the player leads its own group
        ASSERT_GT(group, 0);
        ASSERT_TRUE(wait_until([&] { return live_in_group(group).size() >= r.members; }, WAIT_MS));
        kill(c->pid, r.sig);
        int status = 0;
        ASSERT_TRUE(proc_wait(c, WAIT_MS, &status));
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == r.sig) << status;
        if (r.touches_done) {
            EXPECT_TRUE(wait_until([&] { return access(done.c_str(), F_OK) == 0; }, WAIT_MS));
        }
        EXPECT_TRUE(wait_until([&] { return live_in_group(group).empty(); }, WAIT_MS))
            << live_in_group(group).size() << " processes of the player's group are left";
    }
}

// Reads what the master side of a pseudo-terminal gets until it is want or
// WAIT_MS have passed.
std::string read_terminal(int master, const std::string &want, std::string *got) {
    wait_until(
        [&] {
            char buf[4096];
            ssize_t n;
            while ((n = read(master, buf, sizeof buf)) > 0)
                got->append(buf, static_cast<size_t>(n));
            return *got == want;
        },
        WAIT_MS);
    return *got;
}

// On a terminal, and on one pipe for both streams, the lines come in the
// order the client produces them: every diagnostic where it belongs, each
// raddr: line directly before its acceptance line. A description's controls
// are shown visibly on the terminal and byte for byte through the pipe.
TEST_F(ClientEdges, LinesKeepTheirOrderOnATerminalAndOnOnePipe) {
    REQUIRE_PRIVATE_NETNS();
    const senders s = three_senders();
    ASSERT_FALSE(HasFailure());
    const int server = s.server, other_port = s.other_port, stranger = s.stranger;
    const std::string desc = "one\x1b]0;owned\x07\r\n";
    const std::string shown = "one^[]0;owned^G^M\n";
    std::string player_out = dir + "/player";
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "2>&1 into a pipe");
        int master = -1;
        child_proc *c;
        std::string pipe_out = dir + "/pipe.out";
        if (terminal) {
            master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(master, 0);
            fds.push_back(master);
            ASSERT_EQ(0, grantpt(master));
            ASSERT_EQ(0, unlockpt(master));
            std::string slave = ptsname(master);
            c = client_with({"-p", "cat > " + player_out}, [&] {
                int s = open(slave.c_str(), O_RDWR);
                termios t;
                if (s < 0 || tcgetattr(s, &t) < 0) return false;
                cfmakeraw(&t);  // the transcript as written, no CR added
                return tcsetattr(s, TCSANOW, &t) == 0 && dup2(s, 1) == 1 && dup2(s, 2) == 2;
            });
            fcntl(master, F_SETFL, O_NONBLOCK);
        } else {
            c = client_with({"-p", "cat > " + player_out}, [&] {
                int p[2];
                if (pipe(p) < 0) return false;
                if (fork() == 0) {  // the pipe's reader
                    close(p[1]);
                    int o = open(pipe_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                    char buf[4096];
                    ssize_t n;
                    while ((n = read(p[0], buf, sizeof buf)) > 0)
                        if (write(o, buf, static_cast<size_t>(n)) != n) break;
                    _exit(0);
                }
                close(p[0]);
                return dup2(p[1], 1) == 1 && dup2(p[1], 2) == 2;
            });
        }
        ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
        std::string got;
        auto transcript = [&](const std::string &want) {
            if (terminal) return read_terminal(master, want, &got);
            file_is(pipe_out, want);
            return read_file(pipe_out);
        };
        ASSERT_TRUE(send_all(stranger, {data_msg(3, "early")}));
        ASSERT_TRUE(send_all(server, {list_of({entry(1, desc), entry(2, "two\n")})}));
        std::string want = "server_addr:" + addr_int("127.0.0.2") +
                           "\ncurrent chnid:3.\nchnid is not match.\n" + SERVER_LINE + "channel:1" +
                           (terminal ? shown : desc) + "channel:2two\n";
        ASSERT_EQ(want, transcript(want));
        ASSERT_TRUE(proc_send(c, "1\n"));
        ASSERT_TRUE(send_all(server, {data_msg(1, "a"), data_msg(2, "b"), {1}}));
        ASSERT_TRUE(send_all(other_port, {data_msg(1, "c")}));
        ASSERT_TRUE(send_all(stranger, {data_msg(1, "d")}));
        ASSERT_TRUE(send_all(server, {data_msg(1, "e")}));
        want += RADDR + ACCEPT + RADDR + RADDR + "Ignore:massage too short.\n" + RADDR +
                "Ignore:port not match.\n" + "raddr:" + addr_int("127.0.0.2") + "\n" +
                "Ignore:addr not match. raddr:127.0.0.2 server_addr:127.0.0.1.\n" + RADDR + ACCEPT;
        EXPECT_EQ(want, transcript(want));
        EXPECT_TRUE(file_is(player_out, "ae"));
        proc_kill(c);
    }
}

// While the client waits for room in the player's full pipe, the lines of
// every datagram wholly written to the pipe have reached their readers.
TEST_F(ClientEdges, LinesOfWrittenPayloadsAreOutWhileThePipeIsFull) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    child_proc *c = client_with({"-p", "exec sleep 60"}, [] { return true; });
    ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
    ASSERT_TRUE(send_all(server, {list_of({entry(1, "one\n")})}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
    ASSERT_TRUE(proc_send(c, "1\n"));
    auto waiting_for_room = [&] {
        return blocked_in(c->pid, SYS_poll) || blocked_in(c->pid, SYS_ppoll);
    };
    size_t sent = 0;
    // One at a time, each taken before the next, until the pipe is full
    // (64 KiB unless the system is short of pipe memory).
    while (!waiting_for_room() && sent < 100) {
        ASSERT_TRUE(send_all(server, {data_msg(1, pattern_bytes(5000, sent))}));
        sent++;
        // A datagram's lines come once its payload is wholly in the pipe.
        ASSERT_TRUE(wait_until(
            [&] { return waiting_for_room() || count_of(err(c), RADDR) == sent; }, WAIT_MS))
            << blocked_call(c->pid);
    }
    ASSERT_TRUE(waiting_for_room()) << sent << " datagrams of 5000 bytes did not fill the pipe";
    ASSERT_TRUE(send_all(server, {data_msg(1, "more"), data_msg(1, "and more")}));
    // All but the last datagram are wholly in the pipe.
    std::string want_out = "channel:1one\n";
    std::string want_err = SERVER_LINE;
    for (size_t i = 0; i + 1 < sent; i++) {
        want_out += ACCEPT;
        want_err += RADDR;
    }
    EXPECT_TRUE(file_is(c->out_path, want_out)) << out(c);
    EXPECT_TRUE(file_is(c->err_path, want_err)) << err(c);
    EXPECT_TRUE(waiting_for_room());
}

// Datagrams that queue up faster than the client takes them are handled in
// batches, with exactly the lines and payload bytes that one at a time would
// give; and a player gone in the middle of a batch ends the client after
// the lines of the datagram whose write failed, and none after. With -q
// the same bytes reach the player, and only the list and the report of the
// failed write are printed.
TEST_F(ClientEdges, QueuedDatagramsGiveTheLinesAndBytesOfOneAtATime) {
    REQUIRE_PRIVATE_NETNS();
    const senders s = three_senders();
    ASSERT_FALSE(HasFailure());
    const int server = s.server, other_port = s.other_port, stranger = s.stranger;
    for (int row = 0; row < 4; row++) {
        bool player_gone = row & 1;
        bool quiet = row & 2;
        SCOPED_TRACE(std::string(player_gone ? "player gone" : "player reads") +
                     (quiet ? ", -q" : ""));
        std::string player_out = dir + "/player";
        remove(player_out.c_str());
        std::vector<std::string> args = {"-p", player_gone ? "exit 0" : "cat > " + player_out};
        if (quiet) args.push_back("--quiet");
        child_proc *c = client_with(args, [] { return true; });
        ASSERT_TRUE(wait_until([] { return port_bound(PORT); }, WAIT_MS));
        // Turned away in the list phase: data first, then a short one.
        ASSERT_TRUE(send_all(server, {data_msg(7, "early"), {0}}));
        ASSERT_TRUE(send_all(server, {list_of({entry(1, "one\n")})}));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
        ASSERT_TRUE(proc_send(c, "1\n"));
        ASSERT_TRUE(wait_until([&] { return blocked_in(c->pid, SYS_recvmmsg); }, WAIT_MS));
        if (player_gone) {
            pid_t player = child_of(c->pid);
            ASSERT_GT(player, 0);
            ASSERT_TRUE(wait_until([&] { return proc_gone(player); }, WAIT_MS));
        }
        // The client is stopped while the datagrams queue, so it meets them
        // all at once. 60 datagrams of at most 1500 bytes: well within the
        // socket's receive buffer.
        ASSERT_EQ(0, kill(c->pid, SIGSTOP));
        std::string want_out = "channel:1one\n";
        std::string want_err = SERVER_LINE + "current chnid:7.\nchnid is not match.\n" +
                               SERVER_LINE + "massage is too short.\n" + SERVER_LINE;
        std::string want_player;
        const std::string stranger_line =
            "raddr:" + addr_int("127.0.0.2") +
            "\nIgnore:addr not match. raddr:127.0.0.2 server_addr:127.0.0.1.\n";
        bool ended = false;
        for (uint32_t i = 0; i < 60; i++) {
            std::string payload = pattern_bytes(i * 97 % 1500 + 1, i);
            switch (i % 7) {
            case 1:
            case 3:
            case 4:
            case 6:
                ASSERT_TRUE(send_all(server, {data_msg(1, payload)}));
                if (ended) break;
                want_err += RADDR;
                want_out += ACCEPT;
                want_player += payload;
                if (player_gone) {
                    want_err += "write(): Broken pipe\n";
                    ended = true;
                }
                break;
            case 0:  // channels 2 to 31, then a short one
                ASSERT_TRUE(send_all(server, {data_msg(2 + i % 30, payload), {1}}));
                if (!ended) want_err += RADDR + RADDR + "Ignore:massage too short.\n";
                break;
            case 2:
                ASSERT_TRUE(send_all(other_port, {data_msg(1, payload)}));
                if (!ended) want_err += RADDR + "Ignore:port not match.\n";
                break;
            case 5:
                ASSERT_TRUE(send_all(stranger, {data_msg(1, payload)}));
                if (!ended) want_err += stranger_line;
                break;
            }
        }
        ASSERT_EQ(0, kill(c->pid, SIGCONT));
        if (quiet) want_out = "channel:1one\n";
        if (quiet) want_err = player_gone ? "write(): Broken pipe\n" : "";
        if (player_gone) {
            EXPECT_EQ(1, finish(c));
        } else {
            EXPECT_TRUE(file_is(player_out, want_player)) << read_file(player_out).size();
            EXPECT_TRUE(wait_until([&] { return blocked_in(c->pid, SYS_recvmmsg); }, WAIT_MS));
        }
        EXPECT_EQ(want_out, out(c));
        EXPECT_EQ(want_err, err(c));
        proc_kill(c);
    }
}

}  // namespace
