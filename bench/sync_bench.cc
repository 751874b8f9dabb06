// sync_bench.cc - rooms on one channel, measured off one recording of
// them all (tests/support's rooms_run; docs/rooms.md): four stream_player
// rooms, each in a network and a time namespace of its own, their devices
// 50 to 250 ms deep, the server's clock 100 ppm fast; on plain links, then
// behind 0-20 ms of random delay with 5 % loss in room 2; then two
// `client | mpg123` pipelines on the plain links, started 3 s apart, side
// by side. Prints each case's sync error per room against room 1.
//
// sync_bench [--seconds N] [--keep]   (N of recording per case, 600 unless
// told; --keep leaves each case's folder, with the recording, lags.json and
// every program's standard error, and names it)
#include <getopt.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "netns.h"
#include "proc.h"
#include "rooms_run.h"

namespace {

const rooms_tools TOOLS = {BENCH_SERVER, BENCH_PLAYER, BENCH_CLIENT, BENCH_HOP, BENCH_SYNC_LAG};

struct bench_case {
    const char *name;
    int rooms;
    double jitter_ms;
    int loss_per_mille;
    bool pipelines;
    double skip_s;  // left out of the figures: the clock estimate's first minute behind the hop
};

const bench_case CASES[] = {
    {"plain links, 4 players", 4, 0, 0, false, 0},
    {"0-20 ms of delay, 5 % loss in room 2, 4 players", 4, 20, 50, false, 60},
    {"plain links, 2 client | mpg123 pipelines 3 s apart", 2, 0, 0, true, 0},
};

void report(const bench_case &c, const rooms_result &r) {
    printf("%s: ", c.name);
    if (!r.why.empty()) {
        printf("failed: %s\n", r.why.c_str());
        return;
    }
    double first1 = rooms_json_item(r.json, "first_sound_s", 0);
    double mark = rooms_json_number(r.json, "mark_s");
    printf("room 1's first sample %.3f s after its start\n", first1 - mark - r.started_s);
    for (int room = 2; room <= c.rooms; room++) {
        size_t at = r.json.find("\"channel\": " + std::to_string(room));
        if (at == std::string::npos) continue;
        double first = rooms_json_item(r.json, "first_sound_s", room - 1);
        printf(
            "  room %d against room 1: median %+.3f ms, p95 %.3f, p99 %.3f, worst %.3f ms, "
            "%.0f windows (%.0f silent, %.0f unmatched); first sample %+.3f ms\n",
            room, rooms_json_number(r.json, "median", at), rooms_json_number(r.json, "p95", at),
            rooms_json_number(r.json, "p99", at), rooms_json_number(r.json, "worst", at),
            rooms_json_number(r.json, "windows", at),
            rooms_json_number(r.json, "silent_windows", at),
            rooms_json_number(r.json, "unmatched_windows", at), (first - first1) * 1000);
    }
    if (!c.pipelines) {
        printf("  players' CPU, %% of a core:");
        for (double cpu : r.cpu) printf(" %.2f", cpu * 100);
        printf("\n");
    }
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 600;
    bool keep = false;
    static const option LONG[] = {
        {"seconds", required_argument, nullptr, 's'}, {"keep", no_argument, nullptr, 'k'}, {}};
    for (int o; (o = getopt_long(argc, argv, "", LONG, nullptr)) >= 0;) {
        if (o == 'k') {
            keep = true;
        } else if (o != 's' || (seconds = atoi(optarg)) < 30) {
            fprintf(stderr, "usage: sync_bench [--seconds N, at least 30] [--keep]\n");
            return 1;
        }
    }
    printf("sync_bench: %d s of recording per case; a player's request rate: 2 a second\n",
           seconds);
    int status = 0;
    for (const bench_case &c : CASES) {
        // A namespace of its own per case: the last case's links go away
        // with their namespaces, which the kernel ends in its own time.
        std::string why = netns_enter_private();
        if (!why.empty()) {
            fprintf(stderr, "sync_bench: no private network namespace: %s\n", why.c_str());
            return 1;
        }
        std::string dir = make_temp_dir();
        rooms_conf conf;
        conf.rooms = c.rooms;
        conf.buffer_ms = {50, 250, 100, 200};
        conf.clock_s = {1000, 2000, 3000, 4000};
        conf.buffer_ms.resize(static_cast<size_t>(c.rooms));
        conf.clock_s.resize(static_cast<size_t>(c.rooms));
        conf.start_s.assign(static_cast<size_t>(c.rooms), 0);
        if (c.pipelines) conf.start_s[1] = 3;
        conf.jitter_ms = c.jitter_ms;
        conf.loss_room = 2;
        conf.loss_per_mille = c.loss_per_mille;
        conf.pipelines = c.pipelines;
        conf.seconds = c.pipelines ? std::min(seconds, 60) : seconds;
        conf.skip_s = std::min(c.skip_s, seconds / 2.0);
        rooms_result r = rooms_run(conf, TOOLS, dir);
        report(c, r);
        if (!r.why.empty()) status = 1;
        if (keep)
            printf("  kept in %s\n", dir.c_str());
        else
            remove_tree(dir);
    }
    return status;
}
