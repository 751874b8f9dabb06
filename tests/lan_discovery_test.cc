// The radio found on the LAN over real mDNS: two network namespaces joined
// by a veth pair, each with a host name, a system bus and an avahi-daemon
// of its own (mdns.h); servers announce in one, and stream_player and
// avahi-browse find them from the other. Without a responder, a server
// says so once and sends as before.
#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "mdns.h"
#include "mono_clock.h"
#include "netns.h"
#include "proc.h"

namespace {

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class Discovery : public ::testing::Test {
protected:
    std::string dir;
    netns_peer peer;  // host B; host A is the test's own namespace
    mdns_host a, b;
    std::vector<child_proc *> started;

    void SetUp() override {
        REQUIRE_PRIVATE_NETNS();
        dir = make_temp_dir();
        ASSERT_EQ("", netns_peer_start(&peer, "mdns-a", "10.79.0.1/24", "mdns-b", "10.79.0.2/24"));
        std::string why = mdns_host_start(&a, {}, dir, "a", "radio-a", "mdns-a");
        if (why.empty()) why = mdns_host_start(&b, netns_peer_prefix(peer), dir, "b", "radio-b", "mdns-b");
        if (!why.empty() && !running_in_ci()) GTEST_SKIP() << why;
        ASSERT_EQ("", why);
    }

    void TearDown() override {
        for (child_proc *p : started) proc_kill(p);
        mdns_host_stop(&b);
        mdns_host_stop(&a);
        netns_peer_stop(&peer);
        if (!dir.empty()) remove_tree(dir);
    }

    // A radio folder of n channels of one short file each.
    std::string radio(const std::string &name, int n) {
        std::string mp3 =
            made_mp3(TEST_AUDIO_DIR, "discovery", 44100, 2, "synth 3 pluck C4", "-b 128");
        EXPECT_NE("", mp3);
        std::string folder = dir + "/" + name;
        for (int i = 1; i <= n; i++) {
            std::string ch = folder + "/" + std::to_string(i) + "-ch";
            EXPECT_EQ(0, run_shell("mkdir -p '" + ch + "' && cp '" + mp3 + "' '" + ch + "/'"));
        }
        return folder;
    }

    // Starts a server on host h (its namespace entered by prefix) with args.
    void server(child_proc *p, const std::vector<std::string> &prefix, const mdns_host &h,
                const std::string &name, const std::vector<std::string> &args) {
        std::vector<std::string> argv = joined(joined(prefix, mdns_host_env(h)), {STREAM_SERVER_PATH});
        ASSERT_TRUE(proc_start(p, joined(argv, args), dir, name, false));
        started.push_back(p);
    }

    // Runs argv on host B to its end, at most 5 s; its output, and in
    // *took how long it ran.
    std::string on_b(const std::string &name, const std::vector<std::string> &argv, int *status,
                     double *took) {
        child_proc p;
        std::vector<std::string> all = joined(joined(netns_peer_prefix(peer), mdns_host_env(b)), argv);
        long long start = now_ns();
        if (!proc_start(&p, all, dir, name, false)) return "";
        if (!proc_wait(&p, 5000, status)) proc_kill(&p);
        *took = static_cast<double>(now_ns() - start) / 1e9;
        return read_file(p.out_path);
    }
};

// One server on host A with its gateway, then a second of the same name
// on host B: the player, the client and avahi-browse on B see the first
// within 2 s with its TXT record and its gateway's page, then both, the
// second renamed, which the gateway's page lists; a player with no radio
// options and two radios lists them and fails, one given --radio lists
// nothing. A player and a client that found the first by name follow it
// when it starts again on another group, port and source port.
TEST_F(Discovery, ServersAreFoundWithTheirRecordsAndAClashIsRenamed) {
    child_proc one, gw;
    const std::vector<std::string> kitchen = {"--announce", "Kitchen radio", "--repair-port", "0"};
    server(&one, {}, a, "server-a",
           joined(kitchen, {"-M", "239.255.0.7", "-P", "5004", "-S", "5010", radio("radio-a", 2)}));
    ASSERT_TRUE(proc_start(&gw, joined(mdns_host_env(a), {STREAM_GATEWAY_PATH, "--name", "Kitchen",
                                                          "-M", "239.255.0.7", "-P", "5004"}),
                           dir, "gateway", false));
    started.push_back(&gw);
    ASSERT_TRUE(wait_until(
        [&] { return read_file(one.err_path).find("announced on the LAN as 'Kitchen radio'") !=
                         std::string::npos &&
                     read_file(gw.err_path).find("announced on the LAN as") != std::string::npos; },
        10000))
        << read_file(one.err_path) << read_file(gw.err_path);

    int status;
    double took;
    std::string list = on_b("list", {STREAM_PLAYER_PATH, "--list-radios"}, &status, &took);
    EXPECT_EQ(0, status) << read_file(dir + "/list.err");
    EXPECT_LE(took, 2.5);
    EXPECT_NE(std::string::npos,
              list.find("Kitchen radio: group 239.255.0.7 port 5004, 2 channels, server 10.79.0.1 "
                        "port 5010, gateway http://10.79.0.1:8000/\n"))
        << list;

    // The client looks only when asked, and lists alike.
    EXPECT_EQ(list, on_b("client-list", {CLIENT_PATH, "--list-radios"}, &status, &took));
    EXPECT_EQ(0, status);
    on_b("client-none", {CLIENT_PATH, "--radio", "Office radio"}, &status, &took);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ("no radio named 'Office radio' on the LAN\n", read_file(dir + "/client-none.err"));

    std::string browsed = on_b("browse", {"avahi-browse", "-rpt", "_mcast-radio._udp"}, &status, &took);
    EXPECT_EQ(0, status);
    EXPECT_LE(took, 2.5);
    std::string resolved;  // avahi-browse's line of the resolved service
    for (size_t at = browsed.find("\n=;"); at != std::string::npos; at = browsed.find("\n=;", at + 1))
        resolved = browsed.substr(at + 1, browsed.find('\n', at + 1) - at - 1);
    if (browsed.compare(0, 2, "=;") == 0) resolved = browsed.substr(0, browsed.find('\n'));
    EXPECT_NE(std::string::npos, resolved.find(";Kitchen\\032radio;_mcast-radio._udp;local;"))
        << browsed;
    EXPECT_NE(std::string::npos, resolved.find(";10.79.0.1;5010;")) << resolved;
    for (const char *txt : {"\"txtvers=1\"", "\"group=239.255.0.7\"", "\"port=5004\"", "\"np=5005\"",
                            "\"repair=0\"", "\"timing=5007\"", "\"channels=2\""})
        EXPECT_NE(std::string::npos, resolved.find(txt)) << txt << " in " << resolved;

    // The same name on B: Avahi's alternative, said once.
    child_proc two;
    server(&two, netns_peer_prefix(peer), b, "server-b",
           {"--announce", "Kitchen radio", "-M", "239.255.0.8", radio("radio-b", 1)});
    ASSERT_TRUE(wait_until(
        [&] { return read_file(two.err_path).find("announced on the LAN as") != std::string::npos; },
        10000))
        << read_file(two.err_path);
    EXPECT_EQ(1u, count_of(read_file(two.err_path),
                           "the name 'Kitchen radio' is taken on the LAN; announced as "
                           "'Kitchen radio #2' instead"))
        << read_file(two.err_path);
    on_b("several", {STREAM_PLAYER_PATH, "-q"}, &status, &took);
    list = read_file(dir + "/several.err");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << list;
    EXPECT_NE(std::string::npos, list.find("Kitchen radio: group 239.255.0.7")) << list;
    EXPECT_NE(std::string::npos, list.find("Kitchen radio #2: group 239.255.0.8")) << list;
    std::string page = on_b("status", {"curl", "-s", "http://10.79.0.1:8000/status.json"}, &status,
                            &took);
    EXPECT_NE(std::string::npos,
              page.find("\"radios\":[{\"name\":\"Kitchen radio #2\",\"group\":\"239.255.0.8\","
                        "\"port\":1989,\"channels\":1,\"page\":null}]"))
        << page;

    child_proc player;
    std::vector<std::string> argv = joined(netns_peer_prefix(peer), mdns_host_env(b));
    ASSERT_TRUE(proc_start(&player, joined(argv, {STREAM_PLAYER_PATH, "--radio", "Kitchen radio",
                                                  "--device", "null", "-q", "-c", "1"}),
                           dir, "player", false));
    started.push_back(&player);
    child_proc client;  // and the client, on channel 1 as typed
    ASSERT_TRUE(proc_start(&client, joined(argv, {CLIENT_PATH, "--radio", "Kitchen radio", "-q",
                                                  "--reuse-address", "-p", "cat > /dev/null"}),
                           dir, "client", true));
    started.push_back(&client);
    EXPECT_TRUE(proc_send(&client, "1\n"));
    ASSERT_TRUE(wait_until(
        [&] { return read_file(player.err_path).find("now on channel 1") != std::string::npos; },
        10000))
        << read_file(player.err_path);

    // A reload that adds a channel is in the record at once; a clean stop
    // takes the radio off the list.
    EXPECT_EQ(0, run_shell("cp -r '" + dir + "/radio-a/1-ch' '" + dir + "/radio-a/3-ch'"));
    kill(one.pid, SIGHUP);
    bool three = wait_until(
        [&] {
            return on_b("reloaded", {STREAM_PLAYER_PATH, "--list-radios"}, &status, &took)
                       .find("Kitchen radio: group 239.255.0.7 port 5004, 3 channels") !=
                   std::string::npos;
        },
        5000);
    EXPECT_TRUE(three) << read_file(dir + "/reloaded.out");
    kill(one.pid, SIGTERM);
    EXPECT_TRUE(proc_wait(&one, 5000, &status));
    // The goodbye's records leave a responder's cache a second later.
    bool gone = wait_until(
        [&] {
            list = on_b("stopped", {STREAM_PLAYER_PATH, "--list-radios"}, &status, &took);
            return list.find("Kitchen radio:") == std::string::npos;
        },
        3000);
    EXPECT_TRUE(gone) << list;
    EXPECT_NE(std::string::npos, list.find("Kitchen radio #2:")) << list;

    // Started again elsewhere: the player and the client join it there and
    // take its server's datagrams at once.
    child_proc again;
    server(&again, {}, a, "server-a-again",
           joined(kitchen, {"-M", "239.255.0.9", "-P", "5014", "-S", "5020", radio("radio-c", 1)}));
    const std::string moved = "following the server at 10.79.0.1:5020: the radio moved there\n";
    for (child_proc *p : {&player, &client}) {
        EXPECT_TRUE(wait_until([&] { return read_file(p->err_path).find(moved) != std::string::npos; },
                               10000))
            << read_file(p->err_path);
        EXPECT_NE(std::string::npos, read_file(p->err_path).find("joined 239.255.0.9 port 5014\n"));
    }
}

// A gateway on host A is a web service to a browser on host B: named as
// its page, with the page's path and the radio it serves.
TEST_F(Discovery, GatewayPageIsFoundAsAWebService) {
    child_proc g;
    std::vector<std::string> argv = joined(mdns_host_env(a), {STREAM_GATEWAY_PATH, "--name",
                                                              "Kitchen radio", "-M", "239.255.0.7"});
    ASSERT_TRUE(proc_start(&g, argv, dir, "gateway", false));
    started.push_back(&g);
    ASSERT_TRUE(wait_until(
        [&] { return read_file(g.err_path).find("announced on the LAN as") != std::string::npos; },
        10000))
        << read_file(g.err_path);
    int status;
    double took;
    std::string browsed = on_b("browse", {"avahi-browse", "-rptk", "_http._tcp"}, &status, &took);
    EXPECT_NE(std::string::npos,
              browsed.find("=;mdns-b;IPv4;Kitchen\\032radio;_http._tcp;local;radio-a.local;"
                           "10.79.0.1;8000;"))
        << browsed;
    EXPECT_NE(std::string::npos, browsed.find("\"path=/\"")) << browsed;
    EXPECT_NE(std::string::npos, browsed.find("\"radio=239.255.0.7:1989\"")) << browsed;
}

// With no responder (no system bus) the server says so in one line and
// sends as before; with --announce off it says nothing of it.
TEST(NoResponder, ServerSaysSoOnceAndSends) {
    REQUIRE_PRIVATE_NETNS();
    std::string dir = make_temp_dir();
    std::string mp3 = made_mp3(TEST_AUDIO_DIR, "discovery", 44100, 2, "synth 3 pluck C4", "-b 128");
    ASSERT_NE("", mp3);
    ASSERT_EQ(0, run_shell("mkdir -p '" + dir + "/radio/1-ch' && cp '" + mp3 + "' '" + dir + "/radio/1-ch/'"));
    for (bool off : {false, true}) {
        SCOPED_TRACE(off ? "--announce off" : "announced");
        std::vector<std::string> argv = {STREAM_SERVER_PATH, "--once"};
        if (off) argv.insert(argv.end(), {"--announce", "off"});
        argv.push_back(dir + "/radio");
        child_proc p;
        ASSERT_TRUE(proc_start(&p, argv, dir, "server", false));
        int status = 0;
        bool ended = proc_wait(&p, 10000, &status);
        if (!ended) proc_kill(&p);
        EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0);
        std::string err = read_file(p.err_path);
        EXPECT_EQ(off ? 0u : 1u, count_of(err, "not announced")) << err;
        EXPECT_EQ(0u, count_of(err, "announced on the LAN")) << err;
        EXPECT_NE(std::string::npos, err.find("channel 1: 1 file played")) << err;
    }
    remove_tree(dir);
}

}  // namespace
