// throttlecat_test.cc - the copier end to end: it is started as a program and
// its output, report and exit status are checked.
//
// With rate 5 and burst 5, the output never holds more than 5 bytes per tick,
// and the first byte comes only after the first tick.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "proc.h"

namespace {

using clock_type = std::chrono::steady_clock;

struct run_case {
    const char *name;
    std::vector<std::string> args;  // "@" stands for the temporary directory
    const char *file;               // written to @/in first, unless null
    bool stdout_full;               // standard output is /dev/full
    int want_status;
    const char *want_stdout;
    const char *want_stderr;
};

const run_case RUN_CASES[] = {
    {"no argument", {}, nullptr, false, 1, "", "Usage: a.out <pathname>\n"},
    {"missing file", {"@/missing"}, nullptr, false, 1, "", "open(): No such file or directory\n"},
    {"directory", {"@"}, nullptr, false, 1, "", "read error(): Is a directory\n"},
    {"empty file", {"@/in"}, "", false, 0, "", ""},
    {"arguments after the first ignored", {"@/in", "@/missing"}, "hi", false, 0, "hi", ""},
    {"standard output full",
     {"@/in"},
     "abc",
     true,
     1,
     "",
     "write error: No space left on device\n"},
};

std::string expand(const std::string &arg, const std::string &dir) {
    return arg[0] == '@' ? dir + arg.substr(1) : arg;
}

// Every case in its own directory, all running at once (each waits for a tick).
TEST(Throttlecat, ReportsAndExitStatus) {
    struct running {
        std::string dir;
        child_proc proc;
    };
    std::vector<running> runs(std::size(RUN_CASES));
    for (size_t i = 0; i < runs.size(); i++) {
        const run_case &c = RUN_CASES[i];
        runs[i].dir = make_temp_dir();
        ASSERT_FALSE(runs[i].dir.empty());
        if (c.file) {
            ASSERT_TRUE(write_file(runs[i].dir + "/in", c.file));
        }
        // proc_start opens NAME.out for standard output; here that is /dev/full.
        if (c.stdout_full) {
            ASSERT_EQ(0, symlink("/dev/full", (runs[i].dir + "/run.out").c_str()));
        }
        std::vector<std::string> argv = {THROTTLECAT_PATH};
        for (const auto &a : c.args) argv.push_back(expand(a, runs[i].dir));
        ASSERT_TRUE(proc_start(&runs[i].proc, argv, runs[i].dir, "run", false));
    }
    for (size_t i = 0; i < runs.size(); i++) {
        const run_case &c = RUN_CASES[i];
        SCOPED_TRACE(c.name);
        int status = 0;
        if (!proc_wait(&runs[i].proc, 20000, &status)) {
            ADD_FAILURE() << "did not exit";
            proc_kill(&runs[i].proc);
        } else {
            std::string err = read_file(runs[i].proc.err_path);
            EXPECT_TRUE(WIFEXITED(status)) << err;
            EXPECT_EQ(c.want_status, WEXITSTATUS(status)) << err;
            EXPECT_EQ(c.want_stderr, err);
            if (!c.stdout_full) {
                EXPECT_EQ(c.want_stdout, read_file(runs[i].proc.out_path));
            }
        }
        remove_tree(runs[i].dir);
    }
}

struct chunk {
    clock_type::time_point at;
    std::string data;
};

// Reads fd until the child has ended and the pipe is drained, noting when
// each piece arrived and when the child was seen to end. False if it takes
// longer than timeout_ms.
bool read_chunks(int fd, child_proc *p, int *status, int timeout_ms, std::vector<chunk> *out,
                 clock_type::time_point *ended_at) {
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    bool ended = false;
    char buf[256];
    while (clock_type::now() < deadline) {
        struct pollfd pfd = {fd, POLLIN, 0};
        poll(&pfd, 1, 50);
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out->push_back({clock_type::now(), std::string(buf, static_cast<size_t>(n))});
            continue;
        }
        if (n < 0 && errno != EAGAIN) return false;
        if (ended) return true;  // drained after the end
        ended = proc_wait(p, 0, status);
        if (ended) *ended_at = clock_type::now();
        if (!ended) usleep(5000);  // no writer yet, or one that has just closed
    }
    return false;
}

// The last read is short (2 of 5 bytes): the copier gives back the 3 tokens
// it did not use, so the read that finds the end of file needs no tick and
// the copier ends right after the last chunk, not a tick later.
TEST(Throttlecat, CopiesTwelveBytesInChunksOfFiveOnePerTickAndEndsAfterTheLast) {
    const std::string content = "hello world\n";
    std::string dir = make_temp_dir();
    ASSERT_FALSE(dir.empty());
    ASSERT_TRUE(write_file(dir + "/in", content));
    // Standard output is a FIFO, so that each write arrives on its own.
    std::string fifo = dir + "/run.out";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);

    child_proc p;
    ASSERT_TRUE(proc_start(&p, {THROTTLECAT_PATH, dir + "/in"}, dir, "run", false));
    int status = 0;
    std::vector<chunk> chunks;
    clock_type::time_point ended_at;
    bool ok = read_chunks(fd, &p, &status, 20000, &chunks, &ended_at);
    close(fd);
    if (!ok) proc_kill(&p);
    ASSERT_TRUE(ok) << "did not finish";

    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("", read_file(p.err_path));
    std::string all;
    std::vector<size_t> sizes;
    for (const auto &c : chunks) {
        all += c.data;
        sizes.push_back(c.data.size());
    }
    EXPECT_EQ(content, all);
    EXPECT_EQ((std::vector<size_t>{5, 5, 2}), sizes);
    // One tick apart; generous for a busy machine.
    for (size_t i = 1; i < chunks.size(); i++) {
        auto gap =
            std::chrono::duration_cast<std::chrono::milliseconds>(chunks[i].at - chunks[i - 1].at);
        EXPECT_GE(gap.count(), 500) << "chunk " << i;
    }
    ASSERT_FALSE(chunks.empty());
    auto tail = std::chrono::duration_cast<std::chrono::milliseconds>(ended_at - chunks.back().at);
    EXPECT_LT(tail.count(), 500) << "ended a tick after its last bytes";
    remove_tree(dir);
}

}  // namespace
