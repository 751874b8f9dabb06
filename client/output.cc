// output.cc - gathering and writing the client's lines.
#include "output.h"

#include <errno.h>
#include <linux/kcmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "write_all.h"

namespace {

// Writes what b holds and empties it. A failure counts only when standard
// output's text was in it; diagnostics that cannot be written are dropped.
void drain(output *o, out_buffer *b) {
    if (b->len > 0 && write_all(b->fd, b->data, b->len) < 0 && b->holds_stdout &&
        o->stdout_errno == 0)
        o->stdout_errno = errno;
    b->len = 0;
    b->holds_stdout = false;
}

}  // namespace

output_plan output_plan_for(bool same_file, bool out_tty, bool err_tty) {
    output_plan p;
    p.shared = same_file;
    p.immediate[OUT_STDOUT] = out_tty || (same_file && err_tty);
    p.immediate[OUT_STDERR] = err_tty || (same_file && out_tty);
    return p;
}

int same_open_file(int a, int b) {
    pid_t self = getpid();
    long r = syscall(SYS_kcmp, self, self, KCMP_FILE, a, b);
    if (r < 0) return -1;
    return r == 0 ? 1 : 0;
}

void output_init(output *o, int out_fd, int err_fd, const output_plan &plan) {
    o->stdout_errno = 0;
    int fds[2] = {out_fd, err_fd};
    for (int s = 0; s < 2; s++) {
        o->buffers[s].fd = fds[s];
        o->buffers[s].immediate = plan.immediate[s];
        o->buffers[s].len = 0;
        o->buffers[s].holds_stdout = false;
        o->of[s] = &o->buffers[s];
    }
    if (plan.shared) o->of[OUT_STDERR] = o->of[OUT_STDOUT];
}

void output_add(output *o, out_stream s, const char *text, size_t len) {
    out_buffer *b = o->of[s];
    if (len == 0) return;
    if (s == OUT_STDOUT) b->holds_stdout = true;
    while (len > 0) {
        if (b->len == OUT_BUFFER_SIZE) {
            drain(o, b);
            if (s == OUT_STDOUT) b->holds_stdout = true;
        }
        size_t n = len < OUT_BUFFER_SIZE - b->len ? len : OUT_BUFFER_SIZE - b->len;
        memcpy(b->data + b->len, text, n);
        b->len += n;
        text += n;
        len -= n;
    }
    if (b->immediate && memchr(b->data, '\n', b->len)) drain(o, b);
}

void output_printf(output *o, out_stream s, const char *fmt, ...) {
    char line[512];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    output_add(o, s, line,
               static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

void output_report(output *o, const char *what) {
    const char *why = strerror(errno);
    output_printf(o, OUT_STDERR, "%s: %s\n", what, why);
}

int output_flush(output *o) {
    for (out_buffer &b : o->buffers) drain(o, &b);
    if (o->stdout_errno == 0) return 0;
    errno = o->stdout_errno;
    return -1;
}
