// End-to-end tests: the client against the test stream sender, inside private
// network namespaces (loopback, or a second host joined by a veth pair).
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

const std::vector<std::string> HELP_LINES = {
    "-P --port   specify receive port\n",
    "-M --mgroup specify multicast group\n",
    "-p --player specify player \n",
    "-H --help   show help\n",
};

std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const auto &l : lines) s += l;
    return s;
}

class ClientE2e : public client_e2e_fixture {
protected:
    // Starts argv with the given system calls failing with EMFILE (a
    // seccomp filter that exec keeps), output to files as start() does.
    child_proc *start_failing(const std::vector<long> &calls, const std::vector<std::string> &argv,
                              const std::string &name) {
        procs.emplace_back();
        child_proc *p = &procs.back();
        p->out_path = dir + "/" + name + ".out";
        p->err_path = dir + "/" + name + ".err";
        std::vector<sock_filter> prog = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        };
        for (long nr : calls) {
            prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<uint32_t>(nr), 0, 1));
            prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EMFILE));
        }
        prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        sock_fprog fprog = {static_cast<unsigned short>(prog.size()), prog.data()};
        std::vector<char *> args;
        for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            int in = open("/dev/null", O_RDONLY);
            int o = open(p->out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int e = open(p->err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
                _exit(126);
            if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) < 0 ||
                prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) < 0)
                _exit(125);
            execv(args[0], args.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
        p->pid = pid;
        return p;
    }
};

TEST_F(ClientE2e, HelpPrintsFourLinesAndExitsZeroBeforeAnythingElse) {
    REQUIRE_PRIVATE_NETNS();
    const std::vector<std::vector<std::string>> rows = {
        {"-H"}, {"--help"}, {"--he"}, {"-P", "5000", "-H"}, {"-H", "-x"}, {"-M", "bad", "-H"},
    };
    for (const auto &args : rows) {
        SCOPED_TRACE(args.back());
        child_proc *c = client(args);
        EXPECT_EQ(0, finish(c));
        EXPECT_EQ(joined(HELP_LINES), out(c));
        EXPECT_EQ("", err(c));
    }
}

TEST_F(ClientE2e, RejectedOptionEndsWithStatusOneBeforeTheSocket) {
    REQUIRE_PRIVATE_NETNS();
    const std::vector<std::vector<std::string>> rows = {
        {"-x"}, {"--player", "cat"}, {"--bogus"}, {"-P"}, {"--port"}, {"-M"},
        {"-p"}, {"--help=yes"}, {"--tune=yes"}, {"--now-playing-port"},
    };
    for (const auto &args : rows) {
        SCOPED_TRACE(args[0]);
        std::vector<std::string> argv = {CLIENT_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        // socket() cannot succeed here: a rejection that comes first shows
        // that the client never tried.
        child_proc *c = start_failing({SYS_socket}, argv, "client");
        EXPECT_EQ(1, finish(c));
        EXPECT_EQ("", out(c));
        EXPECT_NE("", err(c));
        EXPECT_EQ(std::string::npos, err(c).find("socket()")) << err(c);
    }
}

TEST_F(ClientE2e, StartupFailureReportsTheFailedCallAndExitsOne) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        std::vector<long> failing;
        const char *want;
    };
    const row rows[] = {
        {{SYS_socket}, "socket(): Too many open files\n"},
#ifdef SYS_pipe
        {{SYS_pipe, SYS_pipe2}, "pipe(): Too many open files\n"},
#else
        {{SYS_pipe2}, "pipe(): Too many open files\n"},
#endif
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.want);
        child_proc *c = start_failing(r.failing, {CLIENT_PATH, "-p", "cat"}, "client");
        EXPECT_EQ(1, finish(c));
        EXPECT_EQ(r.want, err(c));
        EXPECT_EQ("", out(c));
    }
}

