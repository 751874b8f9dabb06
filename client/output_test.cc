// Tests of the client's output: order through one buffer, lines written at
// once on a terminal, and which failures count.
#include "output.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace {

// What is waiting in the pipe whose read end is fd (non-blocking).
std::string drain_pipe(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    return s;
}

struct pipe_fds {
    int r = -1, w = -1;
    pipe_fds() {
        int p[2];
        if (pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
            r = p[0];
            w = p[1];
        }
    }
    ~pipe_fds() {
        close(r);
        close(w);
    }
};

void add(output *o, out_stream s, const std::string &text) {
    output_add(o, s, text.data(), text.size());
}

}  // namespace

TEST(Output, SameOpenFileIsToldFromAnotherOpenOfTheSameFile) {
    int a = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int b = dup(a);
    int c = open("/dev/null", O_WRONLY | O_CLOEXEC);
    int same = same_open_file(a, b);
    if (same < 0) GTEST_SKIP() << "kcmp is not available here";
    EXPECT_EQ(1, same);
    EXPECT_EQ(0, same_open_file(a, c));
    close(a);
    close(b);
    close(c);
}

TEST(Output, SharedBufferKeepsTheOrderAndATerminalGetsLinesAtOnce) {
    pipe_fds p;
    output o;
    output_init(&o, p.w, p.w, output_plan_for(true, false, false));
    add(&o, OUT_STDERR, "raddr:1\n");
    add(&o, OUT_STDOUT, "Accept massage:1 recived.\n");
    add(&o, OUT_STDERR, "raddr:2\n");
    EXPECT_EQ("", drain_pipe(p.r)) << "gathered until the flush";
    EXPECT_EQ(0, output_flush(&o));
    EXPECT_EQ("raddr:1\nAccept massage:1 recived.\nraddr:2\n", drain_pipe(p.r));

    output_init(&o, p.w, p.w, output_plan_for(true, true, true));
    add(&o, OUT_STDOUT, "channel:1");
    EXPECT_EQ("", drain_pipe(p.r)) << "no line yet";
    add(&o, OUT_STDOUT, "one\n");
    EXPECT_EQ("channel:1one\n", drain_pipe(p.r));
    add(&o, OUT_STDERR, "raddr:1\n");
    EXPECT_EQ("raddr:1\n", drain_pipe(p.r));

    // More than a buffer holds comes out whole and in order (the pipe
    // holds 64 KiB, so no write waits).
    output_init(&o, p.w, p.w, output_plan_for(true, false, false));
    std::string want;
    for (int i = 0; want.size() < OUT_BUFFER_SIZE * 2; i++) {
        std::string line = "line " + std::to_string(i) + "\n";
        add(&o, i % 3 ? OUT_STDERR : OUT_STDOUT, line);
        want += line;
    }
    EXPECT_EQ(0, output_flush(&o));
    EXPECT_EQ(want, drain_pipe(p.r));
}

TEST(Output, OnlyAFailedStandardOutputLineCounts) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    pipe_fds p;
    output o;
    // Standard error unwritable: its lines are dropped, standard output flows.
    output_init(&o, p.w, full, output_plan_for(false, false, false));
    add(&o, OUT_STDERR, "raddr:1\n");
    errno = EIO;
    output_report(&o, "recvfrom()");
    add(&o, OUT_STDOUT, "Accept massage:1 recived.\n");
    EXPECT_EQ(0, output_flush(&o));
    EXPECT_EQ("Accept massage:1 recived.\n", drain_pipe(p.r));

    // One unwritable file for both: diagnostics alone do not count...
    output_init(&o, full, full, output_plan_for(true, false, false));
    add(&o, OUT_STDERR, "raddr:1\nIgnore:port not match.\n");
    EXPECT_EQ(0, output_flush(&o));
    // ...a line of standard output does, and the failure stays.
    add(&o, OUT_STDOUT, "Accept massage:1 recived.\n");
    EXPECT_EQ(-1, output_flush(&o));
    EXPECT_EQ(ENOSPC, errno);
    EXPECT_EQ(-1, output_flush(&o));

    output_init(&o, full, p.w, output_plan_for(false, false, false));
    add(&o, OUT_STDOUT, "channel:1one\n");
    EXPECT_EQ(-1, output_flush(&o));
    close(full);
}
