// listeners.h - many HTTP listeners of endless audio streams in one epoll
// loop, for the gateway benchmark. Each is a non-blocking connection over
// IPv4 loopback that asks for one stream, stamps when it asked and when the
// first byte of the response body arrived (by the kernel's receive stamp, so
// that the loop's own delays do not count), and keeps every body byte
// (chunked coding removed), so that what it got can be compared byte for byte.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "bench_util.h"

struct listener {
    int fd = -1;           // -1 once closed
    int target = 0;        // the caller's number of the stream it asked for
    double t_asked = 0;    // when it called connect(), real-time clock, seconds
    double t_first = -1;   // when the first body byte arrived, by the kernel's stamp; -1 before
    int status = 0;        // the response's status; 0 until its head is in
    bool chunked = false;  // the body comes in the chunked coding
    dechunker chunks;
    std::string request;  // the request, and how much of it went out
    size_t sent = 0;
    std::string head;  // the response head (and, until it ends, what came)
    std::string body;  // every body byte, in order (unless the set hands them on)
    uint64_t body_bytes = 0;
    std::string failure;  // why it ended before the caller closed it; "" if it did not
};

struct listener_set;
// Takes the body bytes of listener i as they come, instead of its body.
using body_sink = void (*)(listener_set *s, size_t i, const char *data, size_t n);

struct listener_set {
    int ep = -1;                // the epoll descriptor
    std::vector<listener> all;  // indices stay valid: listeners are never removed
    body_sink sink = nullptr;   // null: every listener keeps its body
};

// The monotonic clock and the real-time clock (that of the kernel's
// arrival stamps), in seconds.
double listeners_now();
double listeners_real_now();

// Opens the epoll descriptor; false (errno set) when it cannot.
bool listeners_open(listener_set *s);

// Starts a listener that connects to 127.0.0.1:port and asks for path with
// an HTTP/1.1 GET, its body storage reserved for reserve bytes; returns its
// index. A connection that fails at once is kept, with its failure.
size_t listener_start(listener_set *s, int target, uint16_t port, const std::string &path,
                      size_t reserve);

// Serves the listeners' events until ms milliseconds have passed.
void listeners_run(listener_set *s, int ms);

// Closes listener i, keeping what it got.
void listener_close(listener_set *s, size_t i);

// Closes every listener and the epoll descriptor.
void listeners_close_all(listener_set *s);
