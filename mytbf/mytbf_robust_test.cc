// mytbf_robust_test.cc - the token bucket library inside real programs:
// cancelled waiters, signals, clean-up after the exit handler, fork.
#include "mytbf.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mytbf_internal.h"
#include "proc.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

int waiters_of(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    int w = b->waiters;
    pthread_mutex_unlock(&b->mutex);
    return w;
}

timespec mono_after_ms(long ms) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

struct wait_arg {
    mytbf_bucket *b;
    bool timed;
    std::atomic<int> result{0};
};

void *waiting_fetch(void *p) {
    auto *a = static_cast<wait_arg *>(p);
    if (a->timed) {
        timespec far = mono_after_ms(3600 * 1000);
        a->result = mytbf_timedfetchtoken(a->b, 1, &far);
    } else {
        a->result = mytbf_fetchtoken(a->b, 1);
    }
    return nullptr;
}

// A fetch cancelled in its wait (blocking, or with a far deadline) leaves
// the bucket as it found it: mutex free, no waiter counted; the next fetch
// is served by the next refill.
TEST(Cancel, CancelledWaitLeavesTheBucketAsItFoundIt) {
    for (bool timed : {false, true}) {
        SCOPED_TRACE(timed ? "deadline fetch" : "blocking fetch");
        mytbf_bucket b;
        bucket_setup(&b, 2, 2, 0);
        wait_arg a{&b, timed};
        pthread_t t;
        ASSERT_EQ(0, pthread_create(&t, nullptr, waiting_fetch, &a));
        ASSERT_TRUE(wait_until([&] { return waiters_of(&b) == 1; }, 5000));
        pthread_cancel(t);
        void *res = nullptr;
        pthread_join(t, &res);
        EXPECT_EQ(PTHREAD_CANCELED, res);
        EXPECT_EQ(0, a.result);
        ASSERT_EQ(0, pthread_mutex_trylock(&b.mutex)) << "cancelled fetch kept the mutex";
        EXPECT_EQ(0, b.waiters.load());
        pthread_mutex_unlock(&b.mutex);

        wait_arg next{&b, timed};
        ASSERT_EQ(0, pthread_create(&t, nullptr, waiting_fetch, &next));
        ASSERT_TRUE(wait_until([&] { return waiters_of(&b) == 1; }, 5000));
        refill_bucket(&b);
        pthread_join(t, nullptr);
        EXPECT_EQ(1, next.result);
        bucket_teardown(&b);
    }
}

