// pacing_bench.cc - how throttlecat paces a small file, next to pv -L 5.
//
// Each writer copies the same 30-byte file into a pipe; this program reads
// the pipe and stamps every chunk with its arrival time. From the stamps:
// the delay to the first byte, the total time (to end of file), the average
// rate, and the largest excess over the bound of a token bucket of rate 5/s
// and burst 5: in any window of T seconds at most 5 + 5*T bytes.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "mcast_sender.h"

#ifndef BENCH_THROTTLECAT
#define BENCH_THROTTLECAT "throttlecat"
#endif

namespace {

constexpr double RATE = 5;        // bytes per second
constexpr double BURST = 5;       // bytes
constexpr double TIMEOUT_S = 30;  // per copy
// Reads are stamped when this process wakes, not when the writer wrote;
// 10 ms of such lag is 0.05 bytes of apparent excess.
constexpr double EXCESS_TOLERANCE = 0.05;
const char FILE_TEXT[] = "0123456789abcdefghijklmnopqrs\n";  // 30 bytes

struct copy_result {
    bool ok = false;  // ended by itself with status 0 and the right bytes
    std::vector<chunk> chunks;
    double total_s = 0;  // start to end of file
    long bytes = 0;
};

// Runs argv with standard output into a pipe and stamps what arrives.
copy_result time_copy(const std::vector<std::string> &argv, const std::string &expect) {
    copy_result r;
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0) {
        perror("pipe()");
        return r;
    }
    double start = now_s();
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork()");
        return r;
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull < 0 || dup2(devnull, 0) < 0 || dup2(p[1], 1) < 0) _exit(127);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(p[1]);
    std::string got;
    char buf[4096];
    bool eof = false;
    while (!eof) {
        double left = start + TIMEOUT_S - now_s();
        pollfd pfd{p[0], POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left * 1000) + 1) == 0) break;
        ssize_t n = read(p[0], buf, sizeof buf);
        double t = now_s() - start;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof = n == 0;
            r.total_s = t;
            break;
        }
        r.chunks.push_back({t, n});
        got.append(buf, static_cast<size_t>(n));
    }
    close(p[0]);
    if (!eof) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    r.bytes = static_cast<long>(got.size());
    r.ok = eof && WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == expect;
    return r;
}

// Bytes per second after the first arrival: what the bucket lets through
// once its first burst is spent.
double steady_rate(const copy_result &r) {
    if (r.chunks.size() < 2) return 0;
    double span = r.chunks.back().t - r.chunks.front().t;
    return span > 0 ? static_cast<double>(r.bytes - r.chunks.front().bytes) / span : 0;
}

struct writer_stats {
    const char *name = "";
    std::vector<double> first, total, average, steady;
    double worst_excess = -BURST;
    int failed = 0;
};

// Shortest and median gap between consecutive chunks: a gap shorter than
// the writer's tick shows a chunk that left (or was read) late.
void gaps(const copy_result &r, double *shortest, double *typical) {
    std::vector<double> g;
    for (size_t i = 1; i < r.chunks.size(); i++) g.push_back(r.chunks[i].t - r.chunks[i - 1].t);
    *shortest = g.empty() ? 0 : *std::min_element(g.begin(), g.end());
    *typical = median(g);
}

void record(writer_stats *w, int run, const copy_result &r) {
    double excess = max_bound_excess(r.chunks, RATE, BURST);
    double average = r.total_s > 0 ? static_cast<double>(r.bytes) / r.total_s : 0;
    double shortest, typical;
    gaps(r, &shortest, &typical);
    printf(
        "%-11s run %d: %s first byte %.3f s, end of file %.3f s, %ld B, average %.2f B/s, "
        "after the first chunk %.2f B/s, max excess %+.3f B, gaps shortest %.3f s median %.3f s;"
        " chunks:",
        w->name, run + 1, r.ok ? "ok" : "FAILED", r.chunks.empty() ? 0 : r.chunks[0].t, r.total_s,
        r.bytes, average, steady_rate(r), excess, shortest, typical);
    for (const chunk &c : r.chunks) printf(" %ld@%.3f", c.bytes, c.t);
    printf("\n");
    fflush(stdout);
    if (!r.ok) {
        w->failed++;
        return;
    }
    w->first.push_back(r.chunks.empty() ? 0 : r.chunks[0].t);
    w->total.push_back(r.total_s);
    w->average.push_back(average);
    w->steady.push_back(steady_rate(r));
    if (excess > w->worst_excess) w->worst_excess = excess;
}

void print_summary(const writer_stats &w) {
    printf("%-11s %10.3f %10.3f %12.2f %12.2f %+12.3f %s\n", w.name, median(w.first),
           median(w.total), median(w.average), median(w.steady), w.worst_excess,
           w.failed ? "(some runs FAILED)" : "");
}

}  // namespace

int main(int argc, char **argv) {
    std::string throttlecat = BENCH_THROTTLECAT, pv = "/usr/bin/pv";
    int runs = 3;
    static const option opts[] = {{"runs", required_argument, nullptr, 'r'},
                                  {"throttlecat", required_argument, nullptr, 't'},
                                  {"pv", required_argument, nullptr, 'p'},
                                  {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", opts, nullptr)) != -1) {
        if (c == 'r')
            runs = atoi(optarg);
        else if (c == 't')
            throttlecat = optarg;
        else if (c == 'p')
            pv = optarg;
        else {
            fprintf(stderr, "Usage: pacing_bench [--runs N] [--throttlecat PATH] [--pv PATH]\n");
            return 1;
        }
    }
    if (runs < 1 || runs > 9) runs = 3;
    char dir[] = "/tmp/pacing_bench.XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp()");
        return 1;
    }
    std::string path = std::string(dir) + "/thirty_bytes";
    std::string text = FILE_TEXT;
    FILE *f = fopen(path.c_str(), "we");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0) {
        perror("fopen()");
        return 1;
    }
    writer_stats tc, pvs;
    tc.name = "throttlecat";
    pvs.name = "pv -L 5";
    for (int run = 0; run < runs; run++) {
        // Alternate who goes first, so that neither always meets the same load.
        for (int k = 0; k < 2; k++) {
            bool tc_turn = (k + run) % 2 == 0;
            if (tc_turn)
                record(&tc, run, time_copy({throttlecat, path}, text));
            else
                record(&pvs, run, time_copy({pv, "-q", "-L", "5", path}, text));
        }
    }
    unlink(path.c_str());
    rmdir(dir);
    printf("\n== pacing of a %zu-byte file: medians over %d runs; excess is the worst run's\n",
           text.size(), runs);
    printf("%-11s %10s %10s %12s %12s %12s\n", "", "first byte", "total", "average", "after 1st",
           "max excess");
    printf("%-11s %10s %10s %12s %12s %12s\n", "", "s", "s", "B/s", "B/s", "B (bound 0)");
    print_summary(tc);
    print_summary(pvs);
    bool within = tc.failed == 0 && tc.worst_excess <= EXCESS_TOLERANCE;
    bool slow_enough = tc.failed == 0 && median(tc.average) <= RATE;
    printf("throttlecat within the token-bucket bound: %s; average <= %.0f B/s: %s\n",
           within ? "yes" : "NO", RATE, slow_enough ? "yes" : "NO");
    return within && slow_enough ? 0 : 2;
}