TEST_F(ClientE2e, GroupThatIsNoAddressIsRefusedAndNoMulticastGroupCannotBeJoined) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        std::vector<std::string> args;
        std::string want_err;
    };
    const row rows[] = {
        {{"-M", "300.1.1.1"}, "invalid multicast group \"300.1.1.1\": not an IPv4 address\n"},
        {{"--mgroup", "224.2.2"}, "invalid multicast group \"224.2.2\": not an IPv4 address\n"},
        {{"-M", ""}, "invalid multicast group \"\": not an IPv4 address\n"},
        {{"--mgr=group"}, "invalid multicast group \"group\": not an IPv4 address\n"},
        {{"-M", "10.1.2.3"}, "setsockopt(): Invalid argument\n"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.want_err);
        std::vector<std::string> args = r.args;
        args.insert(args.end(), {"-p", "cat > /dev/null"});
        child_proc *c = client(args);
        EXPECT_EQ(1, finish(c));
        EXPECT_EQ(r.want_err, err(c));
        EXPECT_EQ("", out(c));
    }
}

TEST_F(ClientE2e, SecondClientOnTheSamePortFailsAtBind) {
    REQUIRE_PRIVATE_NETNS();
    child_proc *first = client({"-p", "cat > /dev/null"}, "first");
    ASSERT_TRUE(wait_until([] { return port_bound(1989); }, WAIT_MS));
    child_proc *second = client({"-p", "cat > /dev/null"}, "second");
    EXPECT_EQ(1, finish(second));
    EXPECT_EQ("bind(): Address already in use\n", err(second));
    EXPECT_EQ("", out(second));
    EXPECT_EQ(-2, finish(first, 0)) << "the first client must keep running";
}

TEST_F(ClientE2e, PortOptionBindsTheLowSixteenBitsOfItsNumber) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        std::vector<std::string> args;
        int want;  // 0: any port the system chose
    };
    const row rows[] = {
        {{}, 1989},
        {{"-P", "70000"}, 4464},
        {{"--port=70000"}, 4464},
        {{"--po", "18446744073709553605"}, 1989},  // 2^64 + 1989
        {{"-P", "-1"}, 65535},
        {{"-P", "1", "-P", "5000"}, 5000},  // the last one wins
        {{"-P", "abc"}, 0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args.empty() ? "default" : r.args.back());
        ASSERT_TRUE(wait_until([] { return bound_udp_ports().empty(); }, WAIT_MS));
        std::vector<std::string> args = r.args;
        args.insert(args.end(), {"-p", "cat > /dev/null"});
        child_proc *c = client(args);
        ASSERT_TRUE(wait_until([] { return !bound_udp_ports().empty(); }, WAIT_MS)) << err(c);
        std::set<int> ports = bound_udp_ports();
        ASSERT_EQ(1u, ports.size());
        if (r.want != 0)
            EXPECT_EQ(r.want, *ports.begin());
        else
            EXPECT_NE(0, *ports.begin());
        proc_kill(c);
    }
}

TEST_F(ClientE2e, ShowsTheListAndRelaysTheChosenChannelOverLoopback) {
    REQUIRE_PRIVATE_NETNS();
    std::string player_out = dir + "/player";
    child_proc *c = cat_client(player_out);
    // Turned away in the list phase: data from another host, a short list.
    ASSERT_TRUE(send_raw("127.0.0.2", 40001, {data_msg(3, "abcde")}));
    ASSERT_TRUE(send_raw("127.0.0.1", 40001,
                         {{0, 1, 0, 4},
                          list_of({entry(1, "one\n"), entry(2, "two\n")}),
                          data_msg(1, "hello"),
                          data_msg(2, "zz"),
                          {1},
                          list_of({entry(1, "one\n")}),
                          data_msg(1, "world")}));
    const std::string list = "channel:1one\nchannel:2two\n";
    ASSERT_TRUE(file_is(c->out_path, list)) << out(c);
    ASSERT_TRUE(proc_send(c, "1\n"));
    EXPECT_TRUE(file_is(player_out, "helloworld")) << read_file(player_out);
    const std::string local = addr_int("127.0.0.1");
    const std::string raddr = "raddr:" + local + "\n";
    const std::string want_err =
        "server_addr:" + addr_int("127.0.0.2") + "\n" + "current chnid:3.\nchnid is not match.\n" +
        "server_addr:" + local + "\nmassage is too short.\n" + "server_addr:" + local + "\n" +
        raddr + raddr + raddr + "Ignore:massage too short.\n" + raddr + raddr;
    EXPECT_TRUE(file_is(c->err_path, want_err));
    EXPECT_EQ(want_err, err(c));
    EXPECT_EQ(list + "Accept massage:1 recived.\nAccept massage:1 recived.\n", out(c));
}

