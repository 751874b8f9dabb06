// report.cc - a stream that names the program at the start of every line.
#include "report.h"

#include <mutex>
#include <string>

namespace {

struct named_lines {
    FILE *to = nullptr;
    std::string prefix;  // "name: "
    bool at_line_start = true;
    named_lines *next = nullptr;
    // The C library holds the stream's own lock around each write, but
    // a thread checker cannot see that lock; this one it sees.
    std::mutex lock;
};

// Every stream's state, kept for the life of the process: exit flushes the
// streams after static destructors have run, so nothing may free it, and
// held here it is no leak to a leak checker, which cannot see the pointer
// that the C library keeps.
named_lines *all_streams = nullptr;

// fopencookie's write: the bytes with the prefix at the start of each line,
// handed on in one call (so lines of two processes do not mix).
ssize_t write_named(void *cookie, const char *buf, size_t size) {
    auto *n = static_cast<named_lines *>(cookie);
    std::lock_guard<std::mutex> hold(n->lock);
    std::string text;
    for (size_t i = 0; i < size; i++) {
        if (n->at_line_start) text += n->prefix;
        text += buf[i];
        n->at_line_start = buf[i] == '\n';
    }
    fwrite(text.data(), 1, text.size(), n->to);
    fflush(n->to);
    return static_cast<ssize_t>(size);
}

}  // namespace

FILE *report_stream(FILE *to, const char *name) {
    auto *n = new named_lines;
    n->to = to;
    n->prefix = std::string(name) + ": ";
    cookie_io_functions_t io = {nullptr, write_named, nullptr, nullptr};
    FILE *f = fopencookie(n, "w", io);
    if (f == nullptr) {
        delete n;
        return nullptr;
    }
    setvbuf(f, nullptr, _IOLBF, BUFSIZ);
    n->next = all_streams;
    all_streams = n;
    return f;
}
