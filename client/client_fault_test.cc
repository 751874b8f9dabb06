// Fault and load tests of the client: floods of foreign and malformed
// datagrams, players that go away or cannot be run, and a player that reads
// slowly. Each runs inside a private network namespace, and every loop is
// bounded in count and time.
//
// What a sound relay obeys whatever the kernel drops when the socket buffer
// overflows: the player's input is whole payloads of the chosen channel from
// the server, each at most once and in the order sent; the client prints
// one acceptance line per payload relayed; and every payload missing from the
// player's input is matched by a drop that the kernel counted on the
// client's socket.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e_support.h"

namespace {

// The sanitizers slow the client down several times; the load shrinks to match.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int LOAD_DIVISOR = 2;
#else
constexpr int LOAD_DIVISOR = 1;
#endif

constexpr int PORT = DEFAULT_PORT;
constexpr int CHANNEL = 5;
constexpr size_t MAX_DATAGRAM = MSG_MAX_DATAGRAM;

// A sender waits while the client's socket holds more than this. The kernel
// drops a datagram only when the socket already holds more than its receive
// buffer (208 KiB unless the system is tuned), so pacing keeps drops rare.
constexpr long QUEUE_LIMIT = 128 * 1024;

// --- Self-describing payloads -------------------------------------------
//
// A record: 4 bytes of magic, sequence number and body length (32-bit,
// big-endian), then a body derived from the sequence number. Records that
// must never reach the player carry the magic "JUNK" instead of "REC1".

constexpr size_t RECORD_HEAD = 12;
constexpr size_t MAX_BODY = MAX_DATAGRAM - 1 - RECORD_HEAD;

void put32(std::string *s, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *s += static_cast<char>(v >> shift & 0xFF);
}

uint32_t get32(const std::string &s, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; i++) v = v << 8 | static_cast<uint8_t>(s[at + i]);
    return v;
}

std::string record(const char *magic, uint32_t seq, size_t body_len) {
    std::string r(magic, 4);
    put32(&r, seq);
    put32(&r, static_cast<uint32_t>(body_len));
    r += pattern_bytes(body_len, seq * 2654435761u + 12345);
    return r;
}

// Body sizes from empty to the largest a datagram holds, most of them small.
size_t body_size(uint32_t seq) {
    if (seq % 64 == 15) return MAX_BODY;
    switch (seq % 8) {
    case 0:
    case 1:
    case 2:
        return seq % 17;
    case 3:
    case 4:
        return 100 + seq * 37 % 1400;
    case 5:
    case 6:
        return 1500 + seq * 7919 % 18500;
    default:
        return 20000 + seq * 104729 % (MAX_BODY - 20000);
    }
}

std::string text_of(const bytes &b) {
    return std::string(b.begin(), b.end());
}

std::string datagram(int chnid, const std::string &payload) {
    return static_cast<char>(chnid) + payload;
}

// Splits what the player got into records. Fails, saying where, unless it is
// whole records, each byte for byte as sent, in increasing sequence.
::testing::AssertionResult split_records(const std::string &got, std::vector<uint32_t> *seqs) {
    seqs->clear();
    size_t at = 0;
    while (at < got.size()) {
        if (got.size() - at < RECORD_HEAD || got.compare(at, 4, "REC1") != 0)
            return ::testing::AssertionFailure() << "no record header at byte " << at;
        uint32_t seq = get32(got, at + 4);
        size_t len = get32(got, at + 8);
        if (len > MAX_BODY || got.size() - at - RECORD_HEAD < len)
            return ::testing::AssertionFailure() << "record " << seq << " cut at byte " << at;
        if (got.compare(at, RECORD_HEAD + len, record("REC1", seq, len)) != 0)
            return ::testing::AssertionFailure() << "record " << seq << " corrupt at byte " << at;
        if (!seqs->empty() && seq <= seqs->back())
            return ::testing::AssertionFailure()
                   << "record " << seq << " after record " << seqs->back() << " at byte " << at;
        seqs->push_back(seq);
        at += RECORD_HEAD + len;
    }
    return ::testing::AssertionSuccess();
}

// --- The client's socket and process as the kernel shows them -----------

