// server_bench.cc - stream_server on a busy radio: 32 channels of 128
// kbit/s MP3 on one group, a client relaying channel 1 with the system's
// default receive buffer, and a receiving socket that stamps every datagram.
//
// The harness moves itself into a private network namespace first, where
// the server and the socket live; the client runs in a second one joined
// to it by a veth pair. Nothing leaves the two. It reports:
//   - whether the client lost a datagram: what it relayed over the run must
//     be one unbroken run of whole frames of channel 1's programme;
//   - the server's CPU time (/proc/PID/schedstat) over the run, as a share
//     of one core;
//   - pacing per channel, from the arrival stamps: over every window of at
//     least 1 s between two arrivals t_i < t_j, the audio of the datagrams
//     after t_i up to t_j minus (t_j - t_i) (target: at most 50 ms); over
//     windows of at least 10 s the same difference in both directions
//     (target: within 100 ms); and how the sends interleave (the most data
//     datagrams of all channels within any 2 ms).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "audio_support.h"
#include "defaults.h"
#include "netns.h"
#include "proc.h"
#include "proto.h"
#include "radio.h"

namespace {

constexpr int CHANNELS = RADIO_CHANNELS;

struct arrival {
    double t;
    double audio_s;
};

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double cpu_s(pid_t pid) {
    FILE *f = fopen(("/proc/" + std::to_string(pid) + "/schedstat").c_str(), "re");
    if (!f) return -1;
    unsigned long long ns = 0;
    int got = fscanf(f, "%llu", &ns);
    fclose(f);
    return got == 1 ? static_cast<double>(ns) / 1e9 : -1;
}

// Receives every datagram of the group until stop, stamping data by
// channel with the kernel's receive time (SO_TIMESTAMPNS: over loopback,
// the moment the server sent it), so that the observer's own scheduling
// does not show in the figures.
void observe(int sd, const std::atomic<bool> *stop, std::map<int, std::vector<arrival>> *by_channel,
             long *lists) {
    std::vector<uint8_t> buf(MSG_MAX_SIZE);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    while (!stop->load()) {
        iovec iov{buf.data(), buf.size()};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sd, &msg, 0);
        if (n <= 0) continue;
        double t = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof ts);
                t = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
            }
        }
        if (t < 0) continue;
        if (buf[0] == CHNID_LIST) {
            (*lists)++;
            continue;
        }
        std::string payload(reinterpret_cast<char *>(buf.data()) + 1, static_cast<size_t>(n) - 1);
        double audio = 0;
        for (const auto &f : frames_of(payload))
            audio += static_cast<double>(mp3_frame_ns(f.h)) / 1e9;
        (*by_channel)[buf[0]].push_back({t, audio});
    }
}

// Largest audio-minus-time over windows (t_i, t_j] of at least min_s; with
// ahead false, the largest time-minus-audio instead.
double worst_window(const std::vector<arrival> &a, double min_s, bool ahead) {
    double worst = -1e9;
    std::vector<double> cum(a.size() + 1, 0);
    for (size_t i = 0; i < a.size(); i++) cum[i + 1] = cum[i] + a[i].audio_s;
    for (size_t i = 0; i < a.size(); i++) {
        for (size_t j = i + 1; j < a.size(); j++) {
            double span = a[j].t - a[i].t;
            if (span < min_s) continue;
            double audio = cum[j + 1] - cum[i + 1];
            worst = std::max(worst, ahead ? audio - span : span - audio);
        }
    }
    return worst;
}

}  // namespace

