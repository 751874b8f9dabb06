// relay_bench.cc - how fast and how cheaply `client` relays one channel,
// next to socat and to floor_recv (receive and write, nothing else).
//
// The harness moves itself into a private network namespace before it opens
// a socket or starts a receiver, so nothing it sends or joins leaves it. Per
// run it starts receivers, each feeding its own count_sink, streams one
// channel at a set rate with its own paced sender, and compares the bytes
// each sink got with the bytes sent. It measures:
//   - each receiver's CPU time per 100,000 datagrams at fixed moderate
//     rates, evenly paced and in bursts, all receivers getting the same
//     stream at the same time (each datagram goes to each receiver's port),
//     so that they meet the same load; next to the client runs plain_client,
//     the same relay written the plain way;
//   - the highest rate of a rising ladder that a receiver follows with no
//     loss over a short run, per payload size; here one receiver runs at a
//     time, and the receivers take turns at each step.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench_util.h"
#include "defaults.h"
#include "mcast_sender.h"
#include "netns.h"
#include "sink_counter.h"

#ifndef BENCH_CLIENT
#define BENCH_CLIENT "client"
#endif
#ifndef BENCH_FLOOR
#define BENCH_FLOOR "floor_recv"
#endif
#ifndef BENCH_PLAIN
#define BENCH_PLAIN "plain_client"
#endif
#ifndef BENCH_SINK
#define BENCH_SINK "count_sink"
#endif

namespace {

constexpr const char *GROUP = DEFAULT_MGROUP;
constexpr int CHNID = 1;
constexpr int FIRST_PORT = 20000;
constexpr int NKINDS = 4;
enum receiver_kind { CLIENT = 0, PLAIN = 1, SOCAT = 2, FLOOR = 3 };
const char *const KIND_NAME[NKINDS] = {"client", "plain", "socat", "floor"};

// One setting of the CPU figure: payload size, datagrams per group sent back
// to back (1: evenly paced), mean rate in datagrams/s.
struct cpu_case {
    int payload;
    int burst;
    double rate;
};

struct bench_conf {
    std::string client = BENCH_CLIENT;
    std::string floor = BENCH_FLOOR;
    std::string plain = BENCH_PLAIN;
    std::string sink = BENCH_SINK;
    std::string socat = "/usr/bin/socat";
    int rounds = 3;
    std::vector<int> payloads{1024, 8192};
    std::vector<cpu_case> cpu_cases{{1024, 1, 10000}, {1024, 16, 10000}, {8192, 1, 5000}};
    long cpu_count = 10000;     // datagrams per CPU run
    int cpu_runs = 4;           // CPU runs per case and round
    double step_seconds = 0.5;  // length of one ladder step
    double ladder_first = 1000;
    double ladder_last = 300000;
    double ladder_factor = 1.5;
    double budget_s = 420;  // stop starting new runs after this
    bool enabled[NKINDS] = {true, true, true, true};
    bool ladder = true;  // false: CPU figures only
};

// Shared state of the harness: where the sink counts, which port is next.
struct bench_env {
    std::string dir;
    std::string counter_path;
    sink_counter *counter = nullptr;  // one slot per receiver kind
    int next_port = FIRST_PORT;
    double start = 0;
};

struct run_result {
    bool ok = false;                  // the run worked (receiver up, stream sent)
    long sent = 0;                    // data datagrams sent
    double send_s = 0;                // how long the sending took
    unsigned long long expected = 0;  // bytes the sink should get
    unsigned long long got = 0;       // bytes it got
    double cpu_s = 0;                 // receiver CPU while the stream flowed
};

void sleep_ms(int ms) {
    timespec ts{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
    }
}

// Starts argv with the given descriptors as 0, 1 and 2. The child dies with
// the harness. Every other descriptor of the harness is close-on-exec.
pid_t spawn(const std::vector<std::string> &argv, int in_fd, int out_fd, int err_fd) {
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork()");
        return -1;
    }
    if (pid > 0) return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

// True when a UDP socket in this namespace is bound to port.
bool port_bound(int port) {
    FILE *f = fopen("/proc/net/udp", "re");
    if (!f) return false;
    char line[512];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        unsigned addr, p;
        if (sscanf(line, " %*d: %x:%x", &addr, &p) == 2 && static_cast<int>(p) == port)
            found = true;
    }
    fclose(f);
    return found;
}

