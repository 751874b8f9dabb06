// server_bench.cc - stream_server on a busy radio: 32 channels of 128
// kbit/s MP3 on one group, a client relaying channel 1 with the system's
// default receive buffer, and receiving sockets that stamp every data
// datagram and count the repair datagrams. Run with the server's repair on
// (its default) and off (--repair-port 0), in turn.
//
// The harness moves itself into a private network namespace first, where
// the server and the sockets live; the client runs in a second one joined
// to it by a veth pair. Nothing leaves the two. It reports, for each case:
//   - whether the client lost a datagram: what it relayed over the run must
//     be one unbroken run of whole frames of channel 1's programme;
//   - the server's CPU time (/proc/PID/schedstat) over the run, as a share
//     of one core;
//   - the repair datagrams' bytes (UDP payload) against the data's;
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
#include "now_playing.h"
#include "proc.h"
#include "proto.h"
#include "radio.h"

namespace {

constexpr int CHANNELS = RADIO_CHANNELS;

struct arrival {
    double t;
    double audio_s;
    long bytes;  // the datagram's UDP payload
};

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The times pid has gone to sleep and been woken: its voluntary context
// switches; -1 when unknown.
long wake_ups(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\nvoluntary_ctxt_switches:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 25);
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
        (*by_channel)[buf[0]].push_back({t, audio, static_cast<long>(n)});
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

// Counts the datagrams of sd and their bytes until stop.
void count(int sd, const std::atomic<bool> *stop, long *datagrams, long long *bytes) {
    std::vector<uint8_t> buf(MSG_MAX_SIZE);
    while (!stop->load()) {
        ssize_t n = recv(sd, buf.data(), buf.size(), 0);
        if (n <= 0) continue;
        (*datagrams)++;
        *bytes += n;
    }
}

// A socket joined to the group, bound to port, stamping what it receives,
// with room for seconds of the radio; -1 after a report.
int group_socket(int port) {
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ip_mreqn mreq{};
    inet_pton(AF_INET, DEFAULT_MGROUP, &mreq.imr_multiaddr);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_port = htons(static_cast<uint16_t>(port));
    int big = 8 << 20, on = 1;
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    setsockopt(sd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    timeval tv{0, 100000};
    setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0 ||
        bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0) {
        perror("observer socket");
        close(sd);
        return -1;
    }
    return sd;
}

// What one case's run needs: the server to run, its folder and channel 1's
// song, the client's host, and where to keep the files.
struct bench_setup {
    std::string server_path;
    std::string radio;
    std::string song1;
    netns_peer peer;
    std::string dir;
};

// What one case measured.
struct case_figures {
    bool listed = false, ended = false;
    int status = -1;
    long first = -1;  // where the client's run of frames starts, -1: not one run
    size_t count = 0, relayed = 0, relayed_measured = 0;
    double seconds = 0, cpu_s = 0;
    long wake_ups = 0;
    std::string server_start;  // the server's first line
    std::map<int, std::vector<arrival>> by_channel;
    long lists = 0, repair_datagrams = 0;
    long long data_bytes = 0, repair_bytes = 0;
};

// Runs the server with extra arguments and the client for run_s measured
// seconds, with the observers; -1 when a process could not start.
int run_case(const bench_setup &b, const std::vector<std::string> &extra, double run_s,
             case_figures *f) {
    int sd = group_socket(DEFAULT_PORT), rd = group_socket(repair_port(DEFAULT_PORT));
    if (sd < 0 || rd < 0) return -1;
    std::atomic<bool> stop{false};
    std::thread obs(observe, sd, &stop, &f->by_channel, &f->lists);
    std::thread rep(count, rd, &stop, &f->repair_datagrams, &f->repair_bytes);
    child_proc server, client;
    std::string relayed = b.dir + "/relayed.mp3";
    unlink(relayed.c_str());
    std::vector<std::string> server_argv = {b.server_path, "-S", "1995"};
    server_argv.insert(server_argv.end(), extra.begin(), extra.end());
    server_argv.push_back(b.radio);
    std::vector<std::string> client_argv = netns_peer_prefix(b.peer);
    client_argv.insert(client_argv.end(), {BENCH_CLIENT, "-p", "cat > " + relayed});
    if (!proc_start(&server, server_argv, b.dir, "server", false) ||
        !proc_start(&client, client_argv, b.dir, "client", true))
        return -1;
    f->listed = wait_until(
        [&] { return read_file(client.out_path).find("channel:32") != std::string::npos; }, 10000);
    proc_send(&client, "1\n");
    fprintf(stderr, "server_bench: server pid %d\n", server.pid);
    usleep(2000 * 1000);  // past the start-up of every channel
    double cpu0 = cpu_s(server.pid), t0 = now_s();
    long wake0 = wake_ups(server.pid);
    size_t relayed0 = read_file(relayed).size();
    usleep(static_cast<useconds_t>(run_s * 1e6));
    f->cpu_s = cpu_s(server.pid) - cpu0;
    f->wake_ups = wake_ups(server.pid) - wake0;
    f->seconds = now_s() - t0;
    proc_kill(&client);
    kill(server.pid, SIGTERM);
    f->ended = proc_wait(&server, 2000, &f->status);
    stop = true;
    obs.join();
    rep.join();
    close(sd);
    close(rd);
    std::string got = read_file(relayed);
    f->relayed = got.size();
    f->relayed_measured = got.size() - relayed0;
    f->first = find_run(got, programme({b.song1}), &f->count);
    std::string err = read_file(server.err_path);
    f->server_start = err.substr(0, err.find('\n'));
    return 0;
}

// The pacing figures of a case and its data bytes; false when no data came.
bool pacing(case_figures *f, double *worst1, int *worst_ch, double *ahead10, double *behind10,
            size_t *burst, double *rate) {
    *worst1 = *ahead10 = *behind10 = -1e9;
    std::vector<double> all;
    for (auto &[ch, a] : f->by_channel) {
        double w = worst_window(a, 1.0, true);
        if (w > *worst1) {
            *worst1 = w;
            *worst_ch = ch;
        }
        *ahead10 = std::max(*ahead10, worst_window(a, 10.0, true));
        *behind10 = std::max(*behind10, worst_window(a, 10.0, false));
        for (const auto &x : a) all.push_back(x.t);
    }
    std::sort(all.begin(), all.end());
    if (all.size() < 2) return false;
    *burst = 0;
    for (size_t i = 0, j = 0; j < all.size(); j++) {
        while (all[j] - all[i] > 0.002) i++;
        *burst = std::max(*burst, j - i + 1);
    }
    *rate = static_cast<double>(all.size()) / (all.back() - all.front());
    return true;
}

// Prints a case's figures; true when it met every target.
bool report(const char *name, case_figures *f) {
    double cpu_share = f->cpu_s / f->seconds;
    printf("-- %s\n", name);
    printf("client: list shown %s; relayed %zu bytes (%zu in the measured %.0f s), %s\n",
           f->listed ? "yes" : "NO", f->relayed, f->relayed_measured, f->seconds,
           f->first >= 0 ? ("one unbroken run of " + std::to_string(f->count) +
                            " whole frames: no datagram lost")
                               .c_str()
                         : "NOT one run of whole frames: datagrams were lost");
    printf("%s\n", f->server_start.c_str());
    printf(
        "server CPU: %.3f s in %.1f s = %.2f %% of one core (target < 2 %%); %.0f wake-ups "
        "a second\n",
        f->cpu_s, f->seconds, 100 * cpu_share, static_cast<double>(f->wake_ups) / f->seconds);
    printf("server ended on SIGTERM: %s, status %d\n", f->ended ? "yes" : "NO",
           f->ended && WIFEXITED(f->status) ? WEXITSTATUS(f->status) : -1);
    double worst1, ahead10, behind10, rate;
    int worst_ch = 0;
    size_t burst = 0, data = 0;
    long long data_bytes = 0;
    if (!pacing(f, &worst1, &worst_ch, &ahead10, &behind10, &burst, &rate)) {
        printf("observer: no data received\n");
        return false;
    }
    for (const auto &[ch, a] : f->by_channel) data += a.size();
    for (const auto &[ch, a] : f->by_channel)
        for (const auto &x : a) data_bytes += x.bytes;
    printf(
        "observer: %zu channels, %zu data datagrams (%lld bytes), %ld lists; %ld repair "
        "datagrams (%lld bytes, %.1f %% of the data's)\n",
        f->by_channel.size(), data, data_bytes, f->lists, f->repair_datagrams, f->repair_bytes,
        100.0 * static_cast<double>(f->repair_bytes) / static_cast<double>(data_bytes));
    printf(
        "pacing, windows >= 1 s: audio ahead of time by at most %.1f ms (channel %d; target <= "
        "50)\n",
        worst1 * 1000, worst_ch);
    printf(
        "pacing, windows >= 10 s: audio ahead by at most %.1f ms, behind by at most %.1f ms "
        "(target within 100)\n",
        ahead10 * 1000, behind10 * 1000);
    printf(
        "interleaving: at most %zu data datagrams of all channels within 2 ms (%.0f per "
        "second in all)\n",
        burst, rate);
    return f->listed && f->first >= 0 && cpu_share < 0.02 && f->ended && worst1 <= 0.05 &&
           ahead10 <= 0.1 && behind10 <= 0.1;
}

}  // namespace

