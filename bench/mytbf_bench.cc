// mytbf_bench.cc - what a token costs: a fetch + give-back pair on a full
// bucket next to a bare mutex lock/unlock pair, alone and with two threads
// on one bucket (one mutex); what a refill tick costs with 1024 live
// buckets; and how long a fetch may wait when many threads share a slow
// bucket, beside another build of the library (--old-library).
//
// The refill scan is private to the library, so it is measured two ways:
// from outside, by the refill thread's CPU clock read between two
// consecutive ticks (a waiter on a tick bucket wakes in the middle of each
// scan, so the span between two wake-ups holds exactly one scan and one
// sleep/wake-up); and by a replica of the scan's loop over real buckets,
// timed in a tight loop.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "mytbf.h"
#include "mytbf_internal.h"

namespace {

// Rate and burst of the full bucket: a tick adds rate to a full bucket
// before it cuts back to burst, so the two must sum below INT_MAX.
constexpr int BIG = 1 << 29;
constexpr int MAX_BUCKETS = MYTBF_MAX;

pthread_mutex_t bare_mutex = PTHREAD_MUTEX_INITIALIZER;
mytbf_bucket *full_bucket = nullptr;  // never runs dry
mytbf_bucket *tick_bucket = nullptr;  // rate 1, burst 1: one fetch per tick
clockid_t refill_clock = 0;

// The two pair benchmarks run alike, so that their medians compare.
void pair_settings(benchmark::internal::Benchmark *b) {
    b->Threads(1)->Threads(2)->UseRealTime()->MinTime(0.25)->Repetitions(9);
    b->DisplayAggregatesOnly(true);
}

void BM_mutex_pair(benchmark::State &state) {
    for (auto _ : state) {
        pthread_mutex_lock(&bare_mutex);
        pthread_mutex_unlock(&bare_mutex);
    }
}
BENCHMARK(BM_mutex_pair)->Apply(pair_settings);

void BM_fetch_return_pair(benchmark::State &state) {
    for (auto _ : state) {
        int n = mytbf_fetchtoken(full_bucket, 1);
        benchmark::DoNotOptimize(n);
        mytbf_returntoken(full_bucket, n);
    }
}
BENCHMARK(BM_fetch_return_pair)->Apply(pair_settings);

double thread_cpu_s(clockid_t clock) {
    timespec ts;
    if (clock_gettime(clock, &ts) < 0) return -1;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Per-tick samples of the refill thread's CPU time in microseconds, by the
// number of live buckets; the noise of a shared machine only ever adds, so
// the smallest sample is the best estimate and the median shows the spread.
std::map<int64_t, std::vector<double>> tick_us;

// Refill thread CPU per tick with state.range(0) live buckets in all (the
// full bucket and the tick bucket count).
void BM_refill_tick(benchmark::State &state) {
    std::vector<mytbf_bucket *> extra;
    for (int i = 2; i < state.range(0); i++) extra.push_back(mytbf_init(1, 1));
    mytbf_fetchtoken(tick_bucket, 1);  // in step with the ticks
    for (auto _ : state) {
        double before = thread_cpu_s(refill_clock);
        mytbf_fetchtoken(tick_bucket, 1);
        double after = thread_cpu_s(refill_clock);
        state.SetIterationTime(after - before);
        tick_us[state.range(0)].push_back((after - before) * 1e6);
    }
    for (mytbf_bucket *b : extra) mytbf_destroy(b);
    state.counters["live_buckets"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_refill_tick)
    ->Arg(2)
    ->Arg(MAX_BUCKETS)
    ->Iterations(10)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// The scan's own loop over 1024 live buckets, timed in a tight loop: the
// library keeps its scan (refill_all) and its table private, so this walks
// real buckets made by mytbf_init with the scan's own per-bucket step
// (refill_bucket from mytbf_internal.h), under one outer mutex standing in
// for mut_job. No thread waits on them.
void BM_scan_replica(benchmark::State &state) {
    std::vector<mytbf_bucket *> live;
    for (int i = 2; i < MAX_BUCKETS; i++) live.push_back(mytbf_init(1, 1));
    std::vector<mytbf_bucket *> table(MAX_BUCKETS, nullptr);
    for (size_t i = 0; i < live.size(); i++) table[i] = live[i];
    table[MAX_BUCKETS - 2] = full_bucket;
    table[MAX_BUCKETS - 1] = tick_bucket;
    pthread_mutex_t outer = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&outer);
        for (mytbf_bucket *b : table) {
            if (b != nullptr) refill_bucket(b);
        }
        pthread_mutex_unlock(&outer);
    }
    for (mytbf_bucket *b : live) mytbf_destroy(b);
}
BENCHMARK(BM_scan_replica)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(3)
    ->DisplayAggregatesOnly(true);

// The ids of this process's threads.
std::vector<pid_t> thread_ids() {
    std::vector<pid_t> ids;
    DIR *d = opendir("/proc/self/task");
    if (!d) return ids;
    while (dirent *e = readdir(d)) {
        pid_t tid = atoi(e->d_name);
        if (tid > 0) ids.push_back(tid);
    }
    closedir(d);
    return ids;
}

// The refill thread is the one thread that the first mytbf_init added. Its
// CPU clock id is built as glibc builds pthread_getcpuclockid's (per-thread,
// scheduler clock).
bool find_refill_clock(const std::vector<pid_t> &before) {
    pid_t refill_tid = 0;
    int added = 0;
    for (pid_t tid : thread_ids()) {
        if (std::find(before.begin(), before.end(), tid) == before.end()) {
            refill_tid = tid;
            added++;
        }
    }
    if (added != 1) return false;
    refill_clock = static_cast<clockid_t>((~static_cast<unsigned>(refill_tid) << 3) | 6);
    return thread_cpu_s(refill_clock) >= 0;
}

// Prints the ratios the targets are stated in, from the medians of the runs.
class ratio_reporter : public benchmark::ConsoleReporter {
public:
    ratio_reporter() : ConsoleReporter(isatty(1) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median_ns[r.run_name.str()] = r.GetAdjustedRealTime();
    }
    std::map<std::string, double> median_ns;
};

// The median of the benchmark whose name starts with base and holds part.
double find_median(const ratio_reporter &rep, const std::string &base, const std::string &part) {
    for (const auto &[name, t] : rep.median_ns)
        if (name.rfind(base, 0) == 0 && name.find(part) != std::string::npos) return t;
    return 0;
}

double median_of(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Fairness: FAIR_THREADS threads each fetch one token at a time, in a loop,
// from one bucket of rate and burst FAIR_RATE, for a number of ticks. A
// bucket that serves its waiters in turn makes each wait about
// FAIR_THREADS / FAIR_RATE ticks; one that does not lets some wait far
// longer while others take token after token.
constexpr int FAIR_THREADS = 16, FAIR_RATE = 4;

// The calls the fairness run makes: this tree's library, or another build
// of it loaded with dlopen.
struct library_calls {
    std::string name;
    mytbf_bucket *(*init)(int, int);
    int (*timed_fetch)(mytbf_bucket *, int, const timespec *);
    int (*destroy)(mytbf_bucket *);
};

struct fair_result {
    double longest_s = 0;      // the longest one fetch waited
    long least = 0, most = 0;  // tokens one thread got, fewest and most
};

double mono_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Runs the fairness case on lib until end (CLOCK_MONOTONIC). A wait that
// the end cuts short counts for as long as it lasted.
fair_result measure_fairness(const library_calls &lib, const timespec &end) {
    mytbf_bucket *b = lib.init(FAIR_RATE, FAIR_RATE);
    std::vector<double> longest(FAIR_THREADS, 0);
    std::vector<long> got(FAIR_THREADS, 0);
    std::vector<std::thread> threads;
    for (int i = 0; b != nullptr && i < FAIR_THREADS; i++) {
        threads.emplace_back([&, i] {
            for (;;) {
                double start = mono_s();
                int n = lib.timed_fetch(b, 1, &end);
                longest[i] = std::max(longest[i], mono_s() - start);
                if (n < 1) break;
                got[i] += n;
            }
        });
    }
    for (auto &t : threads) t.join();
    if (b != nullptr) lib.destroy(b);
    fair_result r;
    r.longest_s = *std::max_element(longest.begin(), longest.end());
    r.least = *std::min_element(got.begin(), got.end());
    r.most = *std::max_element(got.begin(), got.end());
    return r;
}

// The library at path, loaded on its own (its calls bind to its own code,
// not to this program's copy); false with a message when it cannot be.
bool load_library(const char *path, library_calls *lib) {
    void *h = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
    if (h == nullptr) {
        fprintf(stderr, "mytbf_bench: %s\n", dlerror());
        return false;
    }
    lib->name = path;
    lib->init = reinterpret_cast<decltype(lib->init)>(dlsym(h, "mytbf_init"));
    lib->timed_fetch =
        reinterpret_cast<decltype(lib->timed_fetch)>(dlsym(h, "mytbf_timedfetchtoken"));
    lib->destroy = reinterpret_cast<decltype(lib->destroy)>(dlsym(h, "mytbf_destroy"));
    if (lib->init && lib->timed_fetch && lib->destroy) return true;
    fprintf(stderr, "mytbf_bench: %s lacks the library's calls\n", path);
    return false;
}

// Runs the fairness case for ticks seconds (the refill thread ticks once a
// second) on every library at once, and prints one line each.
void report_fairness(const std::vector<library_calls> &libs, int ticks) {
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &end);
    end.tv_sec += ticks;
    std::vector<fair_result> results(libs.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < libs.size(); i++)
        runs.emplace_back([&, i] { results[i] = measure_fairness(libs[i], end); });
    for (auto &t : runs) t.join();
    printf("fairness: rate %d, %d threads fetching 1 token in a loop from one bucket, %d ticks\n",
           FAIR_RATE, FAIR_THREADS, ticks);
    for (size_t i = 0; i < libs.size(); i++)
        printf("  %s: longest wait %.2f ticks, tokens per thread %ld to %ld\n",
               libs[i].name.c_str(), results[i].longest_s, results[i].least, results[i].most);
}

// Takes this program's own options out of the arguments: --old-library
// PATH, another build of the library for the fairness run, and
// --fairness-ticks N (default 25; 0 leaves the run out). False on misuse.
bool take_options(std::vector<char *> *args, const char **old_library, int *fair_ticks) {
    for (size_t i = 1; i < args->size();) {
        std::string a = (*args)[i];
        if ((a == "--old-library" || a == "--fairness-ticks") && i + 1 < args->size()) {
            if (a == "--old-library") *old_library = (*args)[i + 1];
            if (a == "--fairness-ticks") *fair_ticks = atoi((*args)[i + 1]);
            args->erase(args->begin() + static_cast<long>(i),
                        args->begin() + static_cast<long>(i) + 2);
        } else if (a == "--old-library" || a == "--fairness-ticks") {
            fprintf(stderr, "mytbf_bench: %s needs a value\n", a.c_str());
            return false;
        } else {
            i++;
        }
    }
    return *fair_ticks >= 0;
}

}  // namespace