TEST_F(ClientE2e, DropsOtherSourcesBeforeShortOrForeignChannelMessages) {
    REQUIRE_PRIVATE_NETNS();
    std::string player_out = dir + "/player";
    child_proc *c = cat_client(player_out);
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list_of({entry(1, "one\n")})}));
    ASSERT_TRUE(send_raw("127.0.0.2", 40001, {data_msg(1, "bad1"), {1}}));  // other address
    ASSERT_TRUE(send_raw("127.0.0.1", 40002, {data_msg(1, "bad2"), {1}}));  // other port
    ASSERT_TRUE(send_raw("127.0.0.2", 40002, {data_msg(1, "bad3")}));       // both
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {data_msg(1, "good")}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
    ASSERT_TRUE(proc_send(c, "1\n"));
    EXPECT_TRUE(file_is(player_out, "good")) << read_file(player_out);
    const std::string r1 = "raddr:" + addr_int("127.0.0.1") + "\n";
    const std::string r2 = "raddr:" + addr_int("127.0.0.2") + "\n";
    const std::string addr_no = "Ignore:addr not match. raddr:127.0.0.2 server_addr:127.0.0.1.\n";
    const std::string port_no = "Ignore:port not match.\n";
    const std::string want_err = "server_addr:" + addr_int("127.0.0.1") + "\n" + r2 + addr_no + r2 +
                                 addr_no + r1 + port_no + r1 + port_no + r2 + addr_no + r1;
    EXPECT_TRUE(file_is(c->err_path, want_err));
    EXPECT_EQ(want_err, err(c));
    EXPECT_EQ("channel:1one\nAccept massage:1 recived.\n", out(c));
}

TEST_F(ClientE2e, ChoiceIsReadLikeADecimalAndNeverWrapsOntoAChannel) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        const char *input;  // written to the client's standard input, then closed
        int want_exit;      // -2: keeps running
        std::string want_player;
        size_t want_accepts;
    };
    const bytes list = list_of({entry(1, "one\n")});
    const row rows[] = {
        {"1\n", -2, "ab", 2},
        {"  +1junk", -2, "ab", 2},
        {"0\n", -2, std::string(list.begin() + 1, list.end()), 1},  // lists pass every rule
        {"4294967297\n", -2, "", 0},                                // 2^32 + 1 is not 1
        {"-4294967295\n", -2, "", 0},                               // nor is -(2^32 - 1)
        {"257\n", -2, "", 0},
        {"abc\n", 1, "", 0},
        {"", 1, "", 0},  // end of input
    };
    int port = 2000;
    for (const auto &r : rows) {
        SCOPED_TRACE(std::string("input '") + r.input + "'");
        port++;
        std::string player_out = dir + "/player" + std::to_string(port);
        child_proc *c = client({"-P", std::to_string(port), "-p", "cat > " + player_out});
        ASSERT_TRUE(wait_until([&] { return port_bound(port); }, WAIT_MS));
        ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list}, port));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
        ASSERT_TRUE(proc_send(c, r.input));
        proc_close_stdin(c);
        std::string server = "server_addr:" + addr_int("127.0.0.1") + "\n";
        if (r.want_exit != -2) {
            EXPECT_EQ(r.want_exit, finish(c));
            EXPECT_EQ(server, err(c));
            EXPECT_EQ("channel:1one\n", out(c));
            continue;
        }
        ASSERT_TRUE(send_raw("127.0.0.1", 40001, {data_msg(1, "a"), list, data_msg(1, "b")}, port));
        std::string raddr = "raddr:" + addr_int("127.0.0.1") + "\n";
        EXPECT_TRUE(file_is(c->err_path, server + raddr + raddr + raddr)) << err(c);
        EXPECT_TRUE(file_is(player_out, r.want_player)) << read_file(player_out);
        EXPECT_EQ(r.want_accepts, count_of(out(c), "Accept massage:"));
        EXPECT_EQ(-2, finish(c, 0));
        proc_kill(c);
    }
}

