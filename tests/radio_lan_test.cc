// Checks the rooms' LAN of the player tests without the radio: a socket in
// the server's namespace stands in for the server and sockets in the rooms
// for the players, so that what the hop, the loss rule and the rooms'
// clocks do is seen datagram by datagram.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "netns.h"
#include "proc.h"
#include "radio_lan.h"

namespace {

const char GROUP[] = "224.2.2.2";
constexpr int PORT = 1989;
constexpr int SENT = 400;      // datagrams, one every 2 ms
constexpr double MAX_MS = 20;  // the hop's delays: 0 to this
constexpr int LOSS = 50;       // per mille, in room 2
constexpr int QUIET_MS = 300;  // a room that got nothing this long has all

sockaddr_in addr_of(const char *ip, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

bool bind_to(int sd, const char *ip, int port) {
    sockaddr_in a = addr_of(ip, port);
    return sd >= 0 && bind(sd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
}

// A player's socket in room n: the group on PORT, joined on the room's end,
// with room for all that is sent before the test reads it.
int player_socket(const radio_lan &lan, int n) {
    int sd = netns_peer_socket(lan.rooms[static_cast<size_t>(n - 1)], AF_INET, SOCK_DGRAM);
    int four_mib = 4 << 20;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUFFORCE, &four_mib, sizeof four_mib);
    if (!bind_to(sd, GROUP, PORT)) return -1;
    ip_mreqn m{};
    inet_pton(AF_INET, GROUP, &m.imr_multiaddr);
    inet_pton(AF_INET, radio_lan_room_addr(n).c_str(), &m.imr_address);
    return setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0 ? sd : -1;
}

// One datagram within ms, or "" (from set to where it came from).
std::string receive(int sd, int ms, sockaddr_in *from) {
    pollfd p = {sd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[2048];
    socklen_t len = sizeof *from;
    ssize_t n = recvfrom(sd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(from), &len);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

std::string text_of(const sockaddr_in &a) {
    char ip[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

// What a room got of the numbered datagrams: how many, how many came after
// a later one (overtaken), and from where they came other than from the
// server as the rooms know it.
struct got {
    int count = 0, overtaken = 0;
    std::vector<std::string> strangers;
};

got drain(int sd) {
    got g;
    int highest = -1;
    const std::string server = std::string(LAN_SERVER_ADDR) + ":" + std::to_string(PORT);
    for (;;) {
        sockaddr_in from{};
        std::string d = receive(sd, QUIET_MS, &from);
        if (d.empty()) return g;
        if (text_of(from) != server) g.strangers.push_back(text_of(from));
        int seq = atoi(d.c_str());
        if (d[0] == 'p') continue;  // a probe
        g.count++;
        if (seq < highest) g.overtaken++;
        highest = std::max(highest, seq);
    }
}

class RadioLan : public ::testing::Test {
protected:
    void SetUp() override { dir = make_temp_dir(); }
    void TearDown() override {
        for (int sd : fds) close(sd);
        radio_lan_stop(&lan);
        if (HasFailure()) printf("jitter_hop said: %s\n", read_file(lan.hop.err_path).c_str());
        remove_tree(dir);
    }
    int keep(int sd) {
        if (sd >= 0) fds.push_back(sd);
        return sd;
    }
    std::string dir;
    radio_lan lan;
    std::vector<int> fds;
};

// Through the hop each room gets every datagram from the server's address
// and port as the rooms know them, many overtaken by later ones; room 2
// loses about 5 %; a room's unicast request reaches the server and its
// answer comes back the same way.
TEST_F(RadioLan, HopDelaysEachDatagramAndKeepsTheServersAddress) {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ("", radio_lan_start(&lan, 2));
    ASSERT_EQ("", radio_lan_add_hop(&lan, JITTER_HOP_PATH, dir, GROUP, {PORT}, PORT, MAX_MS, 7));
    ASSERT_EQ("", radio_lan_loss(lan, 2, LOSS));
    int server = keep(netns_peer_socket(lan.server, AF_INET, SOCK_DGRAM));
    ASSERT_TRUE(bind_to(server, "10.78.9.1", PORT));
    int room1 = keep(player_socket(lan, 1)), room2 = keep(player_socket(lan, 2));
    ASSERT_TRUE(room1 >= 0 && room2 >= 0);
    sockaddr_in group = addr_of(GROUP, PORT), from{};
    auto send_group = [&](const std::string &d) {
        return sendto(server, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&group),
                      sizeof group) == static_cast<ssize_t>(d.size());
    };
    // The hop has joined once a probe comes through.
    ASSERT_TRUE(wait_until(
        [&] { return send_group("probe") && !receive(room1, 50, &from).empty(); }, 10000))
        << read_file(lan.hop.err_path);
    drain(room1);
    drain(room2);

    timespec due;
    clock_gettime(CLOCK_MONOTONIC, &due);
    for (int i = 0; i < SENT; i++) {
        ASSERT_TRUE(send_group(std::to_string(i)));
        due.tv_nsec += 2'000'000;
        if (due.tv_nsec >= 1'000'000'000) due.tv_sec++, due.tv_nsec -= 1'000'000'000;
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr) != 0) {
        }
    }
    got g1 = drain(room1), g2 = drain(room2);
    EXPECT_EQ(SENT, g1.count);
    EXPECT_GT(g1.overtaken, SENT / 10);
    EXPECT_TRUE(g1.strangers.empty() && g2.strangers.empty()) << g1.strangers.size();
    EXPECT_GT(g2.count, SENT * (1000 - 2 * LOSS) / 1000);
    EXPECT_LT(g2.count, SENT * (1000 - LOSS / 5) / 1000);
    printf("room 1: %d of %d, %d overtaken; room 2: %d\n", g1.count, SENT, g1.overtaken, g2.count);

    int asker = keep(netns_peer_socket(lan.rooms[0], AF_INET, SOCK_DGRAM));
    ASSERT_TRUE(bind_to(asker, radio_lan_room_addr(1).c_str(), 0));
    sockaddr_in to_server = addr_of(LAN_SERVER_ADDR, PORT);
    ASSERT_EQ(
        3, sendto(asker, "ask", 3, 0, reinterpret_cast<sockaddr *>(&to_server), sizeof to_server));
    sockaddr_in via{};
    ASSERT_EQ("ask", receive(server, 5000, &via));
    EXPECT_EQ("10.78.9.2", text_of(via).substr(0, text_of(via).find(':')));
    ASSERT_EQ(6, sendto(server, "answer", 6, 0, reinterpret_cast<sockaddr *>(&via), sizeof via));
    ASSERT_EQ("answer", receive(asker, 5000, &from));
    EXPECT_EQ(text_of(to_server), text_of(from));
}

// A program in a room with a clock of its own reads CLOCK_MONOTONIC that
// many seconds ahead of ours.
TEST_F(RadioLan, RoomsClockRunsAheadByItsOffset) {
    REQUIRE_PRIVATE_NETNS();
    ASSERT_EQ("", radio_lan_start(&lan, 1));
    std::vector<std::string> argv = radio_lan_room_prefix(lan, 1, 1000);
    for (const char *a : {"/usr/bin/python3", "-c", "import time; print(time.monotonic())"})
        argv.push_back(a);
    child_proc p;
    ASSERT_TRUE(proc_start(&p, argv, dir, "clock", false));
    int status = 0;
    ASSERT_TRUE(proc_wait(&p, 10000, &status)) << read_file(p.err_path);
    timespec ours;
    clock_gettime(CLOCK_MONOTONIC, &ours);
    double theirs = atof(read_file(p.out_path).c_str());
    EXPECT_NEAR(1000, theirs - (static_cast<double>(ours.tv_sec) + ours.tv_nsec / 1e9), 2)
        << read_file(p.err_path);
}

// A program under faketime_prefix("1.0001") reads a CLOCK_MONOTONIC that
// runs 100 ppm fast, and so waits on it (the probe waits as the server does)
// for deadlines that come 100 ppm early in real time.
TEST_F(RadioLan, FaketimeRunsAProgramsClock100PpmFast) {
    if (run_shell("command -v faketime >/dev/null") != 0) {
        if (running_in_ci()) FAIL() << "faketime is not installed";
        GTEST_SKIP() << "faketime is not installed";
    }
    std::vector<std::string> argv = faketime_prefix("1.0001");
    for (const char *a : {CLOCK_PROBE_PATH, "30", "100"}) argv.push_back(a);
    child_proc p;
    ASSERT_TRUE(proc_start(&p, argv, dir, "probe", false));
    int status = 0;
    ASSERT_TRUE(proc_wait(&p, 20000, &status)) << read_file(p.err_path);
    std::istringstream lines(read_file(p.out_path));
    long long k = 0, own = 0, real = 0, own1 = -1, real1 = -1;
    int wakes = 0;
    while (lines >> k >> own >> real) {
        if (own1 < 0) own1 = own, real1 = real;
        wakes++;
    }
    ASSERT_EQ(30, wakes) << read_file(p.err_path);
    double ppm = (static_cast<double>(own - own1) / static_cast<double>(real - real1) - 1) * 1e6;
    EXPECT_NEAR(100, ppm, 5);
    EXPECT_GE(own, 30 * 100'000'000LL);
    printf("the probe's clock ran %+.1f ppm against the host's\n", ppm);
}

}  // namespace
