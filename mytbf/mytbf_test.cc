// mytbf_test.cc - token buckets: arithmetic, blocking, ticks, slots and exit.
//
// A conforming bucket never holds more than burst, gains exactly one rate's
// worth (capped) per tick, and a fetch returns between 1 and size tokens.
#include "mytbf.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mytbf_internal.h"
#include "mytbf_test_util.h"

namespace {

int task_count() {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)e;
        n++;
    }
    return n;
}

struct refill_case {
    const char *name;
    int tokens, add, burst, want;
};
const refill_case REFILL_CASES[] = {
    {"empty bucket", 0, 10, 50, 10},
    {"below burst", 20, 10, 50, 30},
    {"reaches burst exactly", 40, 10, 50, 50},
    {"stops at burst", 45, 10, 50, 50},
    {"rate above burst", 0, 10, 3, 3},
    {"nothing added", 7, 0, 50, 7},
    {"full stays full", 50, 0, 50, 50},
    {"one below the largest int", INT_MAX - 2, 1, INT_MAX, INT_MAX - 1},
    {"sum past the largest int saturates", INT_MAX - 1, INT_MAX, INT_MAX, INT_MAX},
    {"largest rate into an empty bucket", 0, INT_MAX, INT_MAX, INT_MAX},
    {"largest add into a small burst", 3, INT_MAX, 5, 5},
};

TEST(Refill, AddsUpToBurstAndNeverOverflows) {
    for (const auto &c : REFILL_CASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, refill(c.tokens, c.add, c.burst));
    }
}

enum op_kind { FETCH, GIVE_BACK };
struct token_case {
    const char *name;
    int burst, tokens;  // the bucket before the call
    op_kind op;
    int size;
    int want_result, want_tokens;
};
const token_case TOKEN_CASES[] = {
    {"fetch less than held", 5, 5, FETCH, 3, 3, 2},
    {"fetch more than held takes all", 5, 5, FETCH, 1024, 5, 0},
    {"fetch finds the last token", 5, 1, FETCH, 2, 1, 0},
    {"fetch of the largest size", INT_MAX, INT_MAX, FETCH, INT_MAX, INT_MAX, 0},
    {"give back below burst", 5, 1, GIVE_BACK, 3, 0, 4},
    {"give back more than fits", 5, 2, GIVE_BACK, 10, 0, 5},
    {"give back nothing", 5, 2, GIVE_BACK, 0, 0, 2},
    {"give back past the largest int saturates", INT_MAX, INT_MAX - 1, GIVE_BACK, INT_MAX, 0,
     INT_MAX},
    {"give back the largest int to a small burst", 5, 3, GIVE_BACK, INT_MAX, 0, 5},
    {"fetch of 0 rejected", 5, 3, FETCH, 0, -EINVAL, 3},
    {"fetch of -1 from an empty bucket rejected at once", 5, 0, FETCH, -1, -EINVAL, 0},
    {"fetch of INT_MIN rejected", 5, 3, FETCH, INT_MIN, -EINVAL, 3},
    {"give back of -1 rejected", 5, 3, GIVE_BACK, -1, -EINVAL, 3},
    {"give back of INT_MIN rejected", 5, 3, GIVE_BACK, INT_MIN, -EINVAL, 3},
};

TEST(Tokens, FetchAndGiveBackKeepTheBucketWithinBounds) {
    for (const auto &c : TOKEN_CASES) {
        SCOPED_TRACE(c.name);
        mytbf_bucket b;
        bucket_setup(&b, 1, c.burst, c.tokens);
        std::atomic<bool> done{false};
        int result = 0;
        std::thread t([&] {
            result = c.op == FETCH ? mytbf_fetchtoken(&b, c.size) : mytbf_returntoken(&b, c.size);
            done = true;
        });
        if (!wait_until([&] { return done.load(); }, 5000)) {
            ADD_FAILURE() << "call blocked";
            while (!done) refill_bucket(&b);  // let it go so the thread can be joined
        }
        t.join();
        EXPECT_EQ(c.want_result, result);
        EXPECT_EQ(c.want_tokens, tokens_of(&b));
        bucket_teardown(&b);
    }
}

TEST(Tokens, FetchBlocksWhileEmptyAndTakesTheNextTicksTokens) {
    mytbf_bucket b;
    bucket_setup(&b, 5, 5, 0);
    fetch_thread f = {&b, 4, -1};
    ASSERT_TRUE(start_in_line(&f, 0));
    EXPECT_EQ(4, result_after_tick(&f));
    EXPECT_EQ(1, tokens_of(&b));
    bucket_teardown(&b);
}