TEST_F(ClientE2e, BadListEntryStopsTheWalkAndTheListPhaseEndsAsUsual) {
    REQUIRE_PRIVATE_NETNS();
    std::string player_out = dir + "/player";
    child_proc *c = cat_client(player_out);
    bytes list = list_of({entry(1, "one\n"), {2, 0, 2, 'x', 0}, entry(3, "three\n")});
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list, data_msg(3, "payload")}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n")) << out(c);
    ASSERT_TRUE(proc_send(c, "3\n"));  // the choice is not checked against the list
    EXPECT_TRUE(file_is(player_out, "payload"));
    EXPECT_TRUE(file_is(c->out_path, "channel:1one\nAccept massage:3 recived.\n")) << out(c);
}

TEST_F(ClientE2e, GonePlayerEndsTheClientWithBrokenPipe) {
    REQUIRE_PRIVATE_NETNS();
    // The second player lives on but has closed the pipe: only a client
    // that kept no read end of its own sees the broken pipe.
    const char *players[] = {"exit 0", "exec 0<&-; sleep 3"};
    int port = 3000;
    for (const char *player : players) {
        SCOPED_TRACE(player);
        port++;
        child_proc *c = client({"-P", std::to_string(port), "-p", player});
        ASSERT_TRUE(wait_until([&] { return port_bound(port); }, WAIT_MS));
        ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list_of({entry(1, "one\n")})}, port));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
        ASSERT_TRUE(proc_send(c, "1\n"));
        // Data until the client has gone (bounded: 400 datagrams, 20 s).
        std::vector<std::string> args = {
            "-s",    "127.0.0.1", "-S",  "40001", "-p", std::to_string(port),
            "--raw", "--repeat",  "400", "--gap", "50", hex(data_msg(1, "data"))};
        args.insert(args.begin(), STREAM_SENDER_PATH);
        child_proc *s = start(args, "sender", false);
        EXPECT_EQ(1, finish(c));
        EXPECT_TRUE(ends_with(err(c), "write(): Broken pipe\n")) << err(c);
        EXPECT_TRUE(ends_with(out(c), "Accept massage:1 recived.\n")) << out(c);
        proc_kill(s);
    }
}

TEST_F(ClientE2e, MixedSizesReachThePlayerByteForByteInOrder) {
    REQUIRE_PRIVATE_NETNS();
    const std::string input = pattern_bytes(2400000, 7);
    std::string in_path = dir + "/input";
    std::string player_out = dir + "/player";
    std::string go = dir + "/go";
    ASSERT_TRUE(write_file(in_path, input));
    child_proc *c = cat_client(player_out);
    // The sender keeps pace with what the player has written, so nothing is
    // lost however busy the machine is.
    child_proc *s =
        start({STREAM_SENDER_PATH, "-s", "127.0.0.1", "-e", "1:mixed\\n", "-f", "1:" + in_path,
               "--mixed", "--follow", "1:" + player_out, "--go-file", go},
              "sender", false);
    ASSERT_TRUE(file_is(c->out_path, "channel:1mixed\n"));
    ASSERT_TRUE(proc_send(c, "1\n"));
    ASSERT_TRUE(write_file(go, ""));
    EXPECT_EQ(0, finish(s, 3 * WAIT_MS)) << err(s);
    EXPECT_TRUE(file_is(player_out, input));
    EXPECT_GE(count_of(out(c), "Accept massage:1 recived.\n"), 200u);
}