// A non-blocking fetch, and a deadline fetch whose deadline has passed (or
// whose arguments are bad), return at once: what the bucket holds, or why not.
TEST(TryFetch, TakesWhatIsThereOrFailsAtOnce) {
    const timespec past = mono_after_ms(-1000), bad_ns = {0, 1000000000L};
    const struct {
        const char *name;
        int tokens, size;
        bool try_only;             // mytbf_tryfetchtoken, else mytbf_timedfetchtoken
        const timespec *deadline;  // for the latter
        int want_result, want_tokens;
    } cases[] = {
        {"try on an empty bucket", 0, 1, true, nullptr, -EAGAIN, 0},
        {"try takes part", 5, 3, true, nullptr, 3, 2},
        {"try takes all there is", 5, 1024, true, nullptr, 5, 0},
        {"try of 0", 5, 0, true, nullptr, -EINVAL, 5},
        {"past deadline on an empty bucket", 0, 1, false, &past, -ETIMEDOUT, 0},
        {"past deadline on a filled bucket", 5, 2, false, &past, 2, 3},
        {"deadline fetch of -1", 5, -1, false, &past, -EINVAL, 5},
        {"no deadline", 0, 1, false, nullptr, -EINVAL, 0},
        {"deadline with a billion nanoseconds", 0, 1, false, &bad_ns, -EINVAL, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mytbf_bucket b;
        bucket_setup(&b, 5, 5, c.tokens);
        EXPECT_EQ(c.want_result, c.try_only ? mytbf_tryfetchtoken(&b, c.size)
                                            : mytbf_timedfetchtoken(&b, c.size, c.deadline));
        EXPECT_EQ(c.want_tokens, b.tokens.load());
        EXPECT_EQ(0, waiters_of(&b));
        bucket_teardown(&b);
    }
}

// A deadline that passes ends the wait after it, never before; a tick before
// the deadline ends it with the tick's tokens.
TEST(TimedFetch, EndsAtTheDeadlineOrAtTheTickBeforeIt) {
    mytbf_bucket b;
    bucket_setup(&b, 4, 4, 0);
    timespec deadline = mono_after_ms(300);
    EXPECT_EQ(-ETIMEDOUT, mytbf_timedfetchtoken(&b, 1, &deadline));
    timespec now = mono_after_ms(0);
    EXPECT_TRUE(now.tv_sec > deadline.tv_sec ||
                (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec))
        << "returned before its deadline";
    EXPECT_LT(now.tv_sec, deadline.tv_sec + 5) << "returned long after its deadline";

    std::atomic<int> got{0};
    std::thread t([&] {
        timespec far = mono_after_ms(60 * 1000);
        got = mytbf_timedfetchtoken(&b, 3, &far);
    });
    ASSERT_TRUE(wait_until([&] { return waiters_of(&b) == 1; }, 5000));
    refill_bucket(&b);
    EXPECT_TRUE(wait_until([&] { return got.load() != 0; }, 5000));
    t.join();
    EXPECT_EQ(3, got);
    EXPECT_EQ(1, b.tokens.load());
    bucket_teardown(&b);
}

// Seconds the conservation stress runs: 2, or MYTBF_STRESS_SECONDS (CI runs
// a longer one under ThreadSanitizer).
int stress_seconds() {
    const char *s = getenv("MYTBF_STRESS_SECONDS");
    int n = s ? atoi(s) : 0;
    return n > 0 && n <= 600 ? n : 2;
}

// The law a bucket obeys, checked over many threads and ticks that race
// with the lock-free fetch and give-back:
//   tokens taken <= tokens at the start + rate x ticks + tokens given back,
// with equality (counting the tokens left at the end) in a bucket whose
// burst is never reached, and 0 <= tokens <= burst at every moment. A lost
// or doubled update of the token count breaks one of these.
TEST(Conservation, TokensTakenNeverExceedTokensAddedAndGivenBack) {
    constexpr int FETCHERS = 6, RATE = 3;
    struct bucket_run {
        const char *name;
        int burst;
        mytbf_bucket b;
        std::atomic<long> taken{0}, given{0};
    } runs[2] = {{"burst never reached", 1 << 30, {}, {}, {}},
                 {"burst reached at most ticks", 5, {}, {}, {}}};
    for (auto &r : runs) bucket_setup(&r.b, RATE, r.burst, r.burst == 5 ? 5 : 0);
    const long start_tokens[2] = {0, 5};

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stress_seconds());
    std::atomic<int> running{FETCHERS};
    std::atomic<int> bad{0};
    long ticks = 0;
    std::vector<std::thread> threads;
    for (int w = 0; w < FETCHERS; w++) {
        threads.emplace_back([&, w] {
            long taken[2] = {0, 0}, given[2] = {0, 0};
            for (int i = 0; i < 100000000 && std::chrono::steady_clock::now() < deadline; i++) {
                int k = (w + i) % 2;
                mytbf_bucket *b = &runs[k].b;
                int size = 1 + i % 5;
                int n;
                if (i % 3 == 0) {
                    n = mytbf_fetchtoken(b, size);
                } else if (i % 3 == 1) {
                    n = mytbf_tryfetchtoken(b, size);
                    if (n == -EAGAIN) continue;
                } else {
                    timespec soon = mono_after_ms(1);
                    n = mytbf_timedfetchtoken(b, size, &soon);
                    if (n == -ETIMEDOUT) continue;
                }
                if (n < 1 || n > size) {
                    bad++;
                    continue;
                }
                taken[k] += n;
                int back = i % 4 == 0 ? n : n / 2;
                mytbf_returntoken(b, back);
                given[k] += back;
            }
            for (int k = 0; k < 2; k++) {
                runs[k].taken += taken[k];
                runs[k].given += given[k];
            }
            running--;
        });
    }
    // Ticks go on until every fetcher is done, so none stays blocked; the
    // bounds are checked between them.
    while (running > 0) {
        for (auto &r : runs) {
            refill_bucket(&r.b);
            int t = r.b.tokens.load();
            if (t < 0 || t > r.burst) bad++;
        }
        ticks++;
        std::this_thread::yield();
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, bad);
    for (int k = 0; k < 2; k++) {
        auto &r = runs[k];
        SCOPED_TRACE(r.name);
        long added = start_tokens[k] + RATE * ticks + r.given;
        long left = r.b.tokens.load();
        EXPECT_LE(r.taken + left, added);
        if (r.burst > RATE * ticks + start_tokens[k] + r.given) {
            EXPECT_EQ(added, r.taken + left);
        }
        EXPECT_GT(r.taken, 0);
        bucket_teardown(&r.b);
    }
    printf("%ld ticks, taken %ld and %ld\n", ticks, runs[0].taken.load(), runs[1].taken.load());
}

struct helper_case {
    const char *name;
    const char *mode;
};
const helper_case HELPER_CASES[] = {
    {"fetch cancelled while waiting, then exit", "cancel"},
    {"atexit handler registered first destroys and fetches", "atexit"},
    {"static destructor destroys", "static"},
    {"SIGUSR1 storm, then SIGTERM read through signalfd", "signals"},
};