// How the waiter of a line case that gives up does it, before the first tick.
enum leave_kind { STAYS, TIMES_OUT, CANCELLED };

struct line_case {
    const char *name;
    int rate, burst;
    std::vector<int> sizes;  // the waiters' sizes, in the order they join the line
    int leaver;              // index of the waiter that gives up, or -1
    leave_kind how;
    int given_back;                      // tokens given back while all wait
    int new_rate, new_burst;             // mytbf_setrate while all wait, when new_rate > 0
    std::vector<std::vector<int>> want;  // after each tick, each waiter's result (0: waits)
};
// clang-format off
const line_case LINE_CASES[] = {
    {"each takes up to its size, the rest goes to the next", 3, 10, {2, 1, 3, 1, 2}, -1, STAYS,
     0, 0, 0, {{2, 1, 0, 0, 0}, {2, 1, 3, 0, 0}, {2, 1, 3, 1, 2}}},
    {"a tick's last tokens go to the next, below its size", 5, 5, {2, 2, 2, 2}, -1, STAYS,
     0, 0, 0, {{2, 2, 1, 0}, {2, 2, 1, 2}}},
    {"a deadline that passes mid-line costs the others nothing", 2, 10, {1, 1, 1, 1}, 1, TIMES_OUT,
     0, 0, 0, {{1, -ETIMEDOUT, 1, 0}, {1, -ETIMEDOUT, 1, 1}}},
    {"a waiter cancelled mid-line costs the others nothing", 2, 10, {1, 1, 1, 1}, 1, CANCELLED,
     0, 0, 0, {{1, 0, 1, 0}, {1, 0, 1, 1}}},
    {"tokens given back wait for the tick, then go to the oldest", 1, 10, {2, 2}, -1, STAYS,
     3, 0, 0, {{2, 2}}},
    {"a rate raised in line wakes nobody and counts from the next tick", 1, 10, {3, 3}, -1, STAYS,
     0, 6, 10, {{3, 3}}},
    {"a burst lowered in line drops the tokens above it at once", 1, 10, {2, 2}, -1, STAYS,
     5, 1, 2, {{2, 0}, {2, 1}}},
};
// clang-format on

// Waiters join the line one after another, so their order is known; the
// test ticks the bucket by hand and checks who is served after each tick.
TEST(Waiters, ServedInTheOrderTheyJoinedTickByTick) {
    for (const auto &c : LINE_CASES) {
        SCOPED_TRACE(c.name);
        mytbf_bucket b;
        bucket_setup(&b, c.rate, c.burst, 0);
        const int n = static_cast<int>(c.sizes.size());
        std::vector<fetch_thread> f(n);
        for (int i = 0; i < n; i++) {
            f[i].b = &b;
            f[i].size = c.sizes[i];
            // Far enough for the others to join behind it.
            f[i].deadline_ms = i == c.leaver && c.how == TIMES_OUT ? 1000 : -1;
            ASSERT_TRUE(start_in_line(&f[i], i));
        }
        EXPECT_EQ(0, mytbf_returntoken(&b, c.given_back));
        if (c.new_rate > 0) {
            EXPECT_EQ(0, mytbf_setrate(&b, c.new_rate, c.new_burst));
        }
        // What the bucket holds is the line's: a try gets nothing, and
        // neither the give-back nor the new rate served anyone.
        EXPECT_EQ(-EAGAIN, mytbf_tryfetchtoken(&b, 1));
        EXPECT_EQ(c.new_rate > 0 ? std::min(c.given_back, c.new_burst) : c.given_back,
                  tokens_of(&b));
        EXPECT_EQ(n, line_length(&b)) << "served, or a deadline passed before all had joined";
        if (c.how == CANCELLED) pthread_cancel(f[c.leaver].thread);
        if (c.leaver >= 0) {
            EXPECT_TRUE(wait_until([&] { return line_length(&b) == n - 1; }, 5000));
        }
        for (size_t t = 0; t < c.want.size(); t++) {
            refill_bucket(&b);
            int waiting = 0;
            for (int i = 0; i < n; i++) waiting += c.want[t][i] == 0 && i != c.leaver;
            EXPECT_EQ(waiting, line_length(&b)) << "after tick " << t + 1;
            for (int i = 0; i < n; i++) {
                int want = c.want[t][i] == 0 ? NOT_YET : c.want[t][i];
                EXPECT_TRUE(wait_until([&] { return f[i].result == want; }, 5000))
                    << "tick " << t + 1 << ", waiter " << i << ": " << f[i].result;
            }
        }
        while (line_length(&b) > 0) refill_bucket(&b);  // so that every thread can be joined
        for (auto &x : f) pthread_join(x.thread, nullptr);
        bucket_teardown(&b);
    }
}

