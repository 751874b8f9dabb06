// mytbf_test_util.h - what the library's tests share: a look into a bucket,
// fetches on threads of their own, and runs of the helper programs.
#pragma once

#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mytbf_internal.h"
#include "proc.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true;
#else
constexpr bool SANITIZED = false;
#endif

// Seconds a stress test runs: 2, or MYTBF_STRESS_SECONDS (CI runs longer
// ones under ThreadSanitizer and Valgrind).
inline int stress_seconds() {
    const char *s = getenv("MYTBF_STRESS_SECONDS");
    int n = s ? atoi(s) : 0;
    return n > 0 && n <= 600 ? n : 2;
}

// ms milliseconds from now on CLOCK_MONOTONIC (whole seconds when negative).
inline timespec mono_after_ms(long ms) {
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

inline int tokens_of(const mytbf_bucket *b) {
    return state_of(b).tokens;
}

// Fetches waiting in the bucket's line.
inline int line_length(mytbf_bucket *b) {
    pthread_mutex_lock(&b->mutex);
    int n = 0;
    for (const waiter *w = b->first; w != nullptr; w = w->next) n++;
    pthread_mutex_unlock(&b->mutex);
    return n;
}

constexpr int NOT_YET = INT_MIN;

// A fetch on a POSIX thread of its own, so that it can be cancelled:
// blocking when deadline_ms is below 0, else with a deadline that many
// milliseconds after it starts. result is NOT_YET until it returns.
struct fetch_thread {
    mytbf_bucket *b;
    int size;
    long deadline_ms;
    std::atomic<int> result{NOT_YET};
    pthread_t thread{};
};

inline void *run_fetch(void *p) {
    auto *f = static_cast<fetch_thread *>(p);
    if (f->deadline_ms < 0) {
        f->result = mytbf_fetchtoken(f->b, f->size);
    } else {
        timespec deadline = mono_after_ms(f->deadline_ms);
        f->result = mytbf_timedfetchtoken(f->b, f->size, &deadline);
    }
    return nullptr;
}

// Starts f and waits until it stands in line, the line then being
// line_before + 1 long; false when it does not get there.
inline bool start_in_line(fetch_thread *f, int line_before) {
    if (pthread_create(&f->thread, nullptr, run_fetch, f) != 0) return false;
    return wait_until([&] { return line_length(f->b) == line_before + 1; }, 5000);
}

// Ticks f's bucket by hand once and gives f's result: NOT_YET when that
// tick did not end its wait (it is ended then, so the thread can be joined).
inline int result_after_tick(fetch_thread *f) {
    refill_bucket(f->b);
    bool served = wait_until([&] { return f->result != NOT_YET; }, 5000);
    while (f->result == NOT_YET) refill_bucket(f->b);
    pthread_join(f->thread, nullptr);
    return served ? f->result.load() : NOT_YET;
}

// One run of a helper program and what it must end with.
struct helper_run {
    std::string name;
    std::vector<std::string> argv;
    int want_status;
    std::string want_stderr;
};

// Runs the helpers all at once; each must end by itself within 20 s, by
// exit and not by a signal, with its status and standard error. Under the
// sanitizers a report (a use after free, a leak) makes the status non-zero.
inline void run_helpers(const std::vector<helper_run> &runs) {
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    std::vector<child_proc> procs(runs.size());
    for (size_t i = 0; i < runs.size(); i++) {
        ASSERT_TRUE(proc_start(&procs[i], runs[i].argv, dir, "run" + std::to_string(i), false));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        SCOPED_TRACE(runs[i].name);
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
        EXPECT_EQ(runs[i].want_status, WEXITSTATUS(status)) << err;
        EXPECT_EQ(runs[i].want_stderr, err);
    }
    remove_tree(dir);
}