// The bytes queued on the UDP socket bound to port and the datagrams the
// kernel dropped on it; -1 for both when there is none.
struct socket_state {
    long queued = -1;
    long drops = -1;
};

socket_state udp_socket_state(int port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        std::istringstream f(line);
        std::string sl, local, rem, st, queues, timer, retr, uid, timeout, inode, ref, ptr;
        long drops = -1;
        f >> sl >> local >> rem >> st >> queues >> timer >> retr >> uid >> timeout >> inode >>
            ref >> ptr >> drops;
        size_t colon = local.find(':');
        size_t qcolon = queues.find(':');
        if (colon == std::string::npos || qcolon == std::string::npos) continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) != port) continue;
        return {std::stol(queues.substr(qcolon + 1), nullptr, 16), drops};
    }
    return {};
}

// The client waits for room in the full pipe to the player.
bool blocked_on_pipe(pid_t pid) {
    return blocked_in(pid, SYS_poll) || blocked_in(pid, SYS_ppoll);
}

// Blocked in any of the calls that receive a datagram.
bool blocked_receiving(pid_t pid) {
    return blocked_in(pid, SYS_recvfrom) || blocked_in(pid, SYS_recvmsg) ||
           blocked_in(pid, SYS_recvmmsg);
}

// Waits until the client has taken every queued datagram and waits for the
// next; its output is flushed by then. On failure says what it saw.
::testing::AssertionResult client_idle(pid_t pid, int port) {
    if (wait_until([&] { return udp_socket_state(port).queued == 0 && blocked_receiving(pid); },
                   WAIT_MS))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "after " << WAIT_MS << " ms the client's socket holds "
           << udp_socket_state(port).queued << " bytes and the client is in system call "
           << blocked_call(pid);
}

// The bytes in the pipe that is pid's standard input (-1: cannot be seen).
long bytes_in_pipe(pid_t pid) {
    int fd = open(("/proc/" + std::to_string(pid) + "/fd/0").c_str(), O_RDONLY | O_NONBLOCK);
    int n = -1;
    if (fd >= 0 && ioctl(fd, FIONREAD, &n) < 0) n = -1;
    if (fd >= 0) close(fd);
    return n;
}

struct memory_use {
    long rss_kb = -1;
    long hwm_kb = -1;  // peak resident size
    int fds = -1;
};

memory_use memory_of(pid_t pid) {
    memory_use m;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value;
    while (in >> key) {
        if (key == "VmRSS:" && in >> value) m.rss_kb = value;
        if (key == "VmHWM:" && in >> value) m.hwm_kb = value;
    }
    m.fds = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return m;
    while (readdir(d)) m.fds++;
    closedir(d);
    return m;
}

class ClientFault : public client_e2e_fixture {
protected:
    // Sends one datagram once the client's socket has room; false when it
    // did not get room in time or the send failed.
    bool send_paced(int sd, const std::string &d, int port = PORT) {
        return wait_until([&] { return udp_socket_state(port).queued <= QUEUE_LIMIT; }, WAIT_MS) &&
               send_now(sd, d, port);
    }

    // Starts the client with the player command, lets it take the list
    // from server and chooses CHANNEL. Fails the test when it cannot.
    child_proc *client_on_channel(const std::string &player, int server, int port = PORT) {
        child_proc *c = client({"-P", std::to_string(port), "-p", player});
        EXPECT_TRUE(wait_until([&] { return port_bound(port); }, WAIT_MS));
        bytes list = list_of({entry(CHANNEL, "five\n"), entry(CHANNEL + 1, "six\n")});
        EXPECT_TRUE(send_paced(server, text_of(list), port));
        EXPECT_TRUE(file_is(c->out_path, LIST_TEXT)) << out(c);
        EXPECT_TRUE(proc_send(c, std::to_string(CHANNEL) + "\n"));
        return c;
    }

    static constexpr const char *LIST_TEXT = "channel:5five\nchannel:6six\n";
    static constexpr const char *ACCEPT = "Accept massage:5 recived.\n";
};

