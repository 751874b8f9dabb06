// output.h - the client's standard output and standard error: lines kept in
// the order they are produced, written in batches where that is safe, and
// failures handled per stream (a line of standard output that cannot be
// written is an error; a diagnostic that cannot be written is dropped).
#pragma once

#include <stddef.h>

enum out_stream { OUT_STDOUT = 0, OUT_STDERR = 1 };

// How the two streams are written, decided once at start-up.
struct output_plan {
    bool shared;          // one open file takes both: one buffer, in order
    bool immediate[2];    // per stream: each line is written when complete
};

// same_file: standard output and error are one open file; tty[s]: stream s
// is a terminal. A terminal gets each line as it is produced; otherwise
// lines are gathered and written when the client flushes.
output_plan output_plan_for(bool same_file, bool out_tty, bool err_tty);

// 1 when descriptors a and b of this process are the same open file, 0 when
// they are not, -1 when the system cannot tell.
int same_open_file(int a, int b);

constexpr size_t OUT_BUFFER_SIZE = 16384;

struct out_buffer {
    int fd = -1;
    bool immediate = false;
    bool holds_stdout = false;  // some of data is standard output's text
    size_t len = 0;
    char data[OUT_BUFFER_SIZE];
};

struct output {
    out_buffer buffers[2];
    out_buffer *of[2] = {nullptr, nullptr};  // the buffer of each stream
    int stdout_errno = 0;  // why standard output's text could not be written, or 0
};

// Sets o up to write OUT_STDOUT to out_fd and OUT_STDERR to err_fd as plan says.
void output_init(output *o, int out_fd, int err_fd, const output_plan &plan);

// Adds len bytes of text to stream s; on a terminal, a complete line is
// written at once.
void output_add(output *o, out_stream s, const char *text, size_t len);

// Formats like printf and adds the result to stream s.
void output_printf(output *o, out_stream s, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// What perror prints: "what: <description of errno>\n", on standard error.
void output_report(output *o, const char *what);

// Writes everything gathered. Returns 0, or -1 (errno set) once any text of
// standard output could not be written; the failure stays.
int output_flush(output *o);