struct rate_case {
    const char *name;
    int rate, burst;
};

// Below 1 is no rate and no burst: init makes no bucket, and mytbf_setrate
// changes nothing.
TEST(RateAndBurst, BelowOneAreRejectedByInitAndSetRate) {
    const rate_case cases[] = {
        {"rate 0", 0, 5},
        {"burst 0", 5, 0},
        {"negative rate", -1, 5},
        {"negative burst", 5, -1},
        {"both INT_MIN", INT_MIN, INT_MIN},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(nullptr, mytbf_init(c.rate, c.burst));
        EXPECT_EQ(EINVAL, errno);
        mytbf_bucket b;
        bucket_setup(&b, 2, 4, 3);
        EXPECT_EQ(-EINVAL, mytbf_setrate(&b, c.rate, c.burst));
        refill_bucket(&b);
        EXPECT_EQ(4, tokens_of(&b));
        EXPECT_EQ(2, b.rate);
        bucket_teardown(&b);
    }
}

// A new rate counts from the next tick; a new burst at once: tokens above
// it go, and later ticks and give-backs stop at it.
TEST(RateAndBurst, SetRateChangesTheNextTickAndTheBurstAtOnce) {
    const struct {
        const char *name;
        int rate, burst, tokens, new_rate, new_burst;
        int want_now, want_after_tick;
    } cases[] = {
        {"rate up", 2, 10, 0, 5, 10, 0, 5},
        {"rate down", 5, 10, 0, 1, 10, 0, 1},
        {"burst down drops the excess at once", 5, 10, 8, 5, 3, 3, 3},
        {"burst up keeps the tokens and lets the tick fill", 5, 3, 3, 5, 20, 3, 8},
        {"largest rate and burst", 1, 1, 1, INT_MAX, INT_MAX, 1, INT_MAX},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        mytbf_bucket b;
        bucket_setup(&b, c.rate, c.burst, c.tokens);
        EXPECT_EQ(0, mytbf_setrate(&b, c.new_rate, c.new_burst));
        EXPECT_EQ(c.want_now, tokens_of(&b));
        refill_bucket(&b);
        EXPECT_EQ(c.want_after_tick, tokens_of(&b));
        mytbf_returntoken(&b, INT_MAX);
        EXPECT_EQ(c.new_burst, tokens_of(&b));
        bucket_teardown(&b);
    }
}

// Real ticks: each bucket gains one rate's worth per tick, up to its burst,
// and stays there. Takes about three ticks.
TEST(Library, BucketsFillByRatePerTickUpToBurst) {
    const rate_case cases[] = {
        {"rate equals burst", 5, 5},
        {"burst below rate", 10, 3},
        {"burst not a multiple of rate", 4, 7},
        {"one token a tick", 1, 2},
        {"largest rate and burst", INT_MAX, INT_MAX},
        {"largest rate, small burst", INT_MAX, 5},
    };
    std::vector<mytbf_bucket *> buckets;
    for (const auto &c : cases) {
        buckets.push_back(mytbf_init(c.rate, c.burst));
        ASSERT_NE(nullptr, buckets.back());
    }
    // A new bucket is empty; the first fetch waits for its first tick and
    // finds exactly one tick's worth.
    for (size_t i = 0; i < buckets.size(); i++) {
        SCOPED_TRACE(cases[i].name);
        EXPECT_EQ(std::min(cases[i].rate, cases[i].burst), mytbf_fetchtoken(buckets[i], INT_MAX));
    }
    std::vector<int> last(buckets.size(), 0);
    bool ok = true;
    bool full = wait_until(
        [&] {
            bool all = true;
            for (size_t i = 0; i < buckets.size(); i++) {
                int t = tokens_of(buckets[i]);
                int rate = cases[i].rate, burst = cases[i].burst;
                bool allowed = t == burst || (t >= 0 && t < burst && t % rate == 0);
                if (!allowed || t < last[i]) {
                    ADD_FAILURE() << cases[i].name << ": " << last[i] << " then " << t;
                    ok = false;
                }
                last[i] = t;
                all = all && t == burst;
            }
            return all || !ok;
        },
        8000);
    EXPECT_TRUE(full);
    for (auto *b : buckets) mytbf_destroy(b);
}