int main(int argc, char **argv) {
    // server_bench [SECONDS [SERVER]]: the run's length (30) and another
    // build of the server to measure, for comparing variants.
    double run_s = argc > 1 ? atof(argv[1]) : 30;
    std::string server_path = argc > 2 ? argv[2] : BENCH_SERVER;
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "server_bench: no private network namespace: %s\n", why.c_str());
        return 1;
    }
    std::string dir = make_temp_dir();
    std::vector<std::string> songs = radio_pieces(BENCH_AUDIO_DIR);
    if (songs.empty()) {
        fprintf(stderr, "server_bench: cannot make the music with sox and lame\n");
        return 1;
    }
    std::vector<std::string> song_of;
    for (int c = 1; c <= CHANNELS; c++) song_of.push_back(radio_piece_of(songs, c));
    std::string radio = radio_folder(dir, song_of);
    if (radio.empty()) return 1;

    // The client is a second host, behind a veth pair, so that it and the
    // observer can both bind port 1989; the server, beside the observer,
    // sends from port 1995 (1990 is where it says what plays, 1991 where
    // its repair goes).
    // (Made before the observer joins, so that it joins where the route
    // to the group now leads.)
    netns_peer peer;
    why = netns_peer_start(&peer, "veth-radio", "10.201.9.1/24", "enp0s3", "10.201.9.2/24");
    if (!why.empty()) {
        fprintf(stderr, "server_bench: %s\n", why.c_str());
        return 1;
    }
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ip_mreqn mreq{};
    inet_pton(AF_INET, DEFAULT_MGROUP, &mreq.imr_multiaddr);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(DEFAULT_PORT);
    int big = 8 << 20;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    int on = 1;
    setsockopt(sd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    timeval tv{0, 100000};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0 ||
        bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0) {
        perror("observer socket");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::map<int, std::vector<arrival>> by_channel;
    long lists = 0;
    std::thread obs(observe, sd, &stop, &by_channel, &lists);

    child_proc server, client;
    std::string relayed = dir + "/relayed.mp3";
    std::vector<std::string> client_argv = netns_peer_prefix(peer);
    client_argv.insert(client_argv.end(), {BENCH_CLIENT, "-p", "cat > " + relayed});
    if (!proc_start(&server, {server_path, "-S", "1995", radio}, dir, "server", false) ||
        !proc_start(&client, client_argv, dir, "client", true))
        return 1;
    bool listed = wait_until(
        [&] { return read_file(client.out_path).find("channel:32") != std::string::npos; }, 10000);
    proc_send(&client, "1\n");
    fprintf(stderr, "server_bench: server pid %d\n", server.pid);
    usleep(2000 * 1000);  // past the start-up of every channel
    double cpu0 = cpu_s(server.pid), t0 = now_s();
    size_t relayed0 = read_file(relayed).size();
    usleep(static_cast<useconds_t>(run_s * 1e6));
    double cpu1 = cpu_s(server.pid), t1 = now_s();
    proc_kill(&client);
    kill(server.pid, SIGTERM);
    int status = 0;
    bool ended = proc_wait(&server, 2000, &status);
    stop = true;
    obs.join();

    std::string got = read_file(relayed);
    size_t count = 0;
    long first = find_run(got, programme({song_of[0]}), &count);
    double cpu_share = (cpu1 - cpu0) / (t1 - t0);
    printf("== stream_server, %d channels of 128 kbit/s, %.0f s (load:%s)\n", CHANNELS, t1 - t0,
           read_file("/proc/loadavg").substr(0, 15).c_str());
    printf("client: list shown %s; relayed %zu bytes (%zu in the measured %.0f s), %s\n",
           listed ? "yes" : "NO", got.size(), got.size() - relayed0, t1 - t0,
           first >= 0 ? ("one unbroken run of " + std::to_string(count) +
                         " whole frames: no datagram lost")
                            .c_str()
                      : "NOT one run of whole frames: datagrams were lost");
    printf("server CPU: %.3f s in %.1f s = %.2f %% of one core (target < 2 %%)\n", cpu1 - cpu0,
           t1 - t0, 100 * cpu_share);
    printf("server ended on SIGTERM: %s, status %d; %s", ended ? "yes" : "NO",
           ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1,
           read_file(server.err_path).c_str());

    double worst1 = -1e9, worst10_ahead = -1e9, worst10_behind = -1e9;
    int worst_ch = 0;
    std::vector<double> all;
    for (auto &[ch, a] : by_channel) {
        double w = worst_window(a, 1.0, true);
        if (w > worst1) {
            worst1 = w;
            worst_ch = ch;
        }
        worst10_ahead = std::max(worst10_ahead, worst_window(a, 10.0, true));
        worst10_behind = std::max(worst10_behind, worst_window(a, 10.0, false));
        for (const auto &x : a) all.push_back(x.t);
    }
    std::sort(all.begin(), all.end());
    if (all.size() < 2) {
        printf("observer: no data received\n");
        return 1;
    }
    size_t burst = 0;
    for (size_t i = 0, j = 0; j < all.size(); j++) {
        while (all[j] - all[i] > 0.002) i++;
        burst = std::max(burst, j - i + 1);
    }
    printf("observer: %zu channels, %zu data datagrams, %ld lists\n", by_channel.size(), all.size(),
           lists);
    printf(
        "pacing, windows >= 1 s: audio ahead of time by at most %.1f ms (channel %d; target <= "
        "50)\n",
        worst1 * 1000, worst_ch);
    printf(
        "pacing, windows >= 10 s: audio ahead by at most %.1f ms, behind by at most %.1f ms "
        "(target within 100)\n",
        worst10_ahead * 1000, worst10_behind * 1000);
    printf(
        "interleaving: at most %zu data datagrams of all channels within 2 ms (%.0f per second in "
        "all)\n",
        burst, static_cast<double>(all.size()) / (all.back() - all.front()));
    netns_peer_stop(&peer);
    remove_tree(dir);
    bool ok = listed && first >= 0 && cpu_share < 0.02 && ended && worst1 <= 0.05 &&
              worst10_ahead <= 0.1 && worst10_behind <= 0.1;
    printf("%s\n", ok ? "all targets met" : "SOME TARGET MISSED");
    return ok ? 0 : 1;
}
