// mytbf_test.cc - token buckets: arithmetic, blocking, ticks, slots and exit.
//
// A conforming bucket never holds more than burst, gains exactly one rate's
// worth (capped) per tick, and a fetch returns between 1 and size tokens.
#include "mytbf.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
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

int tokens_of(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    int t = b->tokens;
    pthread_mutex_unlock(&b->mutex);
    return t;
}

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
    std::atomic<int> result{0};
    std::thread t([&] { result = mytbf_fetchtoken(&b, 4); });
    EXPECT_FALSE(wait_until([&] { return result.load() != 0; }, 200));
    refill_bucket(&b);
    EXPECT_TRUE(wait_until([&] { return result.load() != 0; }, 5000));
    t.join();
    EXPECT_EQ(4, result);
    EXPECT_EQ(1, tokens_of(&b));
    bucket_teardown(&b);
}

TEST(Tokens, WaitersShareOneTicksTokensAndTheRestWaitForTheNext) {
    mytbf_bucket b;
    bucket_setup(&b, 5, 5, 0);
    constexpr int WAITERS = 4;
    std::atomic<int> results[WAITERS] = {};
    std::atomic<int> done{0};
    std::vector<std::thread> threads;
    for (auto &r : results) {
        threads.emplace_back([&] {
            r = mytbf_fetchtoken(&b, 2);
            done++;
        });
    }
    refill_bucket(&b);
    ASSERT_TRUE(wait_until([&] { return done.load() == 3; }, 5000));
    // Each takes the smaller of its 2 and what is left: 2, 2, then 1.
    std::vector<int> got;
    for (auto &r : results) got.push_back(r);
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<int>{0, 1, 2, 2}), got);
    EXPECT_EQ(0, tokens_of(&b));
    EXPECT_FALSE(wait_until([&] { return done.load() == WAITERS; }, 100));

    refill_bucket(&b);
    ASSERT_TRUE(wait_until([&] { return done.load() == WAITERS; }, 5000));
    for (auto &t : threads) t.join();
    got.clear();
    for (auto &r : results) got.push_back(r);
    std::sort(got.begin(), got.end());
    EXPECT_EQ((std::vector<int>{1, 2, 2, 2}), got);
    EXPECT_EQ(3, tokens_of(&b));
    bucket_teardown(&b);
}

TEST(Init, RejectsRateOrBurstBelowOne) {
    const struct {
        const char *name;
        int rate, burst;
    } cases[] = {
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
    }
}

// Real ticks: each bucket gains one rate's worth per tick, up to its burst,
// and stays there. Takes about three ticks.
TEST(Library, BucketsFillByRatePerTickUpToBurst) {
    const struct {
        const char *name;
        int rate, burst;
    } cases[] = {
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

// Seconds the stress below runs: 2, or MYTBF_STRESS_SECONDS (CI runs a
// longer one under ThreadSanitizer and Valgrind).
int stress_seconds() {
    const char *s = getenv("MYTBF_STRESS_SECONDS");
    int n = s ? atoi(s) : 0;
    return n > 0 && n <= 600 ? n : 2;
}

// Every tick-free operation at once on shared and short-lived buckets,
// while the refill thread scans. Run it under ThreadSanitizer to find races.
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
                int n = mytbf_fetchtoken(b, size);
                if (n < 1 || n > size) bad++;
                mytbf_returntoken(b, n);
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

// Runs the exit helper in each mode at once; each must end by itself, by exit
// and not by a signal, with the wanted status and report. Under
// AddressSanitizer its leak check makes a leaked bucket a non-zero status.
void check_exits(const char *helper) {
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::vector<child_proc> procs(std::size(EXIT_CASES));
    for (size_t i = 0; i < procs.size(); i++) {
        if (EXIT_CASES[i].needs_unsanitized && SANITIZED) continue;
        ASSERT_TRUE(
            proc_start(&procs[i], {helper, EXIT_CASES[i].mode}, dir, EXIT_CASES[i].mode, false));
    }
    for (size_t i = 0; i < procs.size(); i++) {
        const exit_case &c = EXIT_CASES[i];
        if (procs[i].pid < 0) continue;
        SCOPED_TRACE(c.name);
        int status = 0;
        if (!proc_wait(&procs[i], 20000, &status)) {
            ADD_FAILURE() << "did not exit";
            proc_kill(&procs[i]);
            continue;
        }
        std::string err = read_file(procs[i].err_path);
        if (!WIFEXITED(status)) {
            ADD_FAILURE() << "signal " << WTERMSIG(status) << ", stderr: " << err;
            continue;
        }
        EXPECT_EQ(c.want_status, WEXITSTATUS(status)) << err;
        EXPECT_EQ(c.want_stderr, err);
    }
    remove_tree(dir);
}

TEST(ExitHandler, StopsTheRefillThreadAndFreesBuckets) {
    check_exits(EXIT_HELPER_PATH);
}

// The refill thread is cancelled by unwinding its stack; with exception
// tables in the library's frames, a noexcept on the way would abort.
TEST(ExitHandler, StopsTheRefillThreadWhenBuiltWithExceptions) {
    check_exits(EXIT_HELPER_EH_PATH);
}

// Through the public calls and real ticks. Two fetches wait on an empty
// bucket; one tick wakes both and the first takes everything: the other
// must wait again, not return with nothing. A fetch that then leaves tokens
// must wake it at once, not at the next tick, which would add RATE more.
TEST(Waiters, WokenWaiterThatFindsNothingWaitsAgainAndTokensLeftWakeItAtOnce) {
    constexpr int RATE = 1000;
    constexpr int NOT_YET = INT_MIN;
    mytbf_bucket *b = mytbf_init(RATE, 1000000);
    ASSERT_NE(nullptr, b);
    std::atomic<int> got[2];
    for (auto &g : got) g = NOT_YET;
    std::vector<std::thread> threads;
    for (auto &g : got) threads.emplace_back([&] { g = mytbf_fetchtoken(b, INT_MAX); });
    auto returned = [&] { return (got[0] != NOT_YET) + (got[1] != NOT_YET); };
    ASSERT_TRUE(wait_until([&] { return returned() > 0; }, 5000));
    std::atomic<int> &second = got[0] == NOT_YET ? got[0] : got[1];
    EXPECT_EQ(RATE, got[0] == NOT_YET ? got[1] : got[0]);
    EXPECT_EQ(0, mytbf_returntoken(b, 10));
    EXPECT_EQ(1, mytbf_fetchtoken(b, 1));
    EXPECT_TRUE(wait_until([&] { return returned() == 2; }, 5000));
    for (auto &t : threads) t.join();
    EXPECT_EQ(9, second) << "RATE + 9: woken only by the next tick; below 1: returned with nothing";
    mytbf_destroy(b);
}

}  // namespace
