// transcode_bench.cc - what files of other formats and one loudness cost
// the server: a radio of 32 channels of 128 kbit/s MP3, and one of 24 such
// channels and 8 of FLAC (the same pieces, decoded), which the server
// transcodes. Each runs SECONDS in a private network namespace, where
// nothing is listening, and reports the server's CPU (every thread, from
// /proc/PID/task/*/schedstat) as a share of one core and its peak memory
// (VmHWM). In turn:
//   - the MP3 radio, by another build of the server when one is given
//     (the figures before a change, side by side), and by this one;
//   - the mixed radio, loudness off: what a transcoded channel costs is
//     the difference from the MP3 radio, over 8;
//   - each radio with --loudness -16, once a first run has measured every
//     file into a state folder: that run's loudness thread gives the
//     measurement's cost as CPU-seconds per hour of music.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "netns.h"
#include "proc.h"
#include "radio.h"

namespace {

constexpr int TRANSCODED = 8;
constexpr double PIECE_S = 20;  // each of the radio's pieces

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The run time of pid's thread named name, in seconds; -1 when it has none.
double thread_cpu_s(pid_t pid, const std::string &name) {
    std::string tasks = "/proc/" + std::to_string(pid) + "/task/";
    for (int tid = pid; tid < pid + 64; tid++) {
        std::string comm = read_file(tasks + std::to_string(tid) + "/comm");
        if (comm == name + "\n")
            return static_cast<double>(
                       strtoull(read_file(tasks + std::to_string(tid) + "/schedstat").c_str(),
                                nullptr, 10)) /
                   1e9;
    }
    return -1;
}

long peak_kib(pid_t pid) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + 6);
}

