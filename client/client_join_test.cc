// End-to-end tests of where the client joins: the interface -I names, and
// the one sender -S names. The client's namespace is joined to a second
// host's by veth pairs; all of it is made here and goes with the test.
#include <net/if.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

class ClientJoin : public client_e2e_fixture {
protected:
    // Raw datagrams from the peer's address src (port 40001), out of the peer's interface
    // ifname, to the default group on port.
    bool send_from_peer(const char *ifname, const char *src, int port,
                        const std::vector<bytes> &grams) {
        std::vector<std::string> args = {
            "-i", ifname, "-s", src, "-S", "40001", "-p", std::to_string(port), "--raw"};
        for (const auto &g : grams) args.push_back(hex(g));
        return send(args, netns_peer_prefix(peer));
    }

    // The client with args on port, playing into player_out, once it has
    // bound the port.
    child_proc *client_bound(std::vector<std::string> args, int port, const std::string &player_out) {
        args.insert(args.end(), {"-P", std::to_string(port), "-p", "cat > " + player_out});
        child_proc *c = client(args);
        EXPECT_TRUE(wait_until([&] { return port_bound(port); }, WAIT_MS)) << err(c);
        return c;
    }
};

// The new long names leave "--h", "--m" and "--p" as they were.
TEST_F(ClientJoin, UnknownInterfaceOrBadSourceIsRefusedAndShortPrefixesKeepTheirMeaning) {
    REQUIRE_PRIVATE_NETNS();
    child_proc *help = client({"-H"}, "help");
    ASSERT_EQ(0, finish(help));
    struct row {
        std::vector<std::string> args;
        int want_exit;
        std::string want_out;
        std::string want_err;  // all of standard error, or for --player and --re a part
    };
    const std::string no_if = "\": no interface has this name, index or address\n";
    const std::string not_unicast = "\": not a unicast IPv4 address\n";
    const row rows[] = {
        {{"-I", "enp0s3"}, 1, "", "unknown interface \"enp0s3" + no_if},
        {{"--interface", "99"}, 1, "", "unknown interface \"99" + no_if},
        {{"--i=10.9.9.9"}, 1, "", "unknown interface \"10.9.9.9" + no_if},
        {{"-I", ""}, 1, "", "unknown interface \"" + no_if},
        {{"--s", "10.9.9"}, 1, "", "invalid source \"10.9.9\": not an IPv4 address\n"},
        {{"-S", "0.0.0.0"}, 1, "", "invalid source \"0.0.0.0" + not_unicast},
        {{"-S", "224.2.2.2"}, 1, "", "invalid source \"224.2.2.2" + not_unicast},
        {{"-S", "255.255.255.255"}, 1, "", "invalid source \"255.255.255.255" + not_unicast},
        {{"--m", "x"}, 1, "", "invalid multicast group \"x\": not an IPv4 address\n"},
        {{"--h"}, 0, out(help), ""},
        {{"--n", "x"}, 1, "", "--now-playing-port must be a number from 0 to 65535, not 'x'\n"},
        {{"--player", "cat"}, 1, "", "--player"},
        {{"--re"}, 1, "", "'--re' is ambiguous"},  // --reuse-address or --repair, both new
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args[0] + " " + r.args.back());
        child_proc *c = client(r.args);
        EXPECT_EQ(r.want_exit, finish(c));
        EXPECT_EQ(r.want_out, out(c));
        if (r.args[0] == "--player" || r.args[0] == "--re")
            EXPECT_NE(std::string::npos, err(c).find(r.want_err)) << err(c);
        else
            EXPECT_EQ(r.want_err, err(c));
    }
    child_proc *c = client({"--p", "5000", "-p", "cat > /dev/null"});
    EXPECT_TRUE(wait_until([] { return port_bound(5000); }, WAIT_MS)) << err(c);
}

TEST_F(ClientJoin, InterfaceOptionHearsOnlyTheInterfaceItNames) {
    REQUIRE_PRIVATE_NETNS();
    // The stream comes over jna, a marker over jnb; without -I the system
    // would join on lo and hear neither.
    ASSERT_EQ("", netns_peer_start(&peer, "jna", "10.203.1.1/24", "pa", "10.203.1.2/24"));
    ASSERT_EQ("", netns_peer_link(peer, "jnb", "10.203.2.1/24", "pb", "10.203.2.2/24"));
    ASSERT_EQ(0, run_shell("ip route replace 224.0.0.0/4 dev lo"));
    std::string ia = std::to_string(if_nametoindex("jna"));
    ASSERT_NE("0", ia);
    struct row {
        std::vector<std::string> args;
        bool hears_stream;
    };
    const row rows[] = {
        {{"-I", "jna"}, true},
        {{"--interface", ia}, true},
        {{"--inter=10.203.1.1"}, true},
        {{"-I", "jnb"}, false},
    };
    int port = 4000;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args.back());
        port++;
        std::string player_out = dir + "/player" + std::to_string(port);
        child_proc *c = client_bound(r.args, port, player_out);
        ASSERT_FALSE(HasFailure());
        ASSERT_TRUE(send_from_peer("pa", "10.203.1.2", port,
                                   {list_of({entry(1, "stream\n")}), data_msg(1, "good")}));
        ASSERT_TRUE(send_from_peer("pb", "10.203.2.2", port, {list_of({entry(9, "marker\n")})}));
        if (!r.hears_stream) {
            // The marker came second: had the stream been heard, its list would have won.
            EXPECT_TRUE(file_is(c->out_path, "channel:9marker\n")) << out(c);
            EXPECT_EQ("server_addr:" + addr_int("10.203.2.2") + "\n", err(c));
            proc_kill(c);
            continue;
        }
        ASSERT_TRUE(file_is(c->out_path, "channel:1stream\n")) << out(c) << err(c);
        ASSERT_TRUE(proc_send(c, "1\n"));
        EXPECT_TRUE(file_is(player_out, "good")) << read_file(player_out);
        const std::string a = addr_int("10.203.1.2");
        EXPECT_TRUE(file_is(c->err_path, "server_addr:" + a + "\nraddr:" + a + "\n")) << err(c);
        EXPECT_EQ("channel:1stream\nAccept massage:1 recived.\n", out(c));
        proc_kill(c);
    }
}

