// End-to-end tests of stream_server with real MP3 files, inside private
// network namespaces: against the project's client over a veth pair, and
// against a plain receiving socket over loopback.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio_support.h"
#include "e2e_support.h"

namespace {

// A folder of channels, made in the fixture's temporary directory.
class ServerE2e : public client_e2e_fixture {
protected:
    std::string mp3(const std::string &name, int rate, const std::string &effects,
                    const std::string &lame) {
        std::string path = made_mp3(TEST_AUDIO_DIR, name, rate, 2, effects, lame);
        EXPECT_NE("", path) << "could not make " << name << " with sox and lame";
        return path;
    }

    // Makes root/sub (and its parents) holding links to the given files.
    std::string channel(const std::string &sub, const std::vector<std::string> &files) {
        std::string d = dir + "/radio/" + sub;
        EXPECT_EQ(0, run_shell("mkdir -p '" + d + "'"));
        for (const auto &f : files) {
            std::string name = f.substr(f.rfind('/') + 1);
            EXPECT_EQ(0, symlink(f.c_str(), (d + "/" + name).c_str()));
        }
        return d;
    }

    // Waits until a socket joined here on the client's interface has taken n
    // data messages of channel id: the channel has been on the air a while.
    // The socket is closed again, so the port is free for a client.
    bool heard(int id, int n) {
        int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ip_mreqn mreq{};
        inet_pton(AF_INET, DEFAULT_MGROUP, &mreq.imr_multiaddr);
        mreq.imr_ifindex = static_cast<int>(if_nametoindex("enp0s3"));
        sockaddr_in here{};
        here.sin_family = AF_INET;
        here.sin_port = htons(DEFAULT_PORT);
        timeval tv{0, 200000};
        setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int seen = 0;
        if (setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) == 0 &&
            bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here) == 0) {
            uint8_t first = 0;
            wait_until(
                [&] {
                    if (recv(sd, &first, 1, MSG_TRUNC) > 0 && first == id) seen++;
                    return seen >= n;
                },
                WAIT_MS);
        }
        close(sd);
        return seen >= n;
    }

    child_proc *server(const std::vector<std::string> &args,
                       const std::vector<std::string> &prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(STREAM_SERVER_PATH);
        argv.insert(argv.end(), args.begin(), args.end());
        return start(argv, "server" + std::to_string(procs.size()), false);
    }
};

// mpg123's samples of the bytes, through a file in dir.
std::string decode(const std::string &dir, const std::string &name, const std::string &bytes) {
    std::string path = dir + "/" + name + ".mp3";
    EXPECT_TRUE(write_file(path, bytes));
    return decoded_samples(path);
}

// Two channels, the server on another host with its defaults, the client
// here choosing channel 2 a while after the server started. What the
// client relays is a run of whole frames of channel 2's files in playing
// order (so nothing of channel 1, no tag or header frame, no datagram lost),
// and it decodes, from its fourth frame on, to the same samples as those
// frames decoded after the frames that precede them in the programme. (The
// first frame's data may begin in an earlier frame, its bit reservoir; the
// next two still carry the overlap of the transform and the history of
// the synthesis filter from the frames before, which mpg123 has not seen.)
TEST_F(ServerE2e, LateListenerGetsARunOfWholeFramesOfItsChannelThatDecodesCleanly) {
    REQUIRE_PRIVATE_NETNS();
    std::vector<std::string> two = {
        mp3("e2e_b1", 44100, "synth 1.5 pluck A3 pluck E4", "-b 128 --add-id3v2 --tt b1"),
        mp3("e2e_b2", 44100, "synth 1.5 pluck C4 pluck G4", "-V 4")};
    channel("1-one", {mp3("e2e_a", 44100, "synth 2 sine 330", "-b 96")});
    std::string d2 = channel("02-two", two);
    ASSERT_TRUE(write_file(d2 + "/desc.txt", "channel two\n"));
    ASSERT_EQ("", netns_peer_start(&peer, "enp0s3", "10.201.8.1/24", "veth0", "10.201.8.2/24"));
    child_proc *s = server({dir + "/radio"}, netns_peer_prefix(peer));
    ASSERT_TRUE(heard(2, 16)) << err(s);  // the listener comes in while channel 2 plays

    std::string played = dir + "/played.mp3";
    child_proc *c = client({"-p", "cat > " + played});
    ASSERT_TRUE(file_is(c->out_path, "channel:11-one\nchannel:2channel two\n")) << err(c) << err(s);
    ASSERT_TRUE(proc_send(c, "2\n"));
    ASSERT_TRUE(wait_until([&] { return read_file(played).size() >= 45000; }, 20000)) << err(s);
    proc_kill(c);
    std::string got;
    ASSERT_TRUE(wait_until(
        [&] {
            std::string before = got;
            usleep(100 * 1000);
            got = read_file(played);
            return got == before;
        },
        WAIT_MS));

    std::vector<std::string> prog = programme(two);
    size_t count = 0;
    long first = find_run(got, prog, &count);
    ASSERT_GE(first, 0) << "the relayed bytes are no run of whole frames of channel 2";
    std::string context;
    size_t from = static_cast<size_t>(first) + prog.size() * 2 - 10;
    for (size_t i = 0; i < count + 10; i++) context += prog[(from + i) % prog.size()];
    std::string alone = decode(dir, "alone", got);
    std::string in_context = decode(dir, "context", context);
    ASSERT_GT(count, 3u);
    size_t tail = (count - 3) * 1152 * 2 * 2;
    ASSERT_GE(alone.size(), tail);
    ASSERT_GE(in_context.size(), tail);
    EXPECT_TRUE(
        alone.compare(alone.size() - tail, tail, in_context, in_context.size() - tail, tail) == 0)
        << "the decode differs after the first three frames";
}