int lines_of(const std::string &path) {
    std::string text = read_file(path);
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

struct figures {
    double cpu_pct = -1;
    long peak_kib = -1;
};

// Runs server on radio with extra options for run_s seconds (after 2 s to
// settle); false when it fails to start or ends early.
bool run(const std::string &server, const std::string &radio, const std::vector<std::string> &extra,
         double run_s, const std::string &dir, figures *f) {
    std::vector<std::string> argv = {server, "-S", "1995"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    argv.push_back(radio);
    child_proc s;
    if (!proc_start(&s, argv, dir, "server", false)) return false;
    usleep(2000 * 1000);
    int threads;
    double cpu0 = process_cpu_s(s.pid, &threads), t0 = now_s();
    usleep(static_cast<useconds_t>(run_s * 1e6));
    double cpu1 = process_cpu_s(s.pid, &threads), t1 = now_s();
    f->peak_kib = peak_kib(s.pid);
    bool alive = cpu1 >= 0 && !proc_gone(s.pid);
    kill(s.pid, SIGTERM);
    int status;
    if (!proc_wait(&s, 5000, &status)) proc_kill(&s);
    if (!alive) {
        fprintf(stderr, "transcode_bench: the server ended: %s\n",
                read_file(dir + "/server.err").c_str());
        return false;
    }
    f->cpu_pct = 100 * (cpu1 - cpu0) / (t1 - t0);
    return true;
}

// Has server measure every file of radio into state; the loudness
// thread's CPU-seconds per hour of music, or -1.
double measure_all(const std::string &server, const std::string &radio, const std::string &state,
                   const std::string &dir) {
    child_proc s;
    if (!proc_start(&s, {server, "-S", "1995", "--loudness", "-16", "--state", state, radio}, dir,
                    "measure", false))
        return -1;
    double cpu = -1;
    for (int i = 0; i < 3000 && lines_of(state + "/loudness") < RADIO_CHANNELS; i++) usleep(100000);
    if (lines_of(state + "/loudness") >= RADIO_CHANNELS) cpu = thread_cpu_s(s.pid, "loudness");
    kill(s.pid, SIGTERM);
    int status;
    if (!proc_wait(&s, 5000, &status)) proc_kill(&s);
    return cpu < 0 ? -1 : cpu / (RADIO_CHANNELS * PIECE_S / 3600);
}

void line(const char *name, const figures &f) {
    printf("  %-52s CPU %5.2f %% of a core, peak memory %6ld KiB\n", name, f.cpu_pct, f.peak_kib);
}

}  // namespace

int main(int argc, char **argv) {
    // transcode_bench [SECONDS [OTHER_SERVER]]
    double run_s = argc > 1 ? atof(argv[1]) : 30;
    std::string other = argc > 2 ? argv[2] : "";
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "transcode_bench: no private network namespace: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::string> pieces = radio_pieces(BENCH_AUDIO_DIR);
    if (pieces.empty()) {
        fprintf(stderr, "transcode_bench: cannot make the music with sox and lame\n");
        return 1;
    }
    std::vector<std::string> flac;
    for (const auto &p : pieces) {
        std::string f = p.substr(0, p.rfind('.')) + ".flac";
        struct stat st;
        if (stat(f.c_str(), &st) != 0 && run_shell("sox -q '" + p + "' '" + f + "'") != 0) {
            fprintf(stderr, "transcode_bench: sox cannot make %s\n", f.c_str());
            return 1;
        }
        flac.push_back(f);
    }
    std::string dir = make_temp_dir();
    std::vector<std::string> mp3_of, mixed_of;
    for (int c = 1; c <= RADIO_CHANNELS; c++) {
        mp3_of.push_back(radio_piece_of(pieces, c));
        mixed_of.push_back(c <= TRANSCODED ? radio_piece_of(flac, c) : radio_piece_of(pieces, c));
    }
    run_shell("mkdir -p '" + dir + "/mp3' '" + dir + "/mixed'");
    std::string mp3_radio = radio_folder(dir + "/mp3", mp3_of);
    std::string mixed_radio = radio_folder(dir + "/mixed", mixed_of);
    if (mp3_radio.empty() || mixed_radio.empty()) return 1;

    printf("== stream_server: %d channels, %d of them FLAC transcoded, %.0f s a run (load:%s)\n",
           RADIO_CHANNELS, TRANSCODED, run_s, read_file("/proc/loadavg").substr(0, 15).c_str());
    figures before, mp3, mixed, mp3_loud, mixed_loud;
    if (!other.empty()) {
        if (!run(other, mp3_radio, {}, run_s, dir, &before)) return 1;
        line("32 MP3 channels, the other server", before);
    }
    if (!run(BENCH_SERVER, mp3_radio, {}, run_s, dir, &mp3)) return 1;
    line("32 MP3 channels", mp3);
    if (!run(BENCH_SERVER, mixed_radio, {}, run_s, dir, &mixed)) return 1;
    line("24 MP3 and 8 FLAC channels", mixed);
    printf("  a transcoded channel: %.2f %% of a core (target: at most 3 %%)\n",
           (mixed.cpu_pct - mp3.cpu_pct) / TRANSCODED);

    double mp3_measure = measure_all(BENCH_SERVER, mp3_radio, dir + "/mp3-state", dir);
    double mixed_measure = measure_all(BENCH_SERVER, mixed_radio, dir + "/mixed-state", dir);
    printf(
        "  first measure of every file: %.1f CPU-s per hour of music (MP3 radio), %.1f (mixed)\n",
        mp3_measure, mixed_measure);
    if (mp3_measure < 0 || mixed_measure < 0) return 1;
    if (!run(BENCH_SERVER, mp3_radio, {"--loudness", "-16", "--state", dir + "/mp3-state"}, run_s,
             dir, &mp3_loud))
        return 1;
    line("32 MP3 channels, --loudness -16, measured", mp3_loud);
    if (!run(BENCH_SERVER, mixed_radio, {"--loudness", "-16", "--state", dir + "/mixed-state"},
             run_s, dir, &mixed_loud))
        return 1;
    line("24 MP3 and 8 FLAC channels, --loudness -16, measured", mixed_loud);
    remove_tree(dir);
    bool ok = (mixed.cpu_pct - mp3.cpu_pct) / TRANSCODED <= 3;
    printf("%s\n", ok ? "all targets met" : "SOME TARGET MISSED");
    return ok ? 0 : 1;
}