TEST_F(ClientFault, FloodOfForeignAndMalformedDatagramsLeavesTheRelayWholeAndInOrder) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    int other_port = source("127.0.0.1", 40002);
    int other_addr = source("127.0.0.2", 40001);
    int stranger = source("127.0.0.3", 40003);
    ASSERT_TRUE(server >= 0 && other_port >= 0 && other_addr >= 0 && stranger >= 0);
    std::string player_out = dir + "/player";
    child_proc *c = client_on_channel("cat > " + player_out, server);
    ASSERT_FALSE(HasFailure());

    const std::string junk = record("JUNK", 7, 40);
    const std::string list = text_of(list_of({entry(CHANNEL, "five")}));
    const std::string r1 = "raddr:" + addr_int("127.0.0.1") + "\n";
    const std::string r2 = "raddr:" + addr_int("127.0.0.2") + "\n";
    const std::string r3 = "raddr:" + addr_int("127.0.0.3") + "\n";
    const std::string addr2 = "Ignore:addr not match. raddr:127.0.0.2 server_addr:127.0.0.1.\n";
    const std::string addr3 = "Ignore:addr not match. raddr:127.0.0.3 server_addr:127.0.0.1.\n";
    const std::string port_no = "Ignore:port not match.\n";
    const std::string short_no = "Ignore:massage too short.\n";
    struct junk_row {
        int sd;
        std::string datagram;
        std::string report;  // what the client prints for it on stderr
    };
    const junk_row junk_rows[] = {
        {other_addr, datagram(CHANNEL, junk), r2 + addr2},
        {other_port, datagram(CHANNEL, junk), r1 + port_no},
        {stranger, datagram(CHANNEL, junk), r3 + addr3},
        {stranger, list, r3 + addr3},
        {server, "", r1 + short_no},
        {server, datagram(CHANNEL, ""), r1 + short_no},
        {server, datagram(0, ""), r1 + short_no},
        {server, datagram(CHANNEL + 1, junk), r1},
        {server, list, r1},
        {server, datagram(0, std::string("\5\0\0x\0", 5)), r1},  // entry of len 0
        {server, datagram(255, pattern_bytes(MAX_DATAGRAM - 1, 3)), r1},
        {other_addr, datagram(CHANNEL, record("JUNK", 8, MAX_BODY)), r2 + addr2},
        {server, datagram(CHANNEL - 1, junk), r1},
        {other_port, datagram(CHANNEL, ""), r1 + port_no},  // port before size
        {other_addr, "", r2 + addr2},                       // address before size
    };
    constexpr size_t JUNK_ROWS = std::size(junk_rows);
    constexpr size_t JUNK_PER_ROUND = 4;
    const uint32_t rounds = 600 / LOAD_DIVISOR;
    const uint32_t early_round = 2 * JUNK_ROWS;  // every row has been sent by then
    // The last rounds go out as fast as they can, past what the socket holds.
    const uint32_t paced_rounds = rounds - rounds / 10;

    // Each round: one record of the chosen channel from the server, at a
    // changing place among four junk datagrams.
    std::string want_err = "server_addr:" + addr_int("127.0.0.1") + "\n";
    std::string paced_err;
    long paced_drops = -1;
    long sent = 0;
    memory_use early;
    for (uint32_t round = 0; round < rounds; round++) {
        size_t next_junk = round * JUNK_PER_ROUND;
        for (size_t slot = 0; slot <= JUNK_PER_ROUND; slot++) {
            int sd = server;
            std::string d;
            if (slot == round % (JUNK_PER_ROUND + 1)) {
                d = datagram(CHANNEL, record("REC1", round, body_size(round)));
                want_err += r1;
            } else {
                const junk_row &j = junk_rows[next_junk++ % JUNK_ROWS];
                sd = j.sd;
                d = j.datagram;
                want_err += j.report;
            }
            ASSERT_TRUE(round < paced_rounds ? send_paced(sd, d) : send_now(sd, d))
                << "round " << round;
            sent++;
        }
        if (round == early_round) {
            ASSERT_TRUE(client_idle(c->pid, PORT));
            early = memory_of(c->pid);
        }
        if (round + 1 == paced_rounds) {
            ASSERT_TRUE(client_idle(c->pid, PORT));
            paced_err = want_err;
            paced_drops = udp_socket_state(PORT).drops;
        }
    }
    ASSERT_TRUE(client_idle(c->pid, PORT)) << "the client stopped taking datagrams";
    memory_use late = memory_of(c->pid);
    long drops = udp_socket_state(PORT).drops;
    ASSERT_GE(drops, 0);
    EXPECT_EQ(-2, finish(c, 0)) << "the client must keep running";

    // Every datagram was either taken and reported or dropped by the kernel.
    std::string e = err(c);
    EXPECT_EQ(sent, static_cast<long>(count_of(e, "\nraddr:")) + drops);
    EXPECT_EQ(0, paced_drops) << "the kernel dropped datagrams although the sender paced itself";
    if (paced_drops == 0) {
        EXPECT_TRUE(e.compare(0, paced_err.size(), paced_err) == 0)
            << "reports differ from the datagrams sent";
    }
    if (drops == 0) {
        EXPECT_TRUE(e == want_err) << "reports differ from the datagrams sent";
    }

    std::string o = out(c);
    size_t accepted = count_of(o, ACCEPT);
    std::string want_out = LIST_TEXT;
    for (size_t i = 0; i < accepted; i++) want_out += ACCEPT;
    EXPECT_EQ(want_out, o);

    std::vector<uint32_t> seqs;
    EXPECT_TRUE(wait_until(
        [&] { return split_records(read_file(player_out), &seqs) && seqs.size() >= accepted; },
        WAIT_MS));
    EXPECT_TRUE(split_records(read_file(player_out), &seqs));
    EXPECT_EQ(accepted, seqs.size());
    EXPECT_LE(static_cast<long>(rounds - seqs.size()), drops) << "records lost by the client";
    if (!seqs.empty()) {
        EXPECT_LT(seqs.back(), rounds);
    }

    // No memory or descriptors kept per datagram. The margin is generous, yet
    // a leak of a kilobyte per datagram would exceed it.
    EXPECT_LE(late.hwm_kb, early.hwm_kb + 2048) << "peak resident size grew";
    EXPECT_LE(late.rss_kb, early.rss_kb + 2048) << "resident size grew";
    EXPECT_EQ(early.fds, late.fds);
    RecordProperty("datagrams", static_cast<int>(sent));
    RecordProperty("kernel_drops", static_cast<int>(drops));
}