// A link that -I names by its name, deleted and created again (an adapter
// plugged in again), comes back with a new index; the client joins it
// again within a few seconds and says so, each time.
TEST_F(ClientJoin, LinkCreatedAgainUnderItsNameIsJoinedAgain) {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ("", netns_peer_start(&peer, "jna", "10.205.1.1/24", "pa", "10.205.1.2/24"));
    const int port = 6001;
    std::string player_out = dir + "/player";
    child_proc *c = client_bound({"-I", "jna"}, port, player_out);
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(send_from_peer("pa", "10.205.1.2", port, {list_of({entry(1, "one\n")})}));
    ASSERT_TRUE(file_is(c->out_path, "channel:1one\n")) << err(c);
    ASSERT_TRUE(proc_send(c, "1\n"));
    const std::string a = addr_int("10.205.1.2");
    std::string want_err = "server_addr:" + a + "\n";
    std::string want_player;
    for (int round = 1; round <= 2; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(0, run_shell("ip link del jna"));
        ASSERT_EQ("", netns_peer_link(peer, "jna", "10.205.1.1/24", "pa", "10.205.1.2/24"));
        want_err += "joined the group again on jna\n";
        ASSERT_TRUE(file_is(c->err_path, want_err));
        std::string payload = std::to_string(round);
        ASSERT_TRUE(send_from_peer("pa", "10.205.1.2", port, {data_msg(1, payload)}));
        want_player += payload;
        want_err += "raddr:" + a + "\n";
        EXPECT_TRUE(file_is(player_out, want_player));
        EXPECT_TRUE(file_is(c->err_path, want_err));
    }
}

TEST_F(ClientJoin, SourceOptionKeepsOtherSendersOutOfTheSocket) {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ("", netns_peer_start(&peer, "jna", "10.204.1.1/24", "pa", "10.204.1.2/24"));
    ASSERT_EQ(0, netns_peer_shell(peer, "ip addr add 10.204.1.3/24 dev pa"));
    const std::string server = addr_int("10.204.1.2");
    const std::string other = addr_int("10.204.1.3");
    struct row {
        std::vector<std::string> args;
        std::string want_err;
    };
    const row rows[] = {
        {{},
         "server_addr:" + other + "\ncurrent chnid:1.\nchnid is not match.\n" +
             "server_addr:" + server + "\nraddr:" + other +
             "\nIgnore:addr not match. raddr:10.204.1.3 server_addr:10.204.1.2.\n" +
             "raddr:" + server + "\n"},
        {{"-S", "10.204.1.2"}, "server_addr:" + server + "\nraddr:" + server + "\n"},
        {{"-I", "jna", "--sou=10.204.1.2"}, "server_addr:" + server + "\nraddr:" + server + "\n"},
    };
    int port = 5000;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.args.empty() ? "any source" : r.args.back());
        port++;
        std::string player_out = dir + "/player" + std::to_string(port);
        child_proc *c = client_bound(r.args, port, player_out);
        ASSERT_FALSE(HasFailure());
        // The other sender speaks first in both phases.
        ASSERT_TRUE(send_from_peer("pa", "10.204.1.3", port, {data_msg(1, "bad1")}));
        ASSERT_TRUE(send_from_peer("pa", "10.204.1.2", port, {list_of({entry(1, "one\n")})}));
        ASSERT_TRUE(file_is(c->out_path, "channel:1one\n")) << out(c) << err(c);
        ASSERT_TRUE(proc_send(c, "1\n"));
        ASSERT_TRUE(send_from_peer("pa", "10.204.1.3", port, {data_msg(1, "bad2")}));
        ASSERT_TRUE(send_from_peer("pa", "10.204.1.2", port, {data_msg(1, "good")}));
        EXPECT_TRUE(file_is(player_out, "good")) << read_file(player_out);
        EXPECT_TRUE(file_is(c->err_path, r.want_err)) << err(c);
        proc_kill(c);
    }
}

}  // namespace