TEST_F(ClientE2e, ReceivesFromAnotherHostOverEnp0s3AndDropsItsOtherAddress) {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ("", netns_peer_start(&peer, "enp0s3", "10.201.7.1/24", "veth0", "10.201.7.2/24"));
    ASSERT_EQ(0, netns_peer_shell(peer, "ip addr add 10.201.7.3/24 dev veth0"));
    const std::string input = pattern_bytes(100000, 11);
    std::string in_path = dir + "/input";
    std::string player_out = dir + "/player";
    std::string go = dir + "/go";
    ASSERT_TRUE(write_file(in_path, input));
    ASSERT_TRUE(write_file(in_path + "1", "not this one"));
    child_proc *c = cat_client(player_out);  // default group and port
    std::vector<std::string> argv = netns_peer_prefix(peer);
    argv.insert(argv.end(), {STREAM_SENDER_PATH,
                             "-i",
                             "veth0",
                             "-s",
                             "10.201.7.2",
                             "-S",
                             "40001",
                             "-e",
                             "1:first\\n",
                             "-e",
                             "2:second\\n",
                             "-f",
                             "1:" + in_path + "1",
                             "-f",
                             "2:" + in_path,
                             "-b",
                             "1400",
                             "-F",
                             "2:" + player_out,
                             "-G",
                             go});
    child_proc *s = start(argv, "sender", false);
    ASSERT_TRUE(file_is(c->out_path, "channel:1first\nchannel:2second\n")) << err(c);
    ASSERT_TRUE(proc_send(c, "2\n"));
    ASSERT_TRUE(write_file(go, ""));
    EXPECT_EQ(0, finish(s, 3 * WAIT_MS)) << err(s);
    EXPECT_TRUE(file_is(player_out, input));
    EXPECT_EQ(72u, count_of(out(c), "Accept massage:2 recived.\n"));  // 100000 / 1400, rounded up
    std::vector<std::string> other = netns_peer_prefix(peer);
    other.insert(other.end(), {STREAM_SENDER_PATH, "-i", "veth0", "-s", "10.201.7.3", "-S", "40001",
                               "--raw", hex(data_msg(2, "x"))});
    child_proc *o = start(other, "other", false);
    EXPECT_EQ(0, finish(o));
    EXPECT_TRUE(wait_until(
        [&] {
            return ends_with(err(c), "raddr:" + addr_int("10.201.7.3") + "\n" +
                                         "Ignore:addr not match. raddr:10.201.7.3 "
                                         "server_addr:10.201.7.2.\n");
        },
        WAIT_MS))
        << err(c);
    EXPECT_EQ(0u, err(c).find("server_addr:" + addr_int("10.201.7.2") + "\n"));
}

TEST_F(ClientE2e, MgroupOptionJoinsOnlyThatGroup) {
    REQUIRE_PRIVATE_NETNS();
    child_proc *c = client({"--mgroup=224.3.3.3", "-P", "5000", "-p", "cat > /dev/null"});
    ASSERT_TRUE(wait_until([] { return port_bound(5000); }, WAIT_MS));
    bytes list = list_of({entry(4, "four\n")});
    ASSERT_TRUE(send({"-s", "127.0.0.2", "-p", "5000", "--raw", hex(list)}));  // 224.2.2.2
    ASSERT_TRUE(send({"-s", "127.0.0.1", "-g", "224.3.3.3", "-p", "5000", "--raw", hex(list)}));
    EXPECT_TRUE(file_is(c->out_path, "channel:4four\n"));
    EXPECT_EQ("server_addr:" + addr_int("127.0.0.1") + "\n", err(c));
}