// A player that waits (at most ten seconds) for the file go in the test
// directory before it runs command.
std::string gated(const std::string &dir, const std::string &command) {
    return "i=0; while [ ! -e '" + dir + "/go' ] && [ $i -lt 1000 ]; do sleep 0.01; i=$((i+1)); " +
           "done; " + command;
}

// A player that ends, or never runs, ends the client with "write(): Broken
// pipe" and status 1: at the next datagram it accepts, or at once when the
// client was blocked writing to the player then. Datagrams it does not
// accept leave it running. A player that ends but leaves a process holding
// its pipe unread ends the client once nothing has been read for 10 s. No
// live process of the player's group is left, even one that ignores SIGTERM.
TEST_F(ClientFault, PlayerThatEndsOrCannotRunEndsTheClientAndLeavesNothingBehind) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    struct row {
        const char *name;
        std::string player;      // "@" stands for the test directory
        size_t before;           // bytes of the channel sent before the player ends
        size_t player_takes;     // bytes the player passes on before it ends
        bool blocked;            // the client is blocked on the full pipe when it ends
        const char *shell_says;  // in the shell's report on stderr, if any
        const char *last = "write(): Broken pipe\n";  // the client's last line
    };
    // A shell's background job reads /dev/null unless it is given the input.
    const std::string holder = "exec 3<&0; sleep 1000 <&3 & exit 0";
    const char *held = "player ended; its pipe is held open but not read\n";
    const row rows[] = {
        {"exits at once", "true", 0, 0, false, nullptr},
        {"cannot be run", "/nonexistent/player", 0, 0, false, "/nonexistent/player"},
        {"exits mid-stream", "@gated head -c 5000 > @/got", 9000, 5000, false, nullptr},
        {"exits while the client is blocked", "@gated head -c 10 > @/got", 100000, 10, true,
         nullptr},
        {"leaves its pipe held", holder, 100000, 0, true, nullptr, held},
        {"leaves its pipe held, ignoring SIGTERM", "trap '' TERM; " + holder, 100000, 0, true,
         nullptr, held},
    };
    const size_t chunk = 3000;
    int port = 4000;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        port++;
        std::string player = r.player;
        if (player.rfind("@gated ", 0) == 0) player = gated(dir, player.substr(7));
        for (size_t at; (at = player.find('@')) != std::string::npos;) player.replace(at, 1, dir);
        remove((dir + "/go").c_str());
        remove((dir + "/got").c_str());
        child_proc *c = client_on_channel(player, server, port);
        ASSERT_FALSE(HasFailure());
        pid_t player_pid = child_of(c->pid);
        ASSERT_GT(player_pid, 0);

        const std::string stream = pattern_bytes(r.before + chunk, port);
        size_t chunks = 0;
        for (size_t at = 0; at < r.before; at += chunk, chunks++)
            ASSERT_TRUE(send_paced(server, datagram(CHANNEL, stream.substr(at, chunk)), port));
        if (r.blocked) {
            ASSERT_TRUE(
                wait_until([&] { return blocked_on_pipe(c->pid) || proc_gone(c->pid); }, WAIT_MS))
                << blocked_call(c->pid);
        } else {
            ASSERT_TRUE(client_idle(c->pid, port));
        }
        ASSERT_TRUE(write_file(dir + "/go", ""));
        ASSERT_TRUE(wait_until([&] { return proc_gone(player_pid); }, WAIT_MS));

        if (!r.blocked) {
            ASSERT_TRUE(send_paced(server, datagram(CHANNEL + 1, "other channel"), port));
            ASSERT_TRUE(client_idle(c->pid, port));
            EXPECT_EQ(-2, finish(c, 0)) << "ended before a datagram was accepted";
            ASSERT_TRUE(send_paced(server, datagram(CHANNEL, stream.substr(r.before)), port));
            chunks++;
        }
        EXPECT_EQ(1, finish(c)) << "-1: ended by a signal, -2: still running";
        EXPECT_TRUE(ends_with(err(c), r.last)) << err(c);
        size_t accepted = count_of(out(c), ACCEPT);
        if (r.blocked) {
            EXPECT_GE(accepted, 1u);
            EXPECT_LE(accepted, chunks);
        } else {
            EXPECT_EQ(chunks, accepted);
        }
        EXPECT_EQ(LIST_TEXT, out(c).substr(0, out(c).size() - accepted * strlen(ACCEPT)));
        if (r.shell_says) {
            EXPECT_NE(std::string::npos, err(c).find(r.shell_says)) << err(c);
        }
        if (r.player_takes > 0) {
            EXPECT_EQ(stream.substr(0, r.player_takes), read_file(dir + "/got"));
        }
        EXPECT_TRUE(wait_until([&] { return live_in_group(player_pid).empty(); }, WAIT_MS))
            << live_in_group(player_pid).size() << " processes of the player's group are left";
    }
}

