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
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mytbf_internal.h"
#include "mytbf_test_util.h"

namespace {

// A fetch cancelled in its wait (blocking, or with a far deadline) leaves
// the bucket as it found it: mutex free, out of the line; the next fetch is
// served by the next refill. One cancelled after its tokens were handed to
// it, before it could take them, passes them to the next in line.
TEST(Cancel, CancelledWaitLeavesTheBucketAsItFoundIt) {
    for (long deadline_ms : {-1L, 3600 * 1000L}) {
        SCOPED_TRACE(deadline_ms < 0 ? "blocking fetch" : "deadline fetch");
        mytbf_bucket b;
        bucket_setup(&b, 1, 2, 0);
        fetch_thread a = {&b, 1, deadline_ms};
        ASSERT_TRUE(start_in_line(&a, 0));
        pthread_cancel(a.thread);
        void *res = nullptr;
        pthread_join(a.thread, &res);
        EXPECT_EQ(PTHREAD_CANCELED, res);
        EXPECT_EQ(NOT_YET, a.result);
        ASSERT_EQ(0, pthread_mutex_trylock(&b.mutex)) << "cancelled fetch kept the mutex";
        EXPECT_EQ(nullptr, b.first);
        EXPECT_FALSE(state_of(&b).queued);
        pthread_mutex_unlock(&b.mutex);

        fetch_thread served = {&b, 1, deadline_ms}, next = {&b, 1, deadline_ms};
        ASSERT_TRUE(start_in_line(&served, 0));
        ASSERT_TRUE(start_in_line(&next, 1));
        // The tick serves the first while it cannot yet run: it is cancelled.
        pthread_mutex_lock(&b.mutex);
        pthread_cancel(served.thread);
        tick_unlocked(&b);
        pthread_mutex_unlock(&b.mutex);
        pthread_join(served.thread, &res);
        EXPECT_EQ(PTHREAD_CANCELED, res);
        EXPECT_TRUE(wait_until([&] { return next.result == 1; }, 5000)) << next.result;
        pthread_join(next.thread, nullptr);
        EXPECT_EQ(0, tokens_of(&b));
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
        EXPECT_EQ(c.want_tokens, tokens_of(&b));
        EXPECT_EQ(0, line_length(&b));
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

    fetch_thread f = {&b, 3, 60 * 1000};
    ASSERT_TRUE(start_in_line(&f, 0));
    EXPECT_EQ(3, result_after_tick(&f));
    EXPECT_EQ(1, tokens_of(&b));
    bucket_teardown(&b);
}

// The law a bucket obeys, checked over many threads and ticks that race
// with the lock-free fetch and give-back, with waiters in line and leaving
// it, and with a new rate (and in the second bucket a new burst) before
// every tick:
//   tokens taken <= tokens at the start + the rates of the ticks + tokens
//   given back,
// with equality (counting the tokens left at the end) in a bucket whose
// burst is never reached, and 0 <= tokens <= burst at every tick. A lost or
// doubled update of the token count breaks one of these.
TEST(Conservation, TokensTakenNeverExceedTokensAddedAndGivenBack) {
    constexpr int FETCHERS = 6;
    struct bucket_run {
        const char *name;
        int burst;
        mytbf_bucket b;
        std::atomic<long> taken{0}, given{0};
    } runs[2] = {{"burst never reached", 1 << 30, {}, {}, {}},
                 {"burst reached at most ticks", 5, {}, {}, {}}};
    for (auto &r : runs) bucket_setup(&r.b, 3, r.burst, r.burst == 5 ? 5 : 0);
    const long start_tokens[2] = {0, 5};

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stress_seconds());
    std::atomic<int> running{FETCHERS};
    std::atomic<int> bad{0};
    long ticks = 0, rates = 0;
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
        int rate = 1 + static_cast<int>(ticks % 5);
        for (auto &r : runs) {
            int burst = r.burst == 5 ? 3 + static_cast<int>(ticks % 5) : r.burst;
            mytbf_setrate(&r.b, rate, burst);
            refill_bucket(&r.b);
            int t = tokens_of(&r.b);
            if (t < 0 || t > burst) bad++;
        }
        ticks++;
        rates += rate;
        std::this_thread::yield();
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, bad);
    for (int k = 0; k < 2; k++) {
        auto &r = runs[k];
        SCOPED_TRACE(r.name);
        long added = start_tokens[k] + rates + r.given;
        long left = tokens_of(&r.b);
        EXPECT_LE(r.taken + left, added);
        if (r.burst > added) {
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
    std::vector<helper_run> runs;
    for (const char *h : {HELPER_PATH, HELPER_EH_PATH}) {
        for (const auto &c : HELPER_CASES)
            runs.push_back({std::string(c.name) + " (" + h + ")", {h, c.mode}, 0, ""});
    }
    run_helpers(runs);
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