// A receiving socket here sees the list every interval, from the one source
// port, and data of whole frames paced at the rate they play; a file that
// vanishes is reported and its channel goes on; SIGTERM ends the server
// with status 0 and a summary of what the socket received.
TEST_F(ServerE2e, ListEveryIntervalPacedFramesAndSummaryOnSigterm) {
    REQUIRE_PRIVATE_NETNS();
    channel("1-one", {mp3("e2e_a", 44100, "synth 2 sine 330", "-b 96")});
    std::string d2 = channel(
        "2-two", {mp3("e2e_b1", 44100, "synth 1.5 pluck A3 pluck E4", "-b 128 --add-id3v2 --tt b1"),
                  mp3("e2e_b2", 44100, "synth 1.5 pluck C4 pluck G4", "-V 4")});
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sd, 0);
    ip_mreqn mreq{};
    inet_pton(AF_INET, DEFAULT_MGROUP, &mreq.imr_multiaddr);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(DEFAULT_PORT);
    ASSERT_EQ(0, setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq));
    ASSERT_EQ(0, bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here));
    timeval tv{0, 200000};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

    child_proc *s = server({"-L", "200", "--source-port=1990", "-B", "900", dir + "/radio"});
    std::vector<double> lists;
    std::map<int, long long> bytes;
    std::map<int, double> audio_s;
    double start = -1;
    std::vector<uint8_t> buf(MSG_MAX_SIZE);
    // Takes one datagram; false when none came.
    auto take = [&](int flags, double *now) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n =
            recvfrom(sd, buf.data(), buf.size(), flags, reinterpret_cast<sockaddr *>(&from), &flen);
        timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        *now = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
        if (n <= 0) return false;
        if (start < 0) {
            start = *now;
            EXPECT_EQ(0, unlink((d2 + "/e2e_b2.mp3").c_str()));  // it plays after e2e_b1
        }
        EXPECT_EQ(1990, ntohs(from.sin_port));
        if (buf[0] == CHNID_LIST) {
            lists.push_back(*now);
            return true;
        }
        std::string payload(reinterpret_cast<char *>(buf.data()) + 1, static_cast<size_t>(n) - 1);
        std::vector<found_frame> frames = frames_of(payload);
        EXPECT_FALSE(frames.empty());
        EXPECT_EQ(payload, cut_frames(payload, frames)) << "a payload of whole frames";
        EXPECT_LE(payload.size(), 900u);
        bytes[buf[0]] += static_cast<long long>(payload.size());
        if (*now - start <= 3.5)
            for (const auto &f : frames)
                audio_s[buf[0]] += static_cast<double>(mp3_frame_ns(f.h)) / 1e9;
        return true;
    };
    for (double now = 0; start < 0 || now - start < 3.5;) take(0, &now);

    ASSERT_GE(lists.size(), 8u);
    double mean_gap = (lists.back() - lists.front()) / static_cast<double>(lists.size() - 1);
    EXPECT_GT(mean_gap, 0.15);
    EXPECT_LT(mean_gap, 0.3);
    // Paced, not sent as fast as the files can be read: over 3.5 s of
    // listening each channel sends about 3.5 s of audio (plus its lead).
    for (int ch : {1, 2}) {
        EXPECT_GT(audio_s[ch], 2.5) << ch;
        EXPECT_LT(audio_s[ch], 3.9) << ch;
    }
    EXPECT_NE(
        std::string::npos,
        err(s).find("2-two/e2e_b2.mp3: No such file or directory; going on with the next file\n"))
        << err(s);

    kill(s->pid, SIGTERM);
    EXPECT_EQ(0, finish(s, 1000));
    for (double now; take(MSG_DONTWAIT, &now);) {
    }
    close(sd);
    std::regex want("stream_server: stopped; channel 1: [0-9]+ files played, " +
                    std::to_string(bytes[1]) + " bytes sent; channel 2: [0-9]+ files played, " +
                    std::to_string(bytes[2]) + " bytes sent\n$");
    EXPECT_TRUE(std::regex_search(err(s), want)) << err(s);
}

// A folder the server cannot serve ends it with status 1 and the reason,
// named as the server's.
TEST_F(ServerE2e, RefusedFolderEndsItWithTheReason) {
    REQUIRE_PRIVATE_NETNS();
    child_proc *s = server({"--once", "-S", "1990", dir + "/none"});
    EXPECT_EQ(1, finish(s, 10000));
    EXPECT_EQ("stream_server: " + dir + "/none: No such file or directory\n", err(s));
}

}  // namespace