// A player that puts itself in the background and reads its input from
// there has ended, but its pipe is still read: it is fed as before, also
// when it takes 64 KiB only every 5 s, so that the client waits on the full
// pipe for seconds each time.
TEST_F(ClientFault, PlayerThatLeftAReaderBehindIsFedAsBefore) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    // slow_player's BLOCK and PAUSE_MS, and records of 5000 bytes through a pipe of 64 KiB.
    const std::pair<const char *, uint32_t> rows[] = {{"4096 2", 60}, {"65536 5000", 30}};
    int port = PORT;
    for (const auto &[reads, records] : rows) {
        SCOPED_TRACE(reads);
        std::string got = dir + "/got" + std::to_string(++port);
        child_proc *c = client_on_channel(std::string("exec 3<&0; '") + SLOW_PLAYER_PATH + "' " +
                                              reads + " <&3 > '" + got + "' & exit 0",
                                          server, port);
        ASSERT_FALSE(HasFailure());
        pid_t player = child_of(c->pid);
        ASSERT_TRUE(wait_until([&] { return proc_gone(player); }, WAIT_MS));
        std::string want;
        for (uint32_t seq = 0; seq < records; seq++) {
            std::string rec = record("REC1", seq, 5000);
            ASSERT_TRUE(send_paced(server, datagram(CHANNEL, rec), port)) << "record " << seq;
            want += rec;
        }
        EXPECT_TRUE(file_is(got, want));
        EXPECT_EQ(-2, finish(c, 0)) << "the client must keep running";
        proc_kill(c);
    }
}

