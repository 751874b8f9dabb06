// gateway_bench.cc - stream_gateway next to Icecast, side by side in one
// run: 600 HTTP listeners on one channel of a busy radio through the
// gateway, and 600 on an Icecast mount that carries the same MP3.
//
// The harness moves itself into a private network namespace first and
// checks that it is a new one; every process and connection of the run
// lives there, over loopback. In it:
//   - stream_server sends the busy radio, 32 channels of 128 kbit/s; channel
//     1 plays a piece longer than the run that repeats no frame, so that a
//     position in its stream is known by its bytes;
//   - stream_gateway joins the group and serves 127.0.0.1:8000; its
//     listeners ask for /channels/1;
//   - icecast2 serves 127.0.0.1:8001, changing to the user nobody; ffmpeg
//     pushes channel 1's file (-re, looped, frames copied) to its mount
//     /radio.mp3, where its listeners ask.
// One reference listener per server connects first. Then the listeners
// connect, one to each server in turn, at a set pace; after that and a
// pause, the measured seconds. Per server it reports:
//   - first byte: from a listener's connect() to the first byte of the
//     response body, measured while they connect (target for the gateway:
//     every listener within 300 ms);
//   - loss: each listener's bytes must be one unbroken run of its
//     reference's, and at the end no more than 2 s behind it; the
//     reference's one unbroken run of the file's frames; a gateway
//     listener's bytes start on a frame boundary;
//   - CPU over the measured seconds: the run time of all the server's
//     threads (/proc/PID/task/*/schedstat), as a share of one core (target:
//     the gateway's at most 0.5 of Icecast's);
//   - memory per listener: the growth of the server's RSS from before the
//     listeners connect to the end of the measured seconds, over their count.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "audio_support.h"
#include "bench_util.h"
#include "gateway_peers.h"
#include "listeners.h"
#include "proc.h"
#include "radio.h"

#ifndef BENCH_GATEWAY
#define BENCH_GATEWAY ""
#endif