int main(int argc, char **argv) {
    // server_bench [SECONDS [SERVER [ROUNDS]]]: each run's length (30),
    // another build of the server to measure, and how many times each
    // case runs (1), the cases in turn.
    double run_s = argc > 1 ? atof(argv[1]) : 30;
    bench_setup b;
    b.server_path = argc > 2 ? argv[2] : BENCH_SERVER;
    int rounds = argc > 3 ? atoi(argv[3]) : 1;
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "server_bench: no private network namespace: %s\n", why.c_str());
        return 1;
    }
    b.dir = make_temp_dir();
    std::vector<std::string> songs = radio_pieces(BENCH_AUDIO_DIR);
    if (songs.empty()) {
        fprintf(stderr, "server_bench: cannot make the music with sox and lame\n");
        return 1;
    }
    std::vector<std::string> song_of;
    for (int c = 1; c <= CHANNELS; c++) song_of.push_back(radio_piece_of(songs, c));
    b.song1 = song_of[0];
    b.radio = radio_folder(b.dir, song_of);
    if (b.radio.empty()) return 1;

    // The client is a second host, behind a veth pair, so that it and the
    // observer can both bind port 1989; the server, beside the observer,
    // sends from port 1995 (1990 is where it says what plays, 1991 where
    // its repair goes). (Made before the observers join, so that they join
    // where the route to the group now leads.)
    why = netns_peer_start(&b.peer, "veth-radio", "10.201.9.1/24", "enp0s3", "10.201.9.2/24");
    if (!why.empty()) {
        fprintf(stderr, "server_bench: %s\n", why.c_str());
        return 1;
    }
    printf("== stream_server, %d channels of 128 kbit/s, %.0f s a run (load:%s)\n", CHANNELS, run_s,
           read_file("/proc/loadavg").substr(0, 15).c_str());
    bool ok = true;
    for (int r = 0; r < rounds; r++) {
        for (bool repair : {true, false}) {
            case_figures f;
            std::vector<std::string> extra;
            if (!repair) extra = {"--repair-port", "0"};
            if (run_case(b, extra, run_s, &f) < 0) return 1;
            const char *name =
                repair ? "with repair (the default)" : "without repair (--repair-port 0)";
            if (!report(name, &f)) ok = false;
        }
    }
    netns_peer_stop(&b.peer);
    remove_tree(b.dir);
    printf("%s\n", ok ? "all targets met" : "SOME TARGET MISSED");
    return ok ? 0 : 1;
}
