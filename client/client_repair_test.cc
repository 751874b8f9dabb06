// The client with --repair across a hop that loses datagrams: the server on
// a second host joined by a veth pair, nftables dropping on the clients'
// side, and clients with and without --repair beside one another
// (--reuse-address). Each chooses its channel before the server starts, so
// it relays the channel from its first datagram, and what it misses is
// what the hop lost.
#include <signal.h>

#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "e2e_support.h"
#include "repair.h"

namespace {

class ClientRepair : public client_e2e_fixture {};

// UDP sockets of this namespace bound to port.
int sockets_on(int port) {
    char hex[16];
    snprintf(hex, sizeof hex, ":%04X ", port);
    return static_cast<int>(count_of(read_file("/proc/net/udp"), hex));
}

std::string noise(int seconds) {
    return made_mp3(TEST_AUDIO_DIR, "client_noise_" + std::to_string(seconds), 44100, 2,
                    "synth " + std::to_string(seconds) + " whitenoise vol 0.3", "-b 128");
}

// The rows run in turn. Loss-free, with the server's repair off and on:
// every client relays the file's frames byte for byte, the one with
// --repair later. Channel 1 losing 5 % at random and channel 2 eight
// datagrams in a row of every 500 of its own (data and repair alike; the
// burst falls mid-stream): with --repair at most a tenth of the frames
// missing without it on channel 1, none on channel 2. Channel 2 plays 3 s
// longer, so that the server sends the repair of channel 1's last block
// before it ends. SIGTERM has the counts said.
TEST_F(ClientRepair, RebuildsWhatTheHopLostAndLeavesWhatCameAsItWas) {
    REQUIRE_PRIVATE_NETNS();
    if (access("/usr/sbin/nft", X_OK) != 0 && !running_in_ci()) GTEST_SKIP() << "nft is missing";
    const std::string files[] = {noise(3), noise(12), noise(15)};  // short, lossy 1, lossy 2
    for (const auto &[folder, file] :
         {std::pair{"short/1", files[0]}, {"lossy/1", files[1]}, {"lossy/2", files[2]}}) {
        ASSERT_NE("", file) << "sox and lame could not make the noise";
        ASSERT_EQ(0, run_shell("mkdir -p " + dir + "/" + folder + " && cp " + file + " " + dir +
                               "/" + folder));
    }
    ASSERT_EQ("", netns_peer_start(&peer, "enp0s3", "10.201.9.1/24", "veth0", "10.201.9.2/24"));
    const std::string nft = "nft 'add rule inet lossy in iifname enp0s3 udp dport { 1989, 1991 } ";
    ASSERT_EQ(0, run_shell("nft 'add table inet lossy' && nft 'add chain inet lossy in "
                           "{ type filter hook prerouting priority 0; }'"));
    struct row {
        const char *name, *radio, *repair_port;
        std::string drops;  // the rules' ends
        int channels;       // a client without and one with --repair on each
    };
    const row rows[] = {
        {"loss-free, no repair sent", "short", "0", "", 1},
        {"loss-free, repair sent", "short", "1991", "", 1},
        {"lossy", "lossy", "1991",
         "@th,64,8 1 numgen random mod 1000 < 50 drop' && " + nft +
             "@th,64,8 2 numgen inc mod 500 200-207 drop'",
         2},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        bool lossy = !r.drops.empty();
        ASSERT_EQ(
            0, run_shell("nft flush chain inet lossy in" + (lossy ? " && " + nft + r.drops : "")));
        // Channel 1 without, with --repair; then channel 2. Each row's files
        // are new: a player that has not yet started leaves them absent.
        auto heard = [&](int i) { return dir + "/" + r.radio + r.repair_port + std::to_string(i); };
        std::vector<child_proc *> clients;
        for (int i = 0; i < 2 * r.channels; i++) {
            std::vector<std::string> args = {"--reuse-address", "-q", "-p", "cat > " + heard(i)};
            if (i % 2) args.push_back("--rep");
            clients.push_back(client(args, "client" + std::to_string(i)));
            ASSERT_TRUE(proc_send(clients.back(), std::to_string(1 + i / 2) + "\n"));
        }
        ASSERT_TRUE(wait_until(
            [&] { return sockets_on(1989) == 2 * r.channels && sockets_on(1991) == r.channels; },
            WAIT_MS));
        std::vector<std::string> server = netns_peer_prefix(peer);
        server.insert(server.end(), {STREAM_SERVER_PATH, "--once", "--repair-port", r.repair_port,
                                     dir + "/" + r.radio});
        child_proc *srv = start(server, std::string("server ") + r.name, false);
        ASSERT_TRUE(wait_until([&] { return !read_file(heard(0)).empty(); }, WAIT_MS));
        EXPECT_EQ("", read_file(heard(1))) << "relayed before its block was complete";
        EXPECT_EQ(0, finish(srv, 60000));
        long missing[4];
        for (int i = 0; i < 2 * r.channels; i++) {
            std::string whole, path = heard(i);
            for (const auto &frame : programme({files[r.channels == 1 ? 0 : 1 + i / 2]}))
                whole += frame;
            bool kept_whole = !lossy || i == 3;  // else what the hop left
            if (kept_whole) {
                EXPECT_TRUE(file_is(path, whole)) << i;
            } else if (i == 1) {  // whole unless a block lost more than its repair
                wait_until([&] { return read_file(path) == whole; }, 10000);
            }
            missing[i] = static_cast<long>(frames_of(whole).size()) -
                         static_cast<long>(frames_of(read_file(path)).size());
        }
        if (lossy) {
            SCOPED_TRACE("frames missing on channel 1 without repair " +
                         std::to_string(missing[0]) + ", with " + std::to_string(missing[1]) +
                         "; on channel 2 without " + std::to_string(missing[2]));
            EXPECT_GT(missing[0], 0) << "5 % lost without repair";
            EXPECT_LE(missing[1] * 10, missing[0]) << "5 % lost with repair";
            EXPECT_GT(missing[2], 0) << "a burst lost without repair";
        }
        for (int i = 1; i < 2 * r.channels; i += 2) {
            kill(clients[i]->pid, SIGTERM);
            EXPECT_EQ(-1, finish(clients[i]));
            std::regex said(lossy ? "rebuilt datagrams: [1-9][0-9]*, could not rebuild: [0-9]+\n"
                                  : "rebuilt datagrams: 0, could not rebuild: 0\n");
            EXPECT_TRUE(std::regex_match(err(clients[i]), said)) << err(clients[i]);
        }
        for (auto &p : procs) proc_kill(&p);
        ASSERT_TRUE(
            wait_until([] { return sockets_on(1989) == 0 && sockets_on(1991) == 0; }, WAIT_MS));
    }
}

// A choice that comes 6 s after the list, while both sockets fill and
// overflow: what the data socket kept goes out, then the live stream, each
// frame once and in the order sent, and nothing counts as lost.
TEST_F(ClientRepair, ALateChoiceRelaysEachFrameOnceInOrder) {
    REQUIRE_PRIVATE_NETNS();
    std::string file = noise(16);
    ASSERT_NE("", file) << "sox and lame could not make the noise";
    ASSERT_EQ(0, run_shell("mkdir -p " + dir + "/late/1 && cp " + file + " " + dir + "/late/1"));
    child_proc *srv = start({STREAM_SERVER_PATH, "--once", "-S", "1995", dir + "/late"}, "server",
                            false);
    std::string heard = dir + "/heard";
    child_proc *c = client({"-q", "--repair", "-p", "cat > " + heard});
    ASSERT_TRUE(wait_until([&] { return !out(c).empty(); }, WAIT_MS)) << "no list";
    usleep(6'000'000);
    ASSERT_TRUE(proc_send(c, "1\n"));
    EXPECT_EQ(0, finish(srv, 30000));
    usleep(static_cast<useconds_t>(REPAIR_HOLD_NS / 1000 + 500'000));
    kill(c->pid, SIGTERM);
    EXPECT_EQ(-1, finish(c));
    EXPECT_EQ("rebuilt datagrams: 0, could not rebuild: 0\n", err(c));
    std::map<std::string, int> place;
    std::vector<std::string> prog = programme({file});
    for (size_t i = 0; i < prog.size(); i++) place[prog[i]] = static_cast<int>(i);
    std::string got = read_file(heard);
    std::vector<found_frame> frames = frames_of(got);
    int last = -1;
    for (size_t i = 0; i < frames.size(); i++) {
        auto at = place.find(cut_frames(got, frames, i, i + 1));
        ASSERT_NE(place.end(), at) << "frame " << i << " was never sent";
        ASSERT_GT(at->second, last) << "frame " << i << " again or out of order";
        last = at->second;
    }
    EXPECT_EQ(static_cast<int>(prog.size()) - 1, last) << "the end is missing";
}

}  // namespace