// CPU time of a process's main thread in seconds, from the scheduler's
// nanosecond count; -1 when it cannot be read.
double proc_cpu_s(pid_t pid) {
    std::string path = "/proc/" + std::to_string(pid) + "/schedstat";
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return -1;
    unsigned long long ns = 0;
    int got = fscanf(f, "%llu", &ns);
    fclose(f);
    return got == 1 ? static_cast<double>(ns) / 1e9 : -1;
}

int unread_in_pipe(int fd) {
    int n = 0;
    return ioctl(fd, FIONREAD, &n) < 0 ? -1 : n;
}

// Waits (bounded) for a process that is ours to end, then kills it.
void reap(pid_t pid, int timeout_ms) {
    if (pid <= 0) return;
    for (int waited = 0; waited < timeout_ms; waited += 5) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        sleep_ms(5);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// Waits until a sink has the expected bytes or its count has stood still
// for 300 ms (what is still missing then is lost); at most 5 s.
void wait_for_drain(const sink_counter *counter, unsigned long long expected) {
    unsigned long long last = counter->bytes.load();
    double still_since = now_s();
    double deadline = now_s() + 5;
    while (now_s() < deadline) {
        unsigned long long now_bytes = counter->bytes.load();
        if (now_bytes >= expected) return;
        if (now_bytes != last) {
            last = now_bytes;
            still_since = now_s();
        } else if (now_s() - still_since > 0.3) {
            return;
        }
        sleep_ms(2);
    }
}

// One receiver started for a run, with its sink and the sender aimed at it.
struct receiver_run {
    receiver_kind kind = CLIENT;
    int port = 0;
    sink_counter *counter = nullptr;  // its sink's slot in the counter file
    pid_t recv_pid = -1;
    pid_t sink_pid = -1;  // -1 when the sink is the receiver's own child
    int stdin_w = -1;     // the client's standard input, else -1
    mcast_sender s;
    double cpu0 = 0;  // receiver CPU when the stream started
};

// Starts the receiver of rr->kind on rr->port, feeding count_sink (slot).
bool start_receiver(const bench_conf &conf, const bench_env &env, int slot, int out_fd, int err_fd,
                    receiver_run *rr) {
    std::string port_text = std::to_string(rr->port);
    std::string slot_text = std::to_string(slot);
    int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    int p[2];
    if (devnull < 0 || pipe2(p, O_CLOEXEC) < 0) {
        perror("pipe()");
        if (devnull >= 0) close(devnull);
        return false;
    }
    if (rr->kind == CLIENT || rr->kind == PLAIN) {
        std::string player = "exec " + conf.sink + " " + env.counter_path + " " + slot_text;
        const std::string &prog = rr->kind == CLIENT ? conf.client : conf.plain;
        rr->recv_pid =
            spawn({prog, "-P", port_text, "-M", GROUP, "-p", player}, p[0], out_fd, err_fd);
        close(p[0]);
        rr->stdin_w = p[1];
        std::string choice = std::to_string(CHNID) + "\n";
        if (write(rr->stdin_w, choice.data(), choice.size()) != static_cast<ssize_t>(choice.size()))
            perror("write()");
    } else {
        rr->sink_pid = spawn({conf.sink, env.counter_path, slot_text}, p[0], devnull, devnull);
        std::vector<std::string> argv;
        if (rr->kind == SOCAT)
            argv = {conf.socat,
                    "-u",
                    "-b",
                    "65536",
                    "UDP4-RECV:" + port_text + ",ip-add-membership=" + GROUP + ":0.0.0.0",
                    "STDOUT"};
        else
            argv = {conf.floor, GROUP, port_text, std::to_string(CHNID)};
        rr->recv_pid = spawn(argv, devnull, p[1], err_fd);
        close(p[0]);
        close(p[1]);
    }
    close(devnull);
    return rr->recv_pid > 0;
}

// The client takes the list, then reads its choice; once the choice has
// left its standard input pipe it is in the data phase.
bool hand_client_the_list(const mcast_sender &s, int stdin_w) {
    std::vector<uint8_t> list = make_channel_list({{CHNID, "bench channel\n"}, {2, "other\n"}});
    for (int i = 0; i < 250; i++) {
        sender_send(s, list);
        sleep_ms(20);
        if (unread_in_pipe(stdin_w) == 0) return true;
    }
    return false;
}

// Starts a receiver of kind with its sink in counter slot slot, waits until
// it listens (the client: until it is in its data phase). out_path/err_path
// receive the receiver's output; without them both streams go to one open
// /dev/null, as when a service's log takes both.
bool start_run(const bench_conf &conf, bench_env *env, receiver_kind kind, int slot,
               receiver_run *rr, const std::string &out_path = "",
               const std::string &err_path = "") {
    rr->kind = kind;
    rr->port = env->next_port++;
    rr->counter = &env->counter[slot];
    rr->counter->bytes.store(0);
    rr->counter->pid.store(0);
    rr->counter->done.store(0);
    int out_fd = open(out_path.empty() ? "/dev/null" : out_path.c_str(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = err_path.empty()
                     ? fcntl(out_fd, F_DUPFD_CLOEXEC, 0)
                     : open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool up = out_fd >= 0 && err_fd >= 0 && start_receiver(conf, *env, slot, out_fd, err_fd, rr);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    for (int i = 0; up && i < 1000 && !(port_bound(rr->port) && rr->counter->pid.load() != 0); i++)
        sleep_ms(5);
    up = up && port_bound(rr->port) && rr->counter->pid.load() != 0;
    if (!up)
        fprintf(stderr, "relay_bench: %s did not come up on port %d\n", KIND_NAME[kind], rr->port);
    up = up && sender_open(&rr->s, GROUP, rr->port) == 0;
    if (up && (kind == CLIENT || kind == PLAIN) && !hand_client_the_list(rr->s, rr->stdin_w)) {
        fprintf(stderr, "relay_bench: %s did not read its choice after the list\n",
                KIND_NAME[kind]);
        up = false;
    }
    return up;
}

// After the stream: waits for the sink, takes the receiver's CPU and counts.
void finish_run(const receiver_run &rr, int payload, const send_result &sr, run_result *r) {
    r->sent = sr.sent;
    r->send_s = sr.seconds;
    r->expected = static_cast<unsigned long long>(sr.sent) *
                  static_cast<unsigned long long>(rr.kind == SOCAT ? payload + 1 : payload);
    wait_for_drain(rr.counter, r->expected);
    double cpu1 = proc_cpu_s(rr.recv_pid);
    r->got = rr.counter->bytes.load();
    r->cpu_s = cpu1 - rr.cpu0;
    r->ok = rr.cpu0 >= 0 && cpu1 >= 0 && sr.failed == 0;
    if (sr.failed) fprintf(stderr, "relay_bench: %ld sends failed\n", sr.failed);
}

// Stops the receiver and its sink (as subreaper we inherit the client's
// sink, its grandchild) and closes what the run held.
void stop_run(receiver_run *rr) {
    if (rr->recv_pid > 0) {
        kill(rr->recv_pid, SIGKILL);
        waitpid(rr->recv_pid, nullptr, 0);
    }
    if (rr->stdin_w >= 0) close(rr->stdin_w);
    if (rr->s.fd >= 0) close(rr->s.fd);
    reap(rr->sink_pid > 0 ? rr->sink_pid : rr->counter->pid.load(), 2000);
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    *rr = receiver_run{};
}

// One receiver alone: stream count datagrams of payload bytes at rate.
// settle_ms: how long the receiver may go on after its sink is complete
// (time to print what it still holds) before it is stopped.
run_result run_one(const bench_conf &conf, bench_env *env, receiver_kind kind, int payload,
                   double rate, long count, const std::string &out_path = "",
                   const std::string &err_path = "", int settle_ms = 0) {
    run_result r;
    receiver_run rr;
    if (start_run(conf, env, kind, 0, &rr, out_path, err_path)) {
        std::vector<uint8_t> msg = make_data_message(CHNID, payload);
        rr.cpu0 = proc_cpu_s(rr.recv_pid);
        send_result sr = sender_send_paced({&rr.s}, msg, rate, count);
        finish_run(rr, payload, sr, &r);
        sleep_ms(settle_ms);
    }
    stop_run(&rr);
    return r;
}

// All three receivers on one stream at once (each datagram goes to each of
// their ports, in turns), so that they meet the same load at the same time.
void run_together(const bench_conf &conf, bench_env *env, const cpu_case &cc, long count,
                  run_result r[NKINDS]) {
    int payload = cc.payload;
    receiver_run rr[NKINDS];
    std::vector<const mcast_sender *> to;
    bool up = true;
    for (int k = 0; k < NKINDS; k++) {
        r[k] = run_result{};
        if (!conf.enabled[k]) continue;
        up = start_run(conf, env, static_cast<receiver_kind>(k), k, &rr[k]) && up;
        to.push_back(&rr[k].s);
    }
    if (up && !to.empty()) {
        std::vector<uint8_t> msg = make_data_message(CHNID, payload);
        for (int k = 0; k < NKINDS; k++)
            if (conf.enabled[k]) rr[k].cpu0 = proc_cpu_s(rr[k].recv_pid);
        send_result sr = sender_send_paced(to, msg, cc.rate, count, cc.burst);
        for (int k = 0; k < NKINDS; k++)
            if (conf.enabled[k]) finish_run(rr[k], payload, sr, &r[k]);
    }
    for (int k = 0; k < NKINDS; k++)
        if (conf.enabled[k]) stop_run(&rr[k]);
}

double cpu_per_100k(const run_result &r, int payload, receiver_kind kind) {
    double per = kind == SOCAT ? payload + 1 : payload;
    double datagrams = static_cast<double>(r.got) / per;
    return datagrams > 0 ? r.cpu_s / datagrams * 100000 : 0;
}

// "1024 B even 10000/s" or "1024 B bursts of 16 10000/s".
std::string case_name(const cpu_case &cc) {
    std::string s = std::to_string(cc.payload) + " B ";
    s += cc.burst > 1 ? "bursts of " + std::to_string(cc.burst) : std::string("even");
    return s + " " + std::to_string(static_cast<long>(cc.rate)) + "/s";
}

bool over_budget(const bench_conf &conf, const bench_env &env) {
    return now_s() - env.start > conf.budget_s;
}

long count_lines_with(const std::string &path, const char *needle) {
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return -1;
    long n = 0;
    char *line = nullptr;
    size_t cap = 0;
    while (getline(&line, &cap, f) >= 0)
        if (strstr(line, needle)) n++;
    free(line);
    fclose(f);
    return n;
}

// Before the timed runs: the client relays a short stream with its output
// kept, and must have printed its list, one "raddr:" line per datagram and
// one acceptance line per datagram, all within half a second of the last.
bool check_client_prints(const bench_conf &conf, bench_env *env) {
    std::string out = env->dir + "/client.out", err = env->dir + "/client.err";
    const long n = 2000;
    run_result r = run_one(conf, env, CLIENT, 1024, 5000, n, out, err, 500);
    long accepts = count_lines_with(out, "Accept massage:1 recived.");
    long channels = count_lines_with(out, "channel:1bench channel");
    long raddrs = count_lines_with(err, "raddr:");
    printf(
        "client output check: %ld datagrams sent, %llu of %llu bytes relayed, "
        "%ld \"Accept massage\" lines, %ld \"raddr:\" lines, list printed: %s\n",
        r.sent, r.got, r.expected, accepts, raddrs, channels > 0 ? "yes" : "no");
    unlink(out.c_str());
    unlink(err.c_str());
    return r.ok && r.got == r.expected && accepts == n && raddrs >= n && channels > 0;
}

// CPU per 100,000 datagrams for each case of conf.cpu_cases, all receivers
// on one stream; cpu[kind][case index][run], -1 for a failed run. Several short runs
// rather than one long one: the machine's load changes, and the ratios are
// taken run by run, between receivers that saw the same moments.
void measure_cpu(const bench_conf &conf, bench_env *env, int round,
                 std::vector<std::vector<std::vector<double>>> *cpu) {
    for (int i = 0; i < conf.cpu_runs * static_cast<int>(conf.cpu_cases.size()); i++) {
        size_t pi = static_cast<size_t>(i) % conf.cpu_cases.size();
        const cpu_case &cc = conf.cpu_cases[pi];
        if (over_budget(conf, *env)) return;
        run_result r[NKINDS];
        run_together(conf, env, cc, conf.cpu_count, r);
        for (int k = 0; k < NKINDS; k++) {
            if (!conf.enabled[k]) continue;
            receiver_kind kind = static_cast<receiver_kind>(k);
            double v = cpu_per_100k(r[k], cc.payload, kind);
            printf(
                "cpu   round %d %s %-6s sent %6ld in %.2fs  got %5.1f%%  cpu %.3fs  "
                "=> %.3f s/100k\n",
                round + 1, case_name(cc).c_str(), KIND_NAME[kind], r[k].sent, r[k].send_s,
                r[k].expected
                    ? 100.0 * static_cast<double>(r[k].got) / static_cast<double>(r[k].expected)
                    : 0,
                r[k].cpu_s, v);
            (*cpu)[kind][pi].push_back(r[k].ok && v > 0 ? v : -1);
        }
        fflush(stdout);
    }
}

// What one step of the climb found for a receiver.
enum step_outcome { STEP_KEPT_UP, STEP_LOST, STEP_SENDER_BOUND };

// Runs one receiver at one rate; one stall of the machine can lose a step,
// so a loss is tried a second time before it counts.
step_outcome try_step(const bench_conf &conf, bench_env *env, int round, receiver_kind kind,
                      int payload, double rate) {
    long count = static_cast<long>(rate * conf.step_seconds);
    for (int attempt = 0; attempt < 2; attempt++) {
        run_result r = run_one(conf, env, kind, payload, rate, count);
        double achieved = r.send_s > 0 ? static_cast<double>(r.sent) / r.send_s : 0;
        bool lost = !r.ok || r.got < r.expected;
        printf("rate  round %d payload %5d %-6s %7.0f/s (sent at %7.0f/s)  got %llu of %llu%s\n",
               round + 1, payload, KIND_NAME[kind], rate, achieved, r.got, r.expected,
               lost ? "  LOSS" : "");
        fflush(stdout);
        if (r.ok && achieved < 0.9 * rate) return STEP_SENDER_BOUND;
        if (!lost) return STEP_KEPT_UP;
    }
    return STEP_LOST;
}

// Loss-free rate per receiver for one payload: climbs the ladder; a receiver
// drops out at the first step it loses (twice), and two bisection steps
// between its last good rate and that one narrow its result to within a
// factor of about 1.1. sender_bound is set when the sender itself could not
// reach a step, which ends the climb for everybody.
void measure_ladder(const bench_conf &conf, bench_env *env, int round, int payload,
                    double best[NKINDS], bool *sender_bound) {
    // The plain variant is there for the CPU figure only.
    bool alive[NKINDS] = {conf.enabled[CLIENT], false, conf.enabled[SOCAT], conf.enabled[FLOOR]};
    *sender_bound = false;
    for (int k = 0; k < NKINDS; k++) best[k] = 0;
    int step = 0;
    for (double rate : rate_ladder(conf.ladder_first, conf.ladder_last, conf.ladder_factor)) {
        if (!alive[CLIENT] && !alive[SOCAT] && !alive[FLOOR]) return;
        for (int k = 0; k < NKINDS; k++) {
            receiver_kind kind = static_cast<receiver_kind>((k + step) % NKINDS);
            if (!alive[kind]) continue;
            if (over_budget(conf, *env)) return;
            step_outcome o = try_step(conf, env, round, kind, payload, rate);
            if (o == STEP_SENDER_BOUND) {
                *sender_bound = true;
                return;
            }
            if (o == STEP_KEPT_UP) {
                best[kind] = rate;
                continue;
            }
            alive[kind] = false;
            double hi = rate;
            for (int b = 0; b < 2 && best[kind] > 0 && !over_budget(conf, *env); b++) {
                double mid = bisect_rate(best[kind], hi);
                if (mid <= best[kind] || mid >= hi) break;
                if (try_step(conf, env, round, kind, payload, mid) == STEP_KEPT_UP)
                    best[kind] = mid;
                else
                    hi = mid;
            }
        }
        step++;
    }
}

// Median of the measured values; runs that failed are stored as -1.
double median_valid(const std::vector<double> &values) {
    std::vector<double> ok;
    for (double v : values)
        if (v >= 0) ok.push_back(v);
    return median(ok);
}

// Ratios num[r] / den[r] of runs where both worked.
std::vector<double> run_ratios(const std::vector<double> &num, const std::vector<double> &den) {
    std::vector<double> out;
    for (size_t r = 0; r < num.size() && r < den.size(); r++)
        if (num[r] > 0 && den[r] > 0) out.push_back(num[r] / den[r]);
    return out;
}

void print_values(const std::vector<double> &v) {
    for (double x : v) printf(" %.2f", x);
}

// One table row; the ratios are given (medians of run-by-run ratios for CPU,
// ratios of the medians for rates).
void print_row(const char *what, double client, double socat, double floor_v, const char *unit,
               double client_socat, double client_floor) {
    printf("%-26s %10.3f %10.3f %10.3f %-8s  client/socat %.2f  client/floor %.2f\n", what, client,
           socat, floor_v, unit, client_socat, client_floor);
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0;
}

void usage() {
    fprintf(stderr,
            "Usage: relay_bench [--rounds N] [--quick] [--only client,plain,socat,floor]\n"
            "                   [--cpu-count N] [--no-ladder]\n"
            "                   [--cpu-case N] [--client PATH] [--plain PATH] [--floor PATH]\n"
            "                   [--sink PATH] [--socat PATH]\n");
}

bool parse_args(int argc, char **argv, bench_conf *conf) {
    bool quick = false, no_ladder = false;
    std::string only;
    int cpu_case = -1;
    if (!bench_parse_args(argc, argv,
                          {{"rounds", &conf->rounds},
                           {"quick", &quick},
                           {"only", &only},
                           {"cpu-count", &conf->cpu_count},
                           {"no-ladder", &no_ladder},
                           {"client", &conf->client},
                           {"floor", &conf->floor},
                           {"sink", &conf->sink},
                           {"socat", &conf->socat},
                           {"plain", &conf->plain},
                           {"cpu-case", &cpu_case}}))
        return false;
    if (quick) {
        conf->rounds = 1;
        conf->cpu_runs = 2;
        conf->step_seconds = 0.25;
    }
    for (int k = 0; k < NKINDS && !only.empty(); k++)
        conf->enabled[k] = strstr(only.c_str(), KIND_NAME[k]) != nullptr;
    conf->ladder = !no_ladder;
    if (cpu_case >= static_cast<int>(conf->cpu_cases.size())) return false;
    if (cpu_case >= 0) conf->cpu_cases = {conf->cpu_cases[static_cast<size_t>(cpu_case)]};
    return conf->rounds >= 1 && conf->rounds <= 9 && conf->cpu_count >= 1000 &&
           conf->cpu_count <= 2000000;
}

bool setup_env(bench_env *env) {
    char tmpl[] = "/tmp/relay_bench.XXXXXX";
    if (!mkdtemp(tmpl)) {
        perror("mkdtemp()");
        return false;
    }
    env->dir = tmpl;
    env->counter_path = env->dir + "/counter";
    int fd = open(env->counter_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    size_t size = SINK_SLOTS * sizeof(sink_counter);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) < 0) {
        perror("counter file");
        return false;
    }
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) {
        perror("mmap()");
        return false;
    }
    env->counter = static_cast<sink_counter *>(p);
    env->start = now_s();
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    bench_conf conf;
    if (!parse_args(argc, argv, &conf)) {
        usage();
        return 1;
    }
    for (const std::string &prog : {conf.client, conf.plain, conf.floor, conf.sink, conf.socat}) {
        if (access(prog.c_str(), X_OK) != 0) {
            fprintf(stderr, "relay_bench: %s is not an executable\n", prog.c_str());
            return 1;
        }
    }
    // Nothing is sent or joined unless this worked.
    // Everything that sends or joins is started after this and inherits it.
    std::string why = netns_enter_private();
    if (!why.empty()) {
        fprintf(stderr, "relay_bench: no private network namespace: %s\n", why.c_str());
        return 1;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    prctl(PR_SET_TIMERSLACK, 1);
    signal(SIGPIPE, SIG_IGN);
    bench_env env;
    if (!setup_env(&env)) return 1;

    bool prints_ok = !conf.enabled[CLIENT] || check_client_prints(conf, &env);
    if (!prints_ok) printf("WARNING: the client did not print every line it must print\n");

    size_t np = conf.payloads.size();
    size_t nc = conf.cpu_cases.size();
    std::vector<std::vector<std::vector<double>>> cpu(NKINDS, std::vector<std::vector<double>>(nc));
    std::vector<std::vector<std::vector<double>>> best(NKINDS,
                                                       std::vector<std::vector<double>>(np));
    std::vector<bool> capped(np, false);
    for (int round = 0; round < conf.rounds; round++) {
        measure_cpu(conf, &env, round, &cpu);
        for (size_t pi = 0; pi < np && conf.ladder; pi++) {
            double b[NKINDS];
            bool sender_bound = false;
            measure_ladder(conf, &env, round, conf.payloads[pi], b, &sender_bound);
            if (sender_bound) capped[pi] = true;
            for (int k = 0; k < NKINDS; k++) best[k][pi].push_back(b[k]);
        }
    }

    printf(
        "\n== relay: %d round(s); CPU: %d runs of %ld datagrams per case and round, medians"
        " (ratios: median of run-by-run ratios); rates: medians of rounds\n",
        conf.rounds, conf.cpu_runs, conf.cpu_count);
    printf("%-36s %8s %8s %8s %8s   %s\n", "CPU s/100k datagrams", "client", "plain", "socat",
           "floor", "client/floor client/socat plain/floor client/plain");
    for (size_t ci = 0; ci < nc; ci++) {
        auto m = [&](int k) { return median_valid(cpu[k][ci]); };
        auto rr = [&](int a, int b) { return median(run_ratios(cpu[a][ci], cpu[b][ci])); };
        printf("%-36s %8.3f %8.3f %8.3f %8.3f   %12.2f %12.2f %11.2f %12.2f\n",
               case_name(conf.cpu_cases[ci]).c_str(), m(CLIENT), m(PLAIN), m(SOCAT), m(FLOOR),
               rr(CLIENT, FLOOR), rr(CLIENT, SOCAT), rr(PLAIN, FLOOR), rr(CLIENT, PLAIN));
    }
    for (size_t pi = 0; pi < np; pi++) {
        std::string what = "loss-free rate, " + std::to_string(conf.payloads[pi]) + " B";
        double c = median(best[CLIENT][pi]), so = median(best[SOCAT][pi]),
               f = median(best[FLOOR][pi]);
        print_row(what.c_str(), c, so, f, "dgram/s", ratio(c, so), ratio(c, f));
        if (capped[pi])
            printf(
                "  (payload %d: the sender could not go faster; a receiver still without loss"
                " at the top step kept up with all it was sent)\n",
                conf.payloads[pi]);
    }
    for (size_t ci = 0; ci < nc; ci++) {
        printf("run-by-run CPU, %s: client/floor", case_name(conf.cpu_cases[ci]).c_str());
        print_values(run_ratios(cpu[CLIENT][ci], cpu[FLOOR][ci]));
        printf("\n  client/socat:");
        print_values(run_ratios(cpu[CLIENT][ci], cpu[SOCAT][ci]));
        printf("\n  plain/floor:");
        print_values(run_ratios(cpu[PLAIN][ci], cpu[FLOOR][ci]));
        printf("\n");
    }
    printf("per-round loss-free rates (client socat floor):");
    for (size_t pi = 0; pi < np; pi++) {
        printf(" [%d B:", conf.payloads[pi]);
        for (size_t r = 0; r < best[CLIENT][pi].size(); r++)
            printf(" %.0f/%.0f/%.0f", best[CLIENT][pi][r], best[SOCAT][pi][r], best[FLOOR][pi][r]);
        printf("]");
    }
    printf("\nclient printed every line it must: %s\n", prints_ok ? "yes" : "NO");
    unlink(env.counter_path.c_str());
    rmdir(env.dir.c_str());
    return prints_ok ? 0 : 2;
}