TEST_F(ClientE2e, OutputReachesPipeReadersBeforeTheClientWaits) {
    REQUIRE_PRIVATE_NETNS();
    // Standard output and error are pipes, drained into files by cat.
    std::string o = dir + "/pipe.out";
    std::string e = dir + "/pipe.err";
    std::string player_out = dir + "/player";
    child_proc *c = start({"sh", "-c",
                           "mkfifo \"$0/o\" \"$0/e\" || exit 1; "
                           "cat \"$0/o\" > \"$0/pipe.out\" & cat \"$0/e\" > \"$0/pipe.err\" & "
                           "exec \"$1\" -p \"cat > $0/player\" > \"$0/o\" 2> \"$0/e\"",
                           dir, CLIENT_PATH},
                          "client", true);
    ASSERT_TRUE(wait_until([] { return port_bound(1989); }, WAIT_MS));
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list_of({entry(1, "one\n")}), data_msg(1, "p")}));
    ASSERT_TRUE(file_is(o, "channel:1one\n")) << read_file(o);
    ASSERT_TRUE(proc_send(c, "1\n"));
    std::string raddr = "raddr:" + addr_int("127.0.0.1") + "\n";
    EXPECT_TRUE(file_is(o, "channel:1one\nAccept massage:1 recived.\n")) << read_file(o);
    EXPECT_TRUE(file_is(e, "server_addr:" + addr_int("127.0.0.1") + "\n" + raddr)) << read_file(e);
    EXPECT_TRUE(file_is(player_out, "p"));
}

TEST_F(ClientE2e, OutputThatCannotBeWrittenEndsTheClient) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        const char *name;
        std::vector<std::string> args;
        bool send_list;
    };
    const row rows[] = {
        {"help", {"-H"}, false},
        {"channel list", {"-p", "cat > /dev/null"}, true},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" > /dev/full", "sh", CLIENT_PATH};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        child_proc *c = start(argv, "client", true);
        std::string want_err = "fflush(): No space left on device\n";
        if (r.send_list) {
            ASSERT_TRUE(wait_until([] { return port_bound(1989); }, WAIT_MS));
            ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list_of({entry(1, "one\n")})}));
            want_err = "server_addr:" + addr_int("127.0.0.1") + "\n" + want_err;
        }
        EXPECT_EQ(1, finish(c));
        EXPECT_EQ(want_err, err(c));
    }
}

TEST_F(ClientE2e, FailedReceiveIsReportedAndNeverTakenForADatagram) {
    REQUIRE_PRIVATE_NETNS();
    std::string player_out = dir + "/player";
    child_proc *c = start_failing({SYS_recvfrom, SYS_recvmmsg},
                                  {CLIENT_PATH, "-p", "cat > " + player_out}, "client");
    const std::string report = "recvfrom(): Too many open files\n";
    // It keeps trying, more slowly as the failures go on; every try fails
    // the same way.
    ASSERT_TRUE(wait_until([&] { return count_of(err(c), report) >= 5; }, WAIT_MS)) << err(c);
    proc_kill(c);
    std::string e = err(c);
    EXPECT_EQ(0u, e.find("recvfrom(): Too many open files\n")) << e.substr(0, 200);
    EXPECT_EQ(std::string::npos, e.find("server_addr")) << e.substr(0, 200);
    EXPECT_EQ("", out(c));
    EXPECT_TRUE(file_is(player_out, ""));
}