namespace {

constexpr int GATEWAY = 0, ICECAST = 1, SIDES = 2;
constexpr const char *SIDE_NAME[SIDES] = {"stream_gateway", "icecast2"};
constexpr uint16_t SIDE_PORT[SIDES] = {8000, 8001};
constexpr const char *SIDE_PATH[SIDES] = {"/channels/1", ICECAST_MOUNT};
constexpr double BYTES_PER_S = 16000;  // 128 kbit/s
constexpr double FIRST_BYTE_TARGET_MS = 300;
constexpr double LAG_LIMIT_S = 2;
constexpr int LONG_PIECE_S = 150;

struct config {
    double seconds = 20;        // measured seconds
    int listeners = 600;        // per server
    double connect_rate = 300;  // listeners per second and server; 0: all at once
    std::string gateway = BENCH_GATEWAY;
    bool run[SIDES] = {true, true};
};

// One server under test and what was measured of it.
struct side {
    child_proc proc;
    size_t ref = SIZE_MAX;  // its reference listener
    size_t first = 0;       // the first of the others (those before were tries of the reference)
    size_t ref_len_at_close = 0;
    double cpu_connect = 0, cpu_start = 0, cpu_end = 0;  // seconds of run time
    int threads_start = 0, threads_end = 0;
    long rss_before_kib = 0, rss_after_kib = 0;
};

// What its listeners got.
struct outcome {
    std::vector<double> first_ms;  // of the listeners that got a first byte
    int late = 0;                  // over the target, or no first byte at all
    int whole = 0;                 // lost nothing
    double worst_lag_s = 0;
    std::vector<std::string> faults;  // the first few
    std::string reference;            // what the reference got, checked against the file
    bool reference_ok = false;
};

const char USAGE[] =
    "usage: gateway_bench [--seconds N] [--listeners N] [--connect-rate N] [--gateway PATH]\n"
    "                     [--only gateway|icecast]\n"
    "  (at most 120 s and 2000 listeners, and listeners x (seconds + 20) at most 67000)\n";

// Reads the options into *conf; false after the usage when they are wrong.
bool parse_args(int argc, char **argv, config *conf) {
    std::string only;
    bool ok = bench_parse_args(argc, argv,
                               listener_bench_args(&conf->listeners, &conf->connect_rate,
                                                   &conf->seconds, &conf->gateway, &only));
    if (ok && !only.empty()) {
        conf->run[GATEWAY] = only == "gateway";
        conf->run[ICECAST] = only == "icecast";
    }
    // Bounded: the whole run stays within a few minutes, and the bytes the
    // listeners keep within 2 GiB.
    double kept = 2.0 * conf->listeners * (conf->seconds + 20) * BYTES_PER_S;
    ok = ok && conf->seconds >= 1 && conf->seconds <= 120 && conf->listeners >= 1 &&
         conf->listeners <= 2000 && kept <= 2.0 * (1 << 30) && conf->connect_rate >= 0 &&
         (conf->run[GATEWAY] || conf->run[ICECAST]);
    if (!ok) fputs(USAGE, stderr);
    return ok && (!conf->run[GATEWAY] || gateway_given(conf->gateway));
}

size_t body_reserve(const config &conf) {
    return static_cast<size_t>((conf.seconds + 20) * BYTES_PER_S) + 65536;
}

// The first listener of side k: asked for again until its stream flows
// (the gateway answers 404 until it has heard the channel).
bool start_reference(listener_set *set, const config &conf, int k, side *s) {
    double give_up = listeners_now() + 15;
    std::string last;
    while (listeners_now() < give_up) {
        size_t i = listener_start(set, k, SIDE_PORT[k], SIDE_PATH[k], body_reserve(conf));
        for (int t = 0; t < 20 && set->all[i].fd >= 0 && set->all[i].body.empty(); t++)
            listeners_run(set, 50);
        if (!set->all[i].body.empty()) {
            s->ref = i;
            return true;
        }
        last = set->all[i].failure;
        listener_close(set, i);
        listeners_run(set, 200);
    }
    fprintf(stderr, "gateway_bench: %s never served %s: %s\n", SIDE_NAME[k], SIDE_PATH[k],
            last.c_str());
    return false;
}

bool waiting_for_first_bytes(const listener_set &set) {
    for (const listener &l : set.all)
        if (l.fd >= 0 && l.t_first < 0) return true;
    return false;
}

// The listeners connect, one to each server in turn, at the set pace; then
// up to 5 s more for their first bytes.
void connect_listeners(listener_set *set, const config &conf) {
    double start = listeners_now();
    for (int n = 0; n < conf.listeners; n++) {
        if (conf.connect_rate > 0) {
            double due = start + n / conf.connect_rate;
            int wait_ms = static_cast<int>((due - listeners_now()) * 1000);
            if (wait_ms > 0) listeners_run(set, wait_ms);
        }
        for (int k = 0; k < SIDES; k++)
            if (conf.run[k]) listener_start(set, k, SIDE_PORT[k], SIDE_PATH[k], body_reserve(conf));
    }
    for (int t = 0; t < 50 && waiting_for_first_bytes(*set); t++) listeners_run(set, 100);
}

// Offsets of the frames of one cycle of prog, laid end to end.
std::set<size_t> frame_starts(const std::vector<std::string> &prog) {
    std::set<size_t> starts;
    size_t at = 0;
    for (const std::string &f : prog) {
        starts.insert(at);
        at += f.size();
    }
    return starts;
}

void note_fault(outcome *o, const std::string &what) {
    if (o->faults.size() < 5) o->faults.push_back(what);
}

// The reference against the file: *r_off is where it lies in two cycles
// of the file's frames (-1 when it does not); *note says what it is.
bool check_reference(const std::string &ref, const std::string &two_cycles,
                     const std::set<size_t> &starts, bool whole_frames, long *r_off,
                     std::string *note) {
    *r_off = find_within(two_cycles, ref);
    size_t cycle = two_cycles.size() / 2;
    bool framed = *r_off >= 0 && starts.count(static_cast<size_t>(*r_off) % cycle);
    *note = std::to_string(ref.size()) + " bytes, " +
            (*r_off < 0 ? "NOT one unbroken run of the file's frames"
                        : "one unbroken run of the file's frames");
    if (whole_frames && *r_off >= 0)
        *note += framed ? " from a frame boundary" : " NOT from a frame boundary";
    return *r_off >= 0 && (framed || !whole_frames);
}

// A listener's bytes against its reference's; "" when nothing was lost.
std::string check_listener(const listener &l, const std::string &ref, size_t ref_len_at_close,
                           long r_off, const std::set<size_t> &starts, size_t cycle, outcome *o) {
    if (!l.failure.empty()) return l.failure;
    if (l.body.empty()) return l.status ? "no byte of the body came" : "no answer came";
    long off = find_within(ref, l.body);
    if (off < 0)
        return "not one unbroken run of the reference's bytes (" + std::to_string(l.body.size()) +
               " bytes)";
    double lag = (static_cast<double>(ref_len_at_close) - static_cast<double>(off) -
                  static_cast<double>(l.body.size())) /
                 BYTES_PER_S;
    o->worst_lag_s = std::max(o->worst_lag_s, lag);
    if (lag > LAG_LIMIT_S) return "behind the reference by " + std::to_string(lag) + " s";
    if (r_off >= 0 && !starts.count((static_cast<size_t>(r_off + off)) % cycle))
        return "starts inside a frame";
    return "";
}

outcome judge(const listener_set &set, int k, const side &s, const std::vector<std::string> &prog) {
    outcome o;
    std::string cycle;
    for (const std::string &f : prog) cycle += f;
    std::set<size_t> starts = frame_starts(prog);
    const std::string &ref = set.all[s.ref].body;
    long r_off = -1;
    o.reference_ok =
        check_reference(ref, cycle + cycle, starts, k == GATEWAY, &r_off, &o.reference);
    for (size_t i = s.first; i < set.all.size(); i++) {
        const listener &l = set.all[i];
        if (l.target != k) continue;
        double ms = (l.t_first - l.t_asked) * 1000;
        if (l.t_first >= 0) o.first_ms.push_back(ms);
        if (l.t_first < 0 || ms > FIRST_BYTE_TARGET_MS) o.late++;
        std::string fault = check_listener(l, ref, s.ref_len_at_close, k == GATEWAY ? r_off : -1,
                                           starts, cycle.size(), &o);
        if (fault.empty())
            o.whole++;
        else
            note_fault(&o, "listener " + std::to_string(i) + ": " + fault);
    }
    return o;
}

// One line of the table: the label, then what value(k) says of each server run.
template <typename F>
void row(const config &conf, const char *label, F value) {
    printf("%-46s", label);
    for (int k = 0; k < SIDES; k++)
        if (conf.run[k]) printf(" %16s", std::string(value(k)).c_str());
    printf("\n");
}

std::string fmt(const char *format, double x) {
    char buf[64];
    snprintf(buf, sizeof buf, format, x);
    return buf;
}

void print_table(const config &conf, const side (&s)[SIDES], const outcome (&o)[SIDES],
                 double span_s, double connect_s) {
    printf("== %d listeners on each server, connecting at %s, then %.1f s measured\n",
           conf.listeners,
           conf.connect_rate > 0 ? fmt("%.0f per second each", conf.connect_rate).c_str()
                                 : "once, all together",
           span_s);
    row(conf, "", [](int k) { return SIDE_NAME[k]; });
    row(conf, "first byte after connect, ms: median",
        [&](int k) { return fmt("%.1f", percentile(o[k].first_ms, 50)); });
    row(conf, "  99th percentile",
        [&](int k) { return fmt("%.1f", percentile(o[k].first_ms, 99)); });
    row(conf, "  largest", [&](int k) { return fmt("%.1f", percentile(o[k].first_ms, 100)); });
    row(conf, "  over 300 ms, or none", [&](int k) { return std::to_string(o[k].late); });
    row(conf, "listeners that lost nothing",
        [&](int k) { return std::to_string(o[k].whole) + "/" + std::to_string(conf.listeners); });
    row(conf, "  most behind the reference at the end, s",
        [&](int k) { return fmt("%.2f", o[k].worst_lag_s); });
    row(conf, "CPU while connecting (and 2 s), % of a core",
        [&](int k) { return fmt("%.1f", 100 * (s[k].cpu_start - s[k].cpu_connect) / connect_s); });
    row(conf, "CPU over the measured seconds, % of a core",
        [&](int k) { return fmt("%.2f", 100 * (s[k].cpu_end - s[k].cpu_start) / span_s); });
    row(conf, "threads at its start / end", [&](int k) {
        return std::to_string(s[k].threads_start) + " / " + std::to_string(s[k].threads_end);
    });
    row(conf, "RSS before the listeners / at the end, MiB", [&](int k) {
        return fmt("%.1f", s[k].rss_before_kib / 1024.0) + " / " +
               fmt("%.1f", s[k].rss_after_kib / 1024.0);
    });
    row(conf, "RSS growth per listener, KiB", [&](int k) {
        return fmt("%.1f",
                   static_cast<double>(s[k].rss_after_kib - s[k].rss_before_kib) / conf.listeners);
    });
    for (int k = 0; k < SIDES; k++) {
        if (!conf.run[k]) continue;
        printf("%s reference listener: %s\n", SIDE_NAME[k], o[k].reference.c_str());
        for (const std::string &f : o[k].faults) printf("%s %s\n", SIDE_NAME[k], f.c_str());
    }
}

// The verdict on the gateway's targets; true when it met them.
bool verdict(const config &conf, const side (&s)[SIDES], const outcome (&o)[SIDES]) {
    bool ok = true;
    if (conf.run[GATEWAY])
        ok = o[GATEWAY].late == 0 && o[GATEWAY].whole == conf.listeners && o[GATEWAY].reference_ok;
    if (conf.run[GATEWAY] && conf.run[ICECAST]) {
        double ratio = (s[GATEWAY].cpu_end - s[GATEWAY].cpu_start) /
                       (s[ICECAST].cpu_end - s[ICECAST].cpu_start);
        printf("gateway CPU / Icecast CPU over the measured seconds: %.2f (target <= 0.5)\n",
               ratio);
        ok = ok && ratio <= 0.5;
    }
    printf("%s\n", ok ? "all targets met" : "SOME TARGET MISSED");
    return ok;
}

// The radio, the gateway on it, Icecast and its source.
bool start_servers(const config &conf, const bench_radio &r, child_proc *server, child_proc *source,
                   side (&s)[SIDES]) {
    const std::string &dir = r.dir;
    if (conf.run[GATEWAY]) {
        std::string listen = "127.0.0.1:" + std::to_string(SIDE_PORT[GATEWAY]);
        // The gateway binds the group's port and the now-playing port above it;
        // every listener comes from one address.
        if (!proc_start(server, {BENCH_SERVER, "-S", "1995", r.folder}, dir, "server", false) ||
            !proc_start(&s[GATEWAY].proc, {conf.gateway, "--listen", listen, "--each-address", "0"},
                        dir, "gateway", false))
            return false;
    }
    if (conf.run[ICECAST]) {
        if (!start_icecast(conf.listeners + 100, SIDE_PORT[ICECAST], dir, &s[ICECAST].proc))
            return false;
        // ffmpeg gives up at once when nobody listens yet.
        if (!wait_until([] { return accepts(SIDE_PORT[ICECAST]); }, 5000)) {
            fprintf(stderr, "gateway_bench: icecast2 does not listen\n");
            return false;
        }
        if (!start_source(dir, r.piece, SIDE_PORT[ICECAST], source)) return false;
    }
    return true;
}

// References, the listeners' arrival and the measured seconds; *span_s and
// *connect_s say how long the measured and the connecting part took.
bool measure(const config &conf, listener_set *set, side (&s)[SIDES], double *span_s,
             double *connect_s) {
    for (int k = 0; k < SIDES; k++)
        if (conf.run[k] && !start_reference(set, conf, k, &s[k])) return false;
    listeners_run(set, 2000);
    int threads = 0;
    for (int k = 0; k < SIDES; k++) {
        if (!conf.run[k]) continue;
        s[k].rss_before_kib = rss_kib(s[k].proc.pid);
        s[k].cpu_connect = process_cpu_s(s[k].proc.pid, &threads);
    }
    double t0 = listeners_now();
    for (side &one : s) one.first = set->all.size();
    connect_listeners(set, conf);
    listeners_run(set, 2000);
    double t1 = listeners_now();
    for (int k = 0; k < SIDES; k++)
        if (conf.run[k]) s[k].cpu_start = process_cpu_s(s[k].proc.pid, &s[k].threads_start);
    listeners_run(set, static_cast<int>(conf.seconds * 1000));
    double t2 = listeners_now();
    for (int k = 0; k < SIDES; k++) {
        if (!conf.run[k]) continue;
        s[k].cpu_end = process_cpu_s(s[k].proc.pid, &s[k].threads_end);
        s[k].rss_after_kib = rss_kib(s[k].proc.pid);
        s[k].ref_len_at_close = set->all[s[k].ref].body.size();
    }
    // The references go on a little, so that they hold every byte the
    // others got.
    for (size_t i = 0; i < set->all.size(); i++)
        if (i != s[GATEWAY].ref && i != s[ICECAST].ref) listener_close(set, i);
    listeners_run(set, 1000);
    *span_s = t2 - t1;
    *connect_s = t1 - t0;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    config conf;
    bench_radio r;
    if (!parse_args(argc, argv, &conf) || !enter_bench_radio(LONG_PIECE_S, &r)) return 1;
    child_proc server, source;
    side s[SIDES];
    listener_set set;
    double span_s = 0, connect_s = 0;
    bool measured = listeners_open(&set) && start_servers(conf, r, &server, &source, s) &&
                    measure(conf, &set, s, &span_s, &connect_s);
    listeners_close_all(&set);
    // ffmpeg ends with status 255 on SIGTERM.
    stop_process(&source, "ffmpeg", false);
    stop_process(&s[GATEWAY].proc, SIDE_NAME[GATEWAY], true);
    stop_process(&s[ICECAST].proc, SIDE_NAME[ICECAST], true);
    stop_process(&server, "stream_server", true);
    if (!measured) {
        fprintf(stderr, "gateway_bench: the run did not get to its end; what the programs said:\n");
        fflush(stderr);
        run_shell("cd '" + r.dir + "' && tail -n 5 *.err icecast-log/error.log >&2");
        remove_tree(r.dir);
        return 1;
    }
    std::vector<std::string> prog = programme({r.piece});
    outcome o[SIDES];
    for (int k = 0; k < SIDES; k++)
        if (conf.run[k]) o[k] = judge(set, k, s[k], prog);
    print_table(conf, s, o, span_s, connect_s);
    bool ok = verdict(conf, s, o);
    remove_tree(r.dir);
    return ok ? 0 : 1;
}