// While the player reads nothing, the client blocks on the full pipe and
// takes no more datagrams, which wait in the socket; when the player reads,
// slowly, the client catches up, and the player gets every byte in order.
TEST_F(ClientFault, SlowPlayerHoldsTheClientOnThePipeAndGetsEveryByteInOrder) {
    REQUIRE_PRIVATE_NETNS();
    int server = source("127.0.0.1", 40001);
    ASSERT_GE(server, 0);
    std::string got = dir + "/got";
    // At most 4 KiB every 2 ms once dir/go exists: a few MB/s at best.
    child_proc *c = client_on_channel(
        std::string("'") + SLOW_PLAYER_PATH + "' 4096 2 '" + dir + "/go' > '" + got + "'", server);
    ASSERT_FALSE(HasFailure());

    // The client meets more than the pipe holds in one batch: it is stopped
    // while 14 records of 5 KB (70 KB; the pipe holds 64 KiB) queue up.
    ASSERT_TRUE(client_idle(c->pid, PORT));
    ASSERT_EQ(0, kill(c->pid, SIGSTOP));
    std::string want;
    uint32_t seq = 0;
    for (; seq < 14; seq++) {
        std::string rec = record("REC1", seq, 5000);
        ASSERT_TRUE(send_now(server, datagram(CHANNEL, rec)));
        want += rec;
    }
    ASSERT_EQ(0, kill(c->pid, SIGCONT));
    ASSERT_TRUE(wait_until([&] { return blocked_on_pipe(c->pid); }, WAIT_MS))
        << "the pipe never filled: the client is in system call " << blocked_call(c->pid);
    // While it waits for room, the lines of every record wholly in the pipe
    // are out: held back, they would wait as long as the player does.
    long in_pipe = bytes_in_pipe(child_of(c->pid));
    size_t whole = static_cast<size_t>(in_pipe) / (RECORD_HEAD + 5000);
    ASSERT_GT(whole, 1u) << in_pipe << " bytes in the pipe";
    std::string want_out = LIST_TEXT;
    for (size_t i = 0; i < whole; i++) want_out += ACCEPT;
    EXPECT_TRUE(file_is(c->out_path, want_out));
    // What comes now waits in the socket: the client takes nothing while blocked.
    for (uint32_t held = seq + 3; seq < held; seq++) {
        std::string rec = record("REC1", seq, 5000);
        ASSERT_TRUE(send_paced(server, datagram(CHANNEL, rec)));
        want += rec;
    }
    usleep(300 * 1000);
    EXPECT_TRUE(blocked_on_pipe(c->pid)) << blocked_call(c->pid);
    EXPECT_GT(udp_socket_state(PORT).queued, 0) << "the client took datagrams while blocked";
    EXPECT_EQ(whole, count_of(out(c), ACCEPT));
    EXPECT_EQ("", read_file(got));

    ASSERT_TRUE(write_file(dir + "/go", ""));
    const uint32_t total = seq + 400 / LOAD_DIVISOR;
    for (; seq < total; seq++) {
        std::string rec = record("REC1", seq, body_size(seq) % 16000);
        ASSERT_TRUE(send_paced(server, datagram(CHANNEL, rec))) << "record " << seq;
        want += rec;
    }
    ASSERT_TRUE(wait_until([&] { return read_file(got).size() >= want.size(); }, 2 * WAIT_MS))
        << read_file(got).size() << " of " << want.size() << " bytes";
    ASSERT_TRUE(client_idle(c->pid, PORT));
    EXPECT_TRUE(read_file(got) == want) << "the player's input differs from the records sent";
    std::vector<uint32_t> seqs;
    EXPECT_TRUE(split_records(read_file(got), &seqs));
    EXPECT_EQ(0, udp_socket_state(PORT).drops);
    EXPECT_EQ(total, count_of(out(c), ACCEPT));
    EXPECT_EQ(-2, finish(c, 0));
}

}  // namespace