// One receive after the list fails (a preloaded shim fails it): the client
// reports it and goes on, and takes it neither for a datagram nor for the end.
TEST_F(ClientE2e, FailedReceiveInTheDataPhaseIsReportedAndTheRelayGoesOn) {
    REQUIRE_PRIVATE_NETNS();
    std::string player_out = dir + "/player";
    child_proc *c =
        start({"env", "LD_PRELOAD=" FAIL_RECV_PATH, "FAIL_RECV_AFTER=1",
               "ASAN_OPTIONS=verify_asan_link_order=0", CLIENT_PATH, "-p", "cat > " + player_out},
              "client", true);
    ASSERT_TRUE(wait_until([] { return port_bound(1989); }, WAIT_MS));
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {list_of({entry(1, "one\n")})}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n"));
    ASSERT_TRUE(proc_send(c, "1\n"));
    ASSERT_TRUE(send_raw("127.0.0.1", 40001, {data_msg(1, "good")}));
    EXPECT_TRUE(file_is(player_out, "good"));
    EXPECT_TRUE(file_is(c->out_path, "channel:1one\nAccept massage:1 recived.\n"));
    const std::string server = "server_addr:" + addr_int("127.0.0.1") + "\n";
    const std::string raddr = "raddr:" + addr_int("127.0.0.1") + "\n";
    const std::string e = err(c);
    ASSERT_TRUE(e.size() > server.size() + raddr.size()) << e;
    EXPECT_EQ(0u, e.find(server)) << e;
    EXPECT_TRUE(ends_with(e, "(): Input/output error\n" + raddr)) << e;
    EXPECT_EQ(1u, count_of(e, "recv")) << e;
    EXPECT_EQ(3u, count_of(e, "\n")) << e;
}

// The player is "sh -c" with the default command exactly as given, blanks
// and all, and SIGPIPE is back at its default there though the client
// ignores it. /bin/sh is a recorder in a mount namespace of the test's own.
TEST_F(ClientE2e, DefaultPlayerIsTheExactCommandRunByShWithSigpipeAtItsDefault) {
    REQUIRE_PRIVATE_NETNS();
    const std::string recorder = dir + "/sh";
    ASSERT_TRUE(write_file(recorder, "#!/bin/bash\nprintf '[%s]\\n' \"$@\" > \"" + dir +
                                         "/argv\"\ngrep SigIgn /proc/$$/status > \"" + dir +
                                         "/sigign\"\nexec cat > /dev/null\n"));
    ASSERT_EQ(0, chmod(recorder.c_str(), 0755));
    start({"unshare", "-m", "bash", "-c", "mount --bind \"$0\" /bin/sh && exec \"$1\"", recorder,
           CLIENT_PATH},
          "client", true);
    EXPECT_TRUE(file_is(dir + "/argv", "[-c]\n[ /usr/bin/mpg123 -   > /dev/null]\n"));
    std::string sigign;
    ASSERT_TRUE(
        wait_until([&] { return ends_with(sigign = read_file(dir + "/sigign"), "\n"); }, WAIT_MS));
    unsigned long long ignored = strtoull(sigign.substr(sigign.find(':') + 1).c_str(), nullptr, 16);
    EXPECT_EQ(0u, ignored & 1ull << (SIGPIPE - 1)) << sigign;
}

TEST_F(ClientE2e, SenderHelpGoesToStdoutAndMisuseToStderr) {
    REQUIRE_PRIVATE_NETNS();
    struct row {
        std::vector<std::string> args;
        int want_exit;
    };
    const row rows[] = {
        {{"--help"}, 0},
        {{}, 1},                  // nothing to send
        {{"--raw"}, 1},           // no datagram
        {{"--raw", "hex:0"}, 1},  // odd digit count
        {{"--raw", "hex:zz"}, 1},
        {{"-e", "1:x", "--raw", "hex:00"}, 1},  // raw takes no entries
        {{"-e", "256:x"}, 1},
        {{"-e", "1:x", "-f", "0:/dev/null"}, 1},  // channel 0 is the list's id
        {{"-e", "1:x", "-b", "65507"}, 1},
        {{"-e", "1:x", "-g", "nowhere"}, 1},
        {{"--nonsense"}, 1},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args.empty() ? "no arguments" : r.args.back());
        std::vector<std::string> argv = {STREAM_SENDER_PATH};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        child_proc *s = start(argv, "sender", false);
        EXPECT_EQ(r.want_exit, finish(s));
        if (r.want_exit == 0) {
            EXPECT_EQ(0u, out(s).find("usage: stream_sender")) << out(s);
            EXPECT_EQ("", err(s));
        } else {
            EXPECT_EQ("", out(s));
            EXPECT_NE(std::string::npos, err(s).find("--help")) << err(s);
        }
    }
}

}  // namespace