// Runs every mode of the helper, built against the shipped library and
// against the copy with exceptions, all at once. Each must exit by itself
// with status 0 and nothing on stderr; under the sanitizers that also means
// no report (a use after free or a leak ends it non-zero).
TEST(RealPrograms, CancellationSignalsAndExitTimeCleanUpLeaveTheLibraryWorking) {
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    const char *helpers[] = {ROBUST_HELPER_PATH, ROBUST_HELPER_EH_PATH};
    struct run {
        const helper_case *c;
        const char *helper;
        child_proc p;
    };
    std::vector<run> runs;
    for (const char *h : helpers) {
        for (const auto &c : HELPER_CASES) runs.push_back({&c, h, {}});
    }
    for (size_t i = 0; i < runs.size(); i++) {
        ASSERT_TRUE(proc_start(&runs[i].p, {runs[i].helper, runs[i].c->mode}, dir,
                               std::string(runs[i].c->mode) + std::to_string(i), false));
    }
    for (auto &r : runs) {
        SCOPED_TRACE(std::string(r.c->name) + " (" + r.helper + ")");
        int status = 0;
        if (!proc_wait(&r.p, 20000, &status)) {
            ADD_FAILURE() << "did not exit";
            proc_kill(&r.p);
            continue;
        }
        std::string err = read_file(r.p.err_path);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status) << ", stderr: " << err;
        EXPECT_EQ(0, WEXITSTATUS(status)) << err;
        EXPECT_EQ("", err);
    }
    remove_tree(dir);
}

// fork at any moment, from a process whose scans run back to back over many
// live buckets while other threads fetch: every child gets a library that
// works, with its own refill thread, for its own and for inherited buckets.
//
// Plain build only: the sanitizers do not support threads started in the
// child of a multithreaded fork (their runtimes keep locks of their own).
TEST(Fork, ChildrenForkedDuringScansAndFetchesGetAWorkingLibrary) {
    if (SANITIZED) GTEST_SKIP() << "threads in the child of a threaded fork: plain build only";
    constexpr int LIVE = 500, FORKERS = 4, CHILDREN_EACH = 75;
    constexpr int BIG = 1 << 29;
    std::vector<mytbf_bucket *> live;
    for (int i = 0; i < LIVE; i++) live.push_back(mytbf_init(1 + i % 3, 5));
    mytbf_bucket *inherited = mytbf_init(BIG, BIG);
    ASSERT_NE(nullptr, inherited);
    mytbf_returntoken(inherited, BIG);

    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    busy.emplace_back([&] {
        while (!stop) refill_all();
    });
    for (int w = 0; w < 2; w++) {
        busy.emplace_back([&, w] {
            for (int i = 0; !stop; i++) {
                mytbf_bucket *b = i % 2 ? inherited : live[(w + i) % LIVE];
                int n = mytbf_fetchtoken(b, 2);
                if (n > 0) mytbf_returntoken(b, n);
            }
        });
    }

    // A child exits 0 when both fetches returned within 3 s; a hung one is
    // ended by SIGALRM.
    auto child = [&] {
        alarm(20);
        auto t0 = std::chrono::steady_clock::now();
        mytbf_bucket *mine = mytbf_init(1, 1);
        if (mine == nullptr) _exit(2);
        if (mytbf_fetchtoken(mine, 1) != 1) _exit(3);
        if (mytbf_fetchtoken(inherited, 1) != 1) _exit(4);
        if (std::chrono::steady_clock::now() - t0 > std::chrono::seconds(3)) _exit(5);
        exit(0);  // through the library's exit handler, which stops the child's refill thread
    };
    std::vector<pid_t> kids[FORKERS];
    std::vector<std::thread> forkers;
    for (int f = 0; f < FORKERS; f++) {
        forkers.emplace_back([&, f] {
            for (int i = 0; i < CHILDREN_EACH; i++) {
                pid_t pid = fork();
                if (pid == 0) child();
                if (pid > 0) kids[f].push_back(pid);
                usleep(1000);
            }
        });
    }
    for (auto &t : forkers) t.join();
    stop = true;
    for (auto &t : busy) t.join();

    int ok = 0, late = 0, failed = 0;
    for (auto &v : kids) {
        for (pid_t pid : v) {
            int st = 0;
            if (waitpid(pid, &st, 0) != pid) {
                failed++;
            } else if (WIFEXITED(st) && WEXITSTATUS(st) == 0) {
                ok++;
            } else if (WIFEXITED(st) && WEXITSTATUS(st) == 5) {
                late++;
            } else {
                failed++;
                ADD_FAILURE() << "child " << pid << ": status " << st;
            }
        }
    }
    EXPECT_EQ(FORKERS * CHILDREN_EACH, ok + late + failed);
    EXPECT_EQ(0, failed);
    EXPECT_LE(late, FORKERS * CHILDREN_EACH / 10) << "children slower than 3 s";
    for (auto *b : live) mytbf_destroy(b);
    mytbf_destroy(inherited);
}

}  // namespace
