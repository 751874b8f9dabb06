// gateway_load_bench.cc - stream_gateway with 10,000 listeners on one
// channel of the busy radio; then, with the same generator, fanout_floor
// (the least a program spends to hand that channel to those sockets at the
// gateway's cadence) and Icecast serving the same MP3 to as many; and the
// gateway under churn: connections that come and go at 2,000 a second
// while 1,000 listeners play. With --other, another build of the gateway
// beside this one, measured right after it with the same listeners, to
// weigh a change in one run.
//
// Everything runs in a private network namespace over loopback. The
// listeners are split over worker processes, each within the open-files
// limit, forked by the harness. A worker connects its share at its share of
// the rate, stamps each listener's first body byte by the kernel's receive
// time, and checks every byte as it comes against the programme, known by
// its bytes (channel 1 plays a piece that repeats no frame): a listener's
// bytes must be one unbroken run of it, a gateway's or the floor's listener's
// from a frame header, and at the end at most 2 s behind the furthest
// listener. It keeps no stream bytes, so 10,000 listeners cost it little
// memory. The harness reads the server's CPU (all its threads), memory and
// writes. The gateway and the floor hear the radio side by side, each idle
// while the other is measured with the same listeners, so that their CPU
// over the same seconds' work can be compared.
#include <arpa/inet.h>
#include <errno.h>
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
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio_support.h"
#include "bench_util.h"
#include "defaults.h"
#include "gateway_peers.h"
#include "listeners.h"

#ifndef BENCH_GATEWAY
#define BENCH_GATEWAY ""
#endif
#ifndef BENCH_FANOUT_FLOOR
#define BENCH_FANOUT_FLOOR "fanout_floor"
#endif