int main(int argc, char **argv) {
    // Repetitions of the pair benchmarks interleave (in random order), so a
    // change of machine load hits the mutex and the token pair alike.
    std::vector<char *> args(argv, argv + argc);
    const char *old_library = nullptr;
    int fair_ticks = 25;
    if (!take_options(&args, &old_library, &fair_ticks)) return 1;
    std::vector<library_calls> libs = {
        {"this tree", mytbf_init, mytbf_timedfetchtoken, mytbf_destroy}};
    if (old_library != nullptr) {
        libs.emplace_back();
        if (!load_library(old_library, &libs.back())) return 1;
    }
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int nargs = static_cast<int>(args.size());
    benchmark::Initialize(&nargs, args.data());
    // A sanitizer may start a thread of its own at the first thread creation:
    // let that happen before the library starts its refill thread.
    pthread_t warmup;
    if (pthread_create(
            &warmup, nullptr, [](void *) -> void * { return nullptr; }, nullptr) == 0)
        pthread_join(warmup, nullptr);
    std::vector<pid_t> threads_before = thread_ids();
    full_bucket = mytbf_init(BIG, BIG);
    tick_bucket = mytbf_init(1, 1);
    if (!full_bucket || !tick_bucket) {
        fprintf(stderr, "mytbf_bench: mytbf_init failed\n");
        return 1;
    }
    // The first fetch waits for the first tick, which fills the big bucket.
    mytbf_returntoken(full_bucket, mytbf_fetchtoken(full_bucket, 1));
    if (!find_refill_clock(threads_before)) {
        fprintf(stderr, "mytbf_bench: cannot find the refill thread's CPU clock\n");
        return 1;
    }
    ratio_reporter rep;
    benchmark::RunSpecifiedBenchmarks(&rep);
    double mutex1 = find_median(rep, "BM_mutex_pair/", "threads:1");
    double mutex2 = find_median(rep, "BM_mutex_pair/", "threads:2");
    double pair1 = find_median(rep, "BM_fetch_return_pair/", "threads:1");
    double pair2 = find_median(rep, "BM_fetch_return_pair/", "threads:2");
    std::vector<double> &t2 = tick_us[2], &t1024 = tick_us[MAX_BUCKETS];
    printf("\n== mytbf: medians\n");
    if (mutex1 > 0 && pair1 > 0)
        printf("fetch+return pair, 1 thread:  %7.1f ns  bare mutex pair %7.1f ns  ratio %.2f\n",
               pair1, mutex1, pair1 / mutex1);
    if (mutex2 > 0 && pair2 > 0)
        printf("fetch+return pair, 2 threads: %7.1f ns  bare mutex pair %7.1f ns  ratio %.2f\n",
               pair2, mutex2, pair2 / mutex2);
    double replica = find_median(rep, "BM_scan_replica", "");
    if (replica > 0)
        printf("scan loop over 1024 live buckets (replica, warm caches): %.1f us\n", replica);
    if (!t2.empty() && !t1024.empty()) {
        double min2 = *std::min_element(t2.begin(), t2.end());
        double min1024 = *std::min_element(t1024.begin(), t1024.end());
        printf(
            "refill thread CPU per tick (min / median of %zu ticks): %.1f / %.1f us with 1024"
            " live buckets, %.1f / %.1f us with 2\n",
            t2.size(), min1024, median_of(t1024), min2, median_of(t2));
        printf("  so the scan of 1022 more live buckets costs ~ %.1f us (min) / %.1f us (median)\n",
               min1024 - min2, median_of(t1024) - median_of(t2));
    }
    if (fair_ticks > 0) report_fairness(libs, fair_ticks);
    benchmark::Shutdown();
    return 0;
}
