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

// A bucket outside the job table, refilled only by the test.
void detached_init(mytbf_bucket *b, int rate, int burst, int tokens) {
    b->rate = rate;
    b->burst = burst;
    b->tokens = tokens;
    b->slot = -1;
    b->waiters = 0;
    pthread_mutex_init(&b->mutex, nullptr);
    pthread_cond_init(&b->cond, nullptr);
}

void detached_fini(mytbf_bucket *b) {
    pthread_mutex_destroy(&b->mutex);
    pthread_cond_destroy(&b->cond);
}

int waiters_of(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    int w = b->waiters;
    pthread_mutex_unlock(&b->mutex);
    return w;
}

struct wait_arg {
    mytbf_bucket *b;
    std::atomic<int> result{0};
};

void *blocking_fetch(void *p) {
    auto *a = static_cast<wait_arg *>(p);
    a->result = mytbf_fetchtoken(a->b, 1);
    return nullptr;
}

// A fetch cancelled in its wait leaves the bucket as it found it: mutex
// free, no waiter counted; the next fetch is served by the next refill.
TEST(Cancel, CancelledWaitLeavesTheBucketAsItFoundIt) {
    mytbf_bucket b;
    detached_init(&b, 2, 2, 0);
    wait_arg a{&b};
    pthread_t t;
    ASSERT_EQ(0, pthread_create(&t, nullptr, blocking_fetch, &a));
    ASSERT_TRUE(wait_until([&] { return waiters_of(&b) == 1; }, 5000));
    pthread_cancel(t);
    void *res = nullptr;
    pthread_join(t, &res);
    EXPECT_EQ(PTHREAD_CANCELED, res);
    EXPECT_EQ(0, a.result);
    ASSERT_EQ(0, pthread_mutex_trylock(&b.mutex)) << "cancelled fetch kept the mutex";
    EXPECT_EQ(0, b.waiters);
    pthread_mutex_unlock(&b.mutex);

    wait_arg next{&b};
    ASSERT_EQ(0, pthread_create(&t, nullptr, blocking_fetch, &next));
    ASSERT_TRUE(wait_until([&] { return waiters_of(&b) == 1; }, 5000));
    refill_bucket(&b);
    pthread_join(t, nullptr);
    EXPECT_EQ(1, next.result);
    detached_fini(&b);
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