// Each statement runs in a freshly started process, where the library has
// not been used yet (a forked copy of this one would inherit its state).
class LibraryDeathTest : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LibraryDeathTest, StartsOneRefillThreadForAllBuckets) {
    auto count_threads = [] {
        // ThreadSanitizer starts a thread of its own with the first new thread.
        std::thread([] {}).join();
        int before = task_count();
        std::vector<std::thread> first;
        for (int i = 0; i < 8; i++) first.emplace_back([] { mytbf_init(1, 1); });
        for (auto &t : first) t.join();
        int started = task_count() - before;
        for (int i = 0; i < 50; i++) mytbf_init(1, 1);
        int more = task_count() - before - started;
        fprintf(stderr, "refill threads: %d, then %d more\n", started, more);
        exit(started == 1 && more == 0 ? 0 : 1);
    };
    EXPECT_EXIT(count_threads(), testing::ExitedWithCode(0), "refill threads: 1, then 0 more");
}

TEST_F(LibraryDeathTest, FreedSlotIsReusedAndTheBucketPastTheTableEndsTheProcess) {
    auto fill = [] {
        std::vector<mytbf_bucket *> b;
        for (int i = 0; i < MYTBF_MAX; i++) {
            b.push_back(mytbf_init(1, 1));
            if (b.back()->slot != i) exit(2);  // lowest free slot first
        }
        mytbf_destroy(b[500]);
        if (mytbf_init(1, 1)->slot != 500) exit(3);
        mytbf_init(1, 1);
        exit(4);
    };
    EXPECT_EXIT(fill(), testing::ExitedWithCode(1), "^no free position\\.\n$");
}