namespace {

constexpr uint16_t GATEWAY_PORT = 8000, ICECAST_PORT = 8001, FLOOR_PORT = 8002, OTHER_PORT = 8003;
constexpr double BYTES_PER_S = 16000;  // 128 kbit/s
constexpr double LAG_LIMIT_S = 2;
constexpr int LONG_PIECE_S = 300;
// A listener is placed in the programme by the first frame in its first
// bytes, found by this many of the frame's bytes.
constexpr size_t KEY = 32;
// The most the gateway's CPU may be over the floor's at equal listeners.
constexpr double FLOOR_RATIO_TARGET = 1.3;

struct config {
    int listeners = 10000;
    double connect_rate = 1000;  // per second, all workers together
    double seconds = 20;         // measured, after the listeners came
    int workers = 2;
    int churn_listeners = 1000;
    double churn_rate = 2000;  // connect-and-close per second
    double churn_seconds = 10;
    std::string gateway = BENCH_GATEWAY;
    std::string floor = BENCH_FANOUT_FLOOR;
    std::string other;  // another build of the gateway, run after this one
    bool run_gateway = true, run_floor = true, run_churn = true, run_icecast = true;
};

// One run of listeners against one server: what the harness tells a worker.
struct plan {
    uint16_t port;
    std::string path;
    bool from_frame;          // the stream must start on a frame header
    int count;                // this worker's listeners
    double rate;              // this worker's connects per second
    double start_at, end_at;  // monotonic seconds
};

// The programme as one cycle of bytes, with its frames found by their
// first KEY bytes.
struct programme_index {
    std::string cycle;
    std::unordered_map<std::string, size_t> frame_at;
};

// A listener's stream, checked as it comes.
struct stream_check {
    std::string start;   // the first bytes, until a frame in them places them
    long long pos = -1;  // where the next byte lies in the programme, cycles unrolled
    std::string fault;
};

const programme_index *worker_index;
std::vector<stream_check> *worker_checks;
bool worker_from_frame;

programme_index index_of(const std::vector<std::string> &frames) {
    programme_index x;
    for (const std::string &f : frames) {
        if (f.size() >= KEY) x.frame_at.emplace(f.substr(0, KEY), x.cycle.size());
        x.cycle += f;
    }
    return x;
}

// Whether data is the programme from pos on, across its loop.
bool matches(const programme_index &x, long long pos, const char *data, size_t n) {
    size_t len = x.cycle.size();
    while (n > 0) {
        size_t at = static_cast<size_t>(pos) % len, m = std::min(n, len - at);
        if (memcmp(x.cycle.data() + at, data, m) != 0) return false;
        data += m;
        n -= m;
        pos += static_cast<long long>(m);
    }
    return true;
}

// Places c by the first frame of the programme in its first bytes.
void place(stream_check *c, const programme_index &x) {
    const std::string &b = c->start;
    for (size_t k = 0; k + KEY <= b.size(); k++) {
        if (static_cast<uint8_t>(b[k]) != 0xFF) continue;
        auto it = x.frame_at.find(b.substr(k, KEY));
        if (it == x.frame_at.end()) continue;
        long long at = static_cast<long long>(it->second) - static_cast<long long>(k);
        if (at < 0) at += static_cast<long long>(x.cycle.size());
        if (worker_from_frame && k != 0) c->fault = "starts inside a frame";
        if (!matches(x, at, b.data(), b.size())) c->fault = "its first bytes are not the programme";
        c->pos = at + static_cast<long long>(b.size());
        c->start.clear();
        return;
    }
    if (b.size() >= 8192) c->fault = "no frame of the programme in its first 8 KiB";
}

void on_body(listener_set *, size_t i, const char *data, size_t n) {
    stream_check &c = (*worker_checks)[i];
    if (!c.fault.empty() || n == 0) return;
    if (c.pos < 0) {
        c.start.append(data, n);
        if (c.start.size() >= 1024) place(&c, *worker_index);
        return;
    }
    if (!matches(*worker_index, c.pos, data, n))
        c.fault = "a byte differs, " + std::to_string(c.pos) + " bytes into its run";
    c.pos += static_cast<long long>(n);
}

void sleep_until(double t) {
    double left = t - listeners_now();
    if (left <= 0) return;
    timespec ts = {static_cast<time_t>(left),
                   static_cast<long>((left - static_cast<long>(left)) * 1e9)};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// A worker: its listeners connect at the plan's pace and are read until its
// end; then one line per listener to out: the first byte's delay in ms
// (-1: none), the position reached, and the fault ("" when none).
int run_worker(const plan &p, const programme_index &x, const std::string &out) {
    listener_set set;
    std::vector<stream_check> checks(static_cast<size_t>(p.count) + 1);
    worker_index = &x;
    worker_checks = &checks;
    worker_from_frame = p.from_frame;
    set.sink = on_body;
    set.all.reserve(checks.size());
    if (!listeners_open(&set)) return 1;
    sleep_until(p.start_at);
    for (int n = 0; n < p.count; n++) {
        double due = p.start_at + n / p.rate;
        int wait_ms = static_cast<int>((due - listeners_now()) * 1000);
        if (wait_ms > 0) listeners_run(&set, wait_ms);
        listener_start(&set, 0, p.port, p.path, 0);
    }
    listeners_run(&set, std::max(0, static_cast<int>((p.end_at - listeners_now()) * 1000)));
    std::ofstream f(out);
    for (size_t i = 0; i < set.all.size(); i++) {
        const listener &l = set.all[i];
        std::string fault = !l.failure.empty()  ? l.failure
                            : l.status == 0     ? "no answer came"
                            : l.body_bytes == 0 ? "no byte of the body came"
                            : checks[i].pos < 0 && checks[i].fault.empty()
                                ? "too few bytes to place"
                                : checks[i].fault;
        double ms = l.t_first < 0 ? -1 : (l.t_first - l.t_asked) * 1000;
        f << ms << '\t' << checks[i].pos << '\t' << fault << '\n';
    }
    listeners_close_all(&set);
    return f.good() ? 0 : 1;
}

// Connects and closes at once, at rate per second, until end_at.
int run_churn(double rate, double start_at, double end_at) {
    sleep_until(start_at);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(GATEWAY_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (long n = 0;; n++) {
        double due = start_at + static_cast<double>(n) / rate;
        if (due >= end_at) return 0;
        sleep_until(due);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return 1;
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
        close(fd);
    }
}

// What the harness measured of one run, and what the listeners got.
struct run_result {
    std::string name;
    int listeners = 0;
    std::vector<double> first_ms;
    int whole = 0;
    double worst_lag_s = 0;
    std::vector<std::string> faults;
    double cpu_connect = 0, cpu_measured = 0;  // share of one core
    long rss_kib = 0, hwm_kib = 0;
    int threads = 0;
    double writes_per_s = 0, bytes_per_s = 0;  // over the measured seconds
};

pid_t fork_to(const std::function<int()> &body) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// The listeners' lines that the workers wrote, judged.
void judge(const std::vector<std::string> &files, run_result *r) {
    struct one {
        double ms;
        long long pos;
        std::string fault;
    };
    std::vector<one> all;
    for (const std::string &path : files) {
        std::istringstream in(read_file(path));
        for (std::string line; std::getline(in, line);) {
            one o{};
            std::istringstream f(line);
            f >> o.ms >> o.pos;
            std::getline(f >> std::ws, o.fault);
            all.push_back(o);
        }
    }
    long long furthest = 0;
    for (const one &o : all) furthest = std::max(furthest, o.pos);
    for (const one &o : all) {
        if (o.ms >= 0) r->first_ms.push_back(o.ms);
        double lag = o.pos < 0 ? 0 : static_cast<double>(furthest - o.pos) / BYTES_PER_S;
        std::string fault = o.fault;
        if (fault.empty() && lag > LAG_LIMIT_S) fault = "behind by " + std::to_string(lag) + " s";
        if (fault.empty()) r->worst_lag_s = std::max(r->worst_lag_s, lag);
        if (fault.empty())
            r->whole++;
        else if (r->faults.size() < 5)
            r->faults.push_back(fault);
    }
    r->listeners = static_cast<int>(all.size());
}

// Runs count listeners against the server at port, split over the
// workers; the server's CPU is read over the connecting and over the
// measured seconds (with churn, the churn's seconds).
run_result run_listeners(const config &conf, const std::string &dir, const programme_index &x,
                         pid_t server, uint16_t port, const std::string &path, int count,
                         bool churn) {
    run_result r;
    double start = listeners_now() + 0.5;
    double connected = start + count / conf.connect_rate + 3;
    double span = churn ? conf.churn_seconds + 1 : conf.seconds;
    double end = connected + span;
    std::vector<pid_t> kids;
    std::vector<std::string> files;
    for (int w = 0; w < conf.workers; w++) {
        plan p{port,
               path,
               port != ICECAST_PORT,
               count / conf.workers + (w < count % conf.workers),
               conf.connect_rate / conf.workers,
               start,
               end};
        files.push_back(dir + "/worker" + std::to_string(w) + ".txt");
        kids.push_back(fork_to([&] { return run_worker(p, x, files.back()); }));
    }
    if (churn)
        kids.push_back(fork_to([&] { return run_churn(conf.churn_rate, connected, end - 1); }));
    int threads = 0;
    sleep_until(start);
    double c0 = process_cpu_s(server, &threads);
    sleep_until(connected);
    double c1 = process_cpu_s(server, &threads);
    io_counts w1 = written_by(server);
    sleep_until(end - 0.1);
    double c2 = process_cpu_s(server, &r.threads);
    io_counts w2 = written_by(server);
    r.rss_kib = rss_kib(server);
    r.hwm_kib = status_kib(server, "VmHWM");
    for (pid_t k : kids) waitpid(k, nullptr, 0);
    r.cpu_connect = (c1 - c0) / (connected - start);
    r.cpu_measured = (c2 - c1) / (end - 0.1 - connected);
    r.writes_per_s = static_cast<double>(w2.calls - w1.calls) / (end - 0.1 - connected);
    r.bytes_per_s = static_cast<double>(w2.bytes - w1.bytes) / (end - 0.1 - connected);
    judge(files, &r);
    return r;
}

const char USAGE[] =
    "usage: gateway_load_bench [--listeners N] [--connect-rate N] [--seconds N] [--workers N]\n"
    "                          [--churn-listeners N] [--churn-rate N] [--churn-seconds N]\n"
    "                          [--gateway PATH] [--other PATH]\n"
    "                          [--only gateway,floor,churn,icecast]\n"
    "  (listeners at most 10000 per worker and 40000 in all, seconds at most 120)\n";

// --only: the runs named in a list separated by commas; false on a name
// that is none.
bool pick_runs(const std::string &only, config *c) {
    c->run_gateway = c->run_floor = c->run_churn = c->run_icecast = false;
    std::string list = only + ",";
    for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
        std::string name = list.substr(at, comma - at);
        bool *run = name == "gateway"   ? &c->run_gateway
                    : name == "floor"   ? &c->run_floor
                    : name == "churn"   ? &c->run_churn
                    : name == "icecast" ? &c->run_icecast
                                        : nullptr;
        if (run == nullptr) return false;
        *run = true;
    }
    return true;
}

// Reads the options into *c; false after the usage when they are wrong.
bool parse_args(int argc, char **argv, config *c) {
    std::string only;
    bool ok = bench_parse_args(argc, argv,
                               listener_bench_args(&c->listeners, &c->connect_rate, &c->seconds,
                                                   &c->gateway, &only,
                                                   {{"workers", &c->workers},
                                                    {"churn-listeners", &c->churn_listeners},
                                                    {"churn-rate", &c->churn_rate},
                                                    {"churn-seconds", &c->churn_seconds},
                                                    {"other", &c->other}})) &&
              (only.empty() || pick_runs(only, c));
    // Bounded in count and time: the whole run stays within a few minutes.
    ok = ok && c->workers >= 1 && c->workers <= 8 && c->listeners >= 1 && c->listeners <= 40000 &&
         c->listeners <= 10000 * c->workers && c->churn_listeners >= 1 &&
         c->churn_listeners <= 10000 * c->workers && c->connect_rate >= 1 && c->seconds >= 1 &&
         c->seconds <= 120 && c->churn_rate >= 1 && c->churn_rate <= 10000 &&
         c->churn_seconds >= 1 && c->churn_seconds <= 60 &&
         (c->run_gateway || c->run_floor || c->run_churn || c->run_icecast);
    if (!ok) fputs(USAGE, stderr);
    return ok && (!(c->run_gateway || c->run_churn) || gateway_given(c->gateway));
}

// Asks for path at port until its body flows (20 s at most).
bool wait_for_stream(uint16_t port, const std::string &path) {
    double give_up = listeners_now() + 20;
    while (listeners_now() < give_up) {
        listener_set set;
        listeners_open(&set);
        size_t i = listener_start(&set, 0, port, path, 65536);
        for (int t = 0; t < 20 && set.all[i].fd >= 0 && set.all[i].body_bytes == 0; t++)
            listeners_run(&set, 50);
        bool flowing = set.all[i].body_bytes > 0;
        listeners_close_all(&set);
        if (flowing) return true;
        usleep(200 * 1000);
    }
    fprintf(stderr, "gateway_load_bench: nothing flows from 127.0.0.1:%u%s\n", port, path.c_str());
    return false;
}

void print_result(const run_result &r, int asked) {
    printf("== %s: %d listeners asked\n", r.name.c_str(), asked);
    printf("  lost nothing (one unbroken run, at most %.0f s behind): %d/%d; most behind %.2f s\n",
           LAG_LIMIT_S, r.whole, asked, r.worst_lag_s);
    int late = 0;
    for (double ms : r.first_ms) late += ms > 300;
    printf(
        "  first audio byte after connect(), ms: median %.1f, p99 %.1f, largest %.1f; "
        "over 300 ms %d, none %d\n",
        percentile(r.first_ms, 50), percentile(r.first_ms, 99), percentile(r.first_ms, 100), late,
        asked - static_cast<int>(r.first_ms.size()));
    printf("  CPU, %% of one core: while connecting (and 3 s) %.1f, measured %.1f; threads %d\n",
           100 * r.cpu_connect, 100 * r.cpu_measured, r.threads);
    printf("  writes over the measured seconds: %.0f a second, %.2f MB a second\n", r.writes_per_s,
           r.bytes_per_s / 1e6);
    printf("  RSS at the end %.1f MiB, peak %.1f MiB\n", r.rss_kib / 1024.0, r.hwm_kib / 1024.0);
    for (const std::string &f : r.faults) printf("  fault: %s\n", f.c_str());
}

// The other build of the gateway, when one is given, on OTHER_PORT; false
// (said) when it does not serve.
bool start_other(const config &conf, const std::string &dir, const std::string &most,
                 child_proc *other) {
    if (conf.other.empty() || !conf.run_gateway) return true;
    return proc_start(other, {conf.other, "--listen", "127.0.0.1:8003", "--listeners", most}, dir,
                      "other", false) &&
           wait_for_stream(OTHER_PORT, "/channels/1");
}

// The radio, and the gateways and the floor on it as the runs need them,
// started; false (said) when one does not serve. All stay up through the
// runs, so that each, idle, hears the radio while another is measured.
bool start_radio(const config &conf, const bench_radio &r, child_proc *server, child_proc *gw,
                 child_proc *other, child_proc *floor) {
    const std::string &dir = r.dir;
    bool gateway = conf.run_gateway || conf.run_churn;
    if (!gateway && !conf.run_floor) return true;
    std::string most = std::to_string(std::max(conf.listeners, conf.churn_listeners));
    std::string port = std::to_string(DEFAULT_PORT), http = std::to_string(FLOOR_PORT);
    // Every listener comes from one address: its share is not limited.
    return proc_start(server, {BENCH_SERVER, "-S", "1995", r.folder}, dir, "server", false) &&
           (!gateway ||
            (proc_start(gw,
                        {conf.gateway, "--listen", "127.0.0.1:8000", "--listeners", most,
                         "--each-address", "0"},
                        dir, "gateway", false) &&
             wait_for_stream(GATEWAY_PORT, "/channels/1"))) &&
           start_other(conf, dir, most, other) &&
           (!conf.run_floor ||
            (proc_start(floor, {conf.floor, DEFAULT_MGROUP, port, http}, dir, "floor", false) &&
             wait_for_stream(FLOOR_PORT, "/channels/1")));
}

run_result gateway_run(const config &conf, const std::string &dir, const programme_index &x,
                       pid_t gw, int count, bool churn) {
    run_result r = run_listeners(conf, dir, x, gw, GATEWAY_PORT, "/channels/1", count, churn);
    r.name = "stream_gateway";
    if (churn)
        r.name += ", " + std::to_string(static_cast<int>(conf.churn_rate)) +
                  " connect-and-close a second for " +
                  std::to_string(static_cast<int>(conf.churn_seconds)) + " s";
    return r;
}

run_result other_run(const config &conf, const std::string &dir, const programme_index &x,
                     pid_t other) {
    run_result r =
        run_listeners(conf, dir, x, other, OTHER_PORT, "/channels/1", conf.listeners, false);
    r.name = "stream_gateway " + conf.other;
    return r;
}

run_result floor_run(const config &conf, const std::string &dir, const programme_index &x,
                     pid_t floor) {
    run_result r =
        run_listeners(conf, dir, x, floor, FLOOR_PORT, "/channels/1", conf.listeners, false);
    r.name = "fanout_floor";
    return r;
}

// Icecast with ffmpeg as its source, and the listeners.
bool icecast_run(const config &conf, const std::string &dir, const std::string &piece,
                 const programme_index &x, run_result *r) {
    child_proc ice, source;
    bool ok = start_icecast(conf.listeners + 100, ICECAST_PORT, dir, &ice) &&
              wait_until([] { return accepts(ICECAST_PORT); }, 5000) &&
              start_source(dir, piece, ICECAST_PORT, &source) &&
              wait_for_stream(ICECAST_PORT, ICECAST_MOUNT);
    if (ok) {
        *r = run_listeners(conf, dir, x, ice.pid, ICECAST_PORT, ICECAST_MOUNT, conf.listeners,
                           false);
        r->name = "icecast2";
    }
    stop_process(&source, "ffmpeg", false);  // it ends with status 255 on SIGTERM
    stop_process(&ice, "icecast2", true);
    return ok;
}

// The gateway's CPU over the floor's, when the floor served every listener
// whole; true when within the target.
bool floor_verdict(const config &conf, const run_result &gw, const run_result &fl) {
    bool whole = fl.whole == conf.listeners;
    printf("floor: every listener whole: %s\n", whole ? "met" : "MISSED");
    if (!conf.run_gateway || !whole || fl.cpu_measured <= 0) return whole;
    double ratio = gw.cpu_measured / fl.cpu_measured;
    printf(
        "gateway CPU / floor CPU at %d listeners: %.2f (%.1f / %.1f %% of a core; "
        "target <= %.1f): %s\n",
        conf.listeners, ratio, 100 * gw.cpu_measured, 100 * fl.cpu_measured, FLOOR_RATIO_TARGET,
        ratio <= FLOOR_RATIO_TARGET ? "met" : "MISSED");
    return ratio <= FLOOR_RATIO_TARGET;
}

// The other build beside this one and the floor: figures only, no target.
void other_figures(const config &conf, const run_result &gw, const run_result &ot,
                   const run_result &fl) {
    if (ot.cpu_measured <= 0) return;
    if (fl.cpu_measured > 0)
        printf("other CPU / floor CPU at %d listeners: %.2f (%.1f %% of a core)\n", conf.listeners,
               ot.cpu_measured / fl.cpu_measured, 100 * ot.cpu_measured);
    printf("gateway CPU / other CPU at %d listeners: %.2f\n", conf.listeners,
           gw.cpu_measured / ot.cpu_measured);
}

// The gateway's targets; true when it met them. fl: the floor with as many
// listeners; eq: the gateway run with as many listeners as Icecast served
// whole, when that was fewer.
bool verdict(const config &conf, const run_result &gw, const run_result &fl,
             const run_result &churn, const run_result &ice, const run_result &eq) {
    bool ok = true;
    if (conf.run_gateway) {
        bool met = gw.whole == conf.listeners && percentile(gw.first_ms, 99) <= 300 &&
                   gw.cpu_measured <= 0.5 && gw.hwm_kib <= 300 * 1024;
        printf(
            "gateway: every listener whole, p99 <= 300 ms, CPU <= 50 %%, peak RSS <= 300 MB: %s\n",
            met ? "met" : "MISSED");
        ok = ok && met;
    }
    if (conf.run_floor) ok = floor_verdict(conf, gw, fl) && ok;
    const run_result &same = eq.listeners > 0 ? eq : gw;
    if (conf.run_gateway && conf.run_icecast && ice.cpu_measured > 0) {
        double ratio = same.cpu_measured / ice.cpu_measured;
        printf(
            "gateway CPU / Icecast CPU at equal listeners (%d and %d whole): %.3f "
            "(target <= 0.5)\n",
            same.whole, ice.whole, ratio);
        ok = ok && ratio <= 0.5;
    }
    if (conf.run_churn) {
        printf("churn: every listener whole: %s\n",
               churn.whole == conf.churn_listeners ? "met" : "MISSED");
        ok = ok && churn.whole == conf.churn_listeners;
    }
    printf("%s\n", ok ? "all targets met" : "SOME TARGET MISSED");
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    config conf;
    if (!parse_args(argc, argv, &conf)) return 1;
    bench_radio r;
    if (!enter_bench_radio(LONG_PIECE_S, &r)) return 1;
    const std::string &dir = r.dir;
    programme_index x = index_of(programme({r.piece}));
    run_result gw, ot, fl, churn, ice, eq;
    child_proc server, gateway, other, floor;
    bool ran = start_radio(conf, r, &server, &gateway, &other, &floor);
    if (ran && conf.run_gateway) gw = gateway_run(conf, dir, x, gateway.pid, conf.listeners, false);
    if (ran && other.pid > 0) ot = other_run(conf, dir, x, other.pid);
    if (ran && conf.run_floor) fl = floor_run(conf, dir, x, floor.pid);
    if (ran && conf.run_churn)
        churn = gateway_run(conf, dir, x, gateway.pid, conf.churn_listeners, true);
    ran = ran && (!conf.run_icecast || icecast_run(conf, dir, r.piece, x, &ice));
    // Icecast served fewer: the gateway again with as many, for CPU at equal listeners.
    if (ran && conf.run_gateway && conf.run_icecast && ice.whole > 0 && ice.whole < conf.listeners)
        eq = gateway_run(conf, dir, x, gateway.pid, ice.whole, false);
    stop_process(&floor, "fanout_floor", true);
    if (other.pid > 0) stop_process(&other, "stream_gateway", true);
    stop_process(&gateway, "stream_gateway", true);
    stop_process(&server, "stream_server", true);
    if (conf.run_gateway) print_result(gw, conf.listeners);
    if (ot.listeners > 0) print_result(ot, conf.listeners);
    if (conf.run_floor) print_result(fl, conf.listeners);
    if (conf.run_churn) print_result(churn, conf.churn_listeners);
    if (conf.run_icecast) print_result(ice, conf.listeners);
    if (eq.listeners > 0) print_result(eq, ice.whole);
    if (ran) other_figures(conf, gw, ot, fl);
    bool ok = ran && verdict(conf, gw, fl, churn, ice, eq);
    if (!ran) run_shell("cd '" + dir + "' && tail -n 5 *.err icecast-log/error.log >&2");
    remove_tree(dir);
    return ok ? 0 : 1;
}