// Every operation at once on shared and short-lived buckets, while the
// refill thread scans: fetches of the three kinds (some wait in line, some
// leave it at their deadline), give-backs, new rates, init and destroy. Run
// it under ThreadSanitizer to find races.
TEST(Library, ConcurrentFetchGiveBackInitAndDestroyKeepBucketsConsistent) {
    constexpr int BURST = 1000;
    constexpr int SHARED = 16;
    constexpr int FETCHERS = 8;
    constexpr int CREATORS = 4;
    std::vector<mytbf_bucket *> shared;
    for (int i = 0; i < SHARED; i++) {
        mytbf_bucket *b = mytbf_init(i % 2 ? 7 : BURST, BURST);
        ASSERT_NE(nullptr, b);
        mytbf_returntoken(b, BURST);  // start full instead of waiting a tick
        shared.push_back(b);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(stress_seconds());
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < FETCHERS; w++) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < 100000000 && std::chrono::steady_clock::now() < deadline; i++) {
                mytbf_bucket *b = shared[(w + i) % SHARED];
                int size = 1 + i % 7;
                int n;
                if (i % 5 == 3) {
                    timespec soon = mono_after_ms(2);
                    n = mytbf_timedfetchtoken(b, size, &soon);
                    if (n == -ETIMEDOUT) continue;
                } else if (i % 5 == 4) {
                    n = mytbf_tryfetchtoken(b, size);
                    if (n == -EAGAIN) continue;
                } else {
                    n = mytbf_fetchtoken(b, size);
                }
                if (n < 1 || n > size) {
                    bad++;
                    continue;
                }
                // Keeping one token now and then drains the slow buckets,
                // so that fetches wait in line there.
                mytbf_returntoken(b, i % 3 ? n : n - 1);
                if (i % 101 == 0) mytbf_setrate(b, i % 2 ? 7 : BURST, BURST - i % 100);
            }
        });
    }
    for (int w = 0; w < CREATORS; w++) {
        threads.emplace_back([&, w] {
            std::vector<mytbf_bucket *> mine;
            for (int i = 0; i < 100000000 && std::chrono::steady_clock::now() < deadline; i++) {
                mytbf_bucket *b = mytbf_init(1 + i % 5, 1 + (i + w) % 9);
                if (b == nullptr || b->slot < 0 || b->slot >= MYTBF_MAX) {
                    bad++;
                    continue;
                }
                mytbf_returntoken(b, 3);
                if (i % 4 == 0) mytbf_setrate(b, 2, 1 + i % 3);
                int n = mytbf_fetchtoken(b, 2);
                if (n < 1 || n > 2) bad++;
                // Keep up to 50 buckets alive a while, so slots are freed
                // out of order and the refill scan meets many live ones.
                mine.push_back(b);
                if (mine.size() > 50 || i % 3 == 0) {
                    mytbf_destroy(mine[i % mine.size()]);
                    mine.erase(mine.begin() + static_cast<long>(i % mine.size()));
                }
            }
            for (auto *b : mine) mytbf_destroy(b);
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(0, bad);
    for (auto *b : shared) {
        int t = tokens_of(b);
        EXPECT_GE(t, 0);
        EXPECT_LE(t, BURST);
        mytbf_destroy(b);
    }
}

struct exit_case {
    const char *name;
    const char *mode;
    int want_status;
    const char *want_stderr;
    // Not under the sanitizers: they reserve too much address space for the
    // limit "nothread" sets, and their exit-time leak check can deadlock in
    // a child forked from a threaded process.
    bool needs_unsanitized;
};
const exit_case EXIT_CASES[] = {
    {"library never started", "unused", 0, "", false},
    {"refill thread over an empty table", "empty", 0, "", false},
    {"buckets live after a tick", "live", 0, "", false},
    {"buckets live before the first scan", "early", 0, "", false},
    {"table full", "full", 1, "1024 live\nno free position.\n", false},
    {"child forked after the start", "forked", 0, "", true},
    {"refill thread cannot start", "nothread", 1,
     "pthread_create():Resource temporarily unavailable", true},
};

// Runs the exit helper in each mode at once. Under AddressSanitizer its
// leak check makes a bucket that the library no longer holds a non-zero
// status.
void check_exits(const char *helper) {
    std::vector<helper_run> runs;
    for (const auto &c : EXIT_CASES) {
        if (!(c.needs_unsanitized && SANITIZED))
            runs.push_back({c.name, {helper, c.mode}, c.want_status, c.want_stderr});
    }
    run_helpers(runs);
}

TEST(ExitHandler, StopsTheRefillThreadAndKeepsBucketsReachable) {
    check_exits(HELPER_PATH);
}

// The refill thread is cancelled by unwinding its stack; with exception
// tables in the library's frames, a noexcept on the way would abort.
TEST(ExitHandler, StopsTheRefillThreadWhenBuiltWithExceptions) {
    check_exits(HELPER_EH_PATH);
}

// The process exits while threads are inside the library: lock-free fetches
// and give-backs ("inflight"), and also fetches in line and destroys
// ("racing"). Many runs, since each hits a moment by chance; under
// AddressSanitizer a use after free or a double free ends a run non-zero.
TEST(ExitHandler, CallsInFlightAtExitTouchNoFreedMemory) {
    constexpr int BATCHES = 4, EACH = 8;
    for (int i = 0; i < BATCHES; i++) {
        std::vector<helper_run> runs;
        for (int j = 0; j < EACH; j++) {
            const char *mode = j % 2 ? "racing" : "inflight";
            runs.push_back({mode, {HELPER_PATH, mode}, 0, ""});
        }
        run_helpers(runs);
    }
}

// Through the public calls and real ticks. Two fetches wait on an empty
// bucket; the first in line takes the whole tick, and the other keeps its
// place rather than return with nothing. Tokens given back then stay in the
// bucket, out of a try-fetch's reach, until a new fetch joins the line:
// that serves the older waiter at once, not at the next tick (which would
// add RATE more), and the newcomer waits for that tick.
TEST(Waiters, TheOneLeftInLineKeepsItsPlaceAndGetsTokensGivenBackAtTheNextWakeUp) {
    constexpr int RATE = 1000;
    mytbf_bucket *b = mytbf_init(RATE, 1000000);
    ASSERT_NE(nullptr, b);
    // Returns just after a tick: the rest runs well before the next.
    ASSERT_GT(mytbf_fetchtoken(b, INT_MAX), 0);
    fetch_thread f[3] = {{b, INT_MAX, -1}, {b, INT_MAX, -1}, {b, 1, -1}};
    ASSERT_TRUE(start_in_line(&f[0], 0));
    ASSERT_TRUE(start_in_line(&f[1], 1));
    EXPECT_TRUE(wait_until([&] { return f[0].result != NOT_YET; }, 5000));
    EXPECT_EQ(RATE, f[0].result);
    EXPECT_EQ(1, line_length(b));
    EXPECT_EQ(0, mytbf_returntoken(b, 10));
    EXPECT_EQ(-EAGAIN, mytbf_tryfetchtoken(b, 1));
    ASSERT_EQ(0, pthread_create(&f[2].thread, nullptr, run_fetch, &f[2]));
    EXPECT_TRUE(wait_until([&] { return f[1].result != NOT_YET; }, 5000));
    EXPECT_EQ(10, f[1].result) << "RATE + 10: served only by the next tick; below 1: left";
    EXPECT_TRUE(wait_until([&] { return f[2].result != NOT_YET; }, 5000));
    EXPECT_EQ(1, f[2].result);
    for (auto &x : f) pthread_join(x.thread, nullptr);
    mytbf_destroy(b);
}

}  // namespace
