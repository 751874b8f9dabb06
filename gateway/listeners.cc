// listeners.cc - fan-out of the channels' chunks to the HTTP listeners, and
// the lag rule. Once a listener's response head is queued, its stream
// bypasses the HTTP library: pieces of the shared chunks go straight to the
// socket with writev, and a write event is armed only while the socket is
// full, so a write that fits costs one system call and no epoll_ctl. A
// started listener takes its channel's new chunks from the history at its
// flush, not at every drain: a drain touches no listener that is playing.
#include "listeners.h"

#include <errno.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <string>
#include <vector>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include "connections.h"
#include "icy.h"

namespace {

// What a listener's socket has not taken yet: a piece of a shared chunk
// (holding a reference), or bytes of its own (the response head, chunk
// framing, an ICY block).
struct segment {
    chunk *c;         // null for own bytes
    size_t off, len;  // into c->bytes or own
    std::string own;
};

}  // namespace

struct listener {
    gateway *g;
    evhttp_request *req;
    evhttp_connection *evcon;
    int fd;
    int chnid;
    size_t index;         // in g->channels[chnid].listeners
    bool started;         // else it waits for the first frame start
    uint64_t start;       // the stream offset it started at
    uint64_t queued_end;  // the offset after the last byte queued for it: it pulls from there
    bool icy;
    icy_state meta;
    bool chunked;                // HTTP/1.1: each write is one chunk of the chunked coding
    bool failed;                 // a write failed: nothing more is written, the tick drops it
    event *writable;             // armed only while the socket is full
    size_t frame_at;             // the size line of the chunk being filled; NO_FRAME: none
    size_t frame_body;           // its bytes so far
    std::vector<segment> queue;  // unsent, from queue[head]
    size_t head;
    size_t queued_bytes;  // in queue[head..]
};

namespace {

// The kernel doubles this: a listener that stops reading holds about 32 KiB
// in its socket, two seconds of 128 kbit/s, which the lag rule counts
// (SIOCOUTQ). Left to itself the kernel grows the buffer to megabytes.
constexpr int LISTENER_SNDBUF = 16 * 1024;
// The most stream bytes SIOCOUTQ can show for such a socket: the doubled
// buffer and one more segment of up to 64 KiB that a write may add past it.
constexpr uint64_t SOCKET_HOLDS_MAX = 2 * LISTENER_SNDBUF + 64 * 1024;
// What a listener may send us while it listens is read up to this and then
// left in its socket: enough to see it close, never a growing buffer.
constexpr size_t LISTENER_READ_MAX = 4096;
// Segments handed to one writev.
constexpr int IOV_BATCH = 64;
constexpr size_t NO_FRAME = SIZE_MAX;

void push_own(listener *l, std::string bytes) {
    size_t n = bytes.size();
    l->queue.push_back({nullptr, 0, n, std::move(bytes)});
    l->queued_bytes += n;
}

void push_piece(listener *l, chunk *c, size_t begin, size_t n) {
    chunk_ref(c);
    l->queue.push_back({c, begin, n, {}});
    l->queued_bytes += n;
}

// Queues c->bytes[begin, begin + len) for l, by reference, with ICY blocks
// where they fall. Returns the bytes queued.
size_t queue_range(listener *l, chunk *c, size_t begin, size_t len) {
    size_t queued = 0;
    while (len > 0) {
        size_t n = len;
        bool due = false;
        if (l->icy) n = icy_next_piece(l->meta, len, &due);
        push_piece(l, c, begin, n);
        queued += n;
        if (l->icy) icy_sent(&l->meta, n);
        if (due) {
            std::string block = icy_due_block(&l->meta, table_title(l->g->tab, l->chnid));
            queued += block.size();
            push_own(l, std::move(block));
        }
        begin += n;
        len -= n;
    }
    return queued;
}

// Queues c->bytes[begin, begin + len) as the next bytes of l's answer, in
// the chunk of the chunked coding being filled (opened here when none is);
// its size line is written by close_frame.
void send_range(listener *l, chunk *c, size_t begin, size_t len) {
    if (l->frame_at == NO_FRAME && l->head > 0 && l->head * 2 > l->queue.size()) {
        l->queue.erase(l->queue.begin(), l->queue.begin() + static_cast<ptrdiff_t>(l->head));
        l->head = 0;  // sent segments go
    }
    if (l->chunked && l->frame_at == NO_FRAME) {
        push_own(l, {});
        l->frame_at = l->queue.size() - 1;
        l->frame_body = 0;
    }
    l->frame_body += queue_range(l, c, begin, len);
}

// Ends the chunk being filled, before its bytes are written.
void close_frame(listener *l) {
    if (l->frame_at == NO_FRAME) return;
    segment &line = l->queue[l->frame_at];
    l->frame_at = NO_FRAME;
    if (l->frame_body == 0) {  // an empty chunk would end the stream; the line is the last segment
        l->queue.pop_back();
        return;
    }
    char text[24];
    int n = snprintf(text, sizeof text, "%zx\r\n", l->frame_body);
    line.own.assign(text, static_cast<size_t>(n));
    line.len = static_cast<size_t>(n);
    l->queued_bytes += static_cast<size_t>(n);
    push_own(l, "\r\n");
}

// Forgets the first n bytes of l's queue, which the socket took.
void consume(listener *l, size_t n) {
    l->queued_bytes -= n;
    while (n > 0) {
        segment &s = l->queue[l->head];
        if (n < s.len) {
            s.off += n;
            s.len -= n;
            return;
        }
        n -= s.len;
        if (s.c != nullptr) chunk_unref(s.c);
        l->head++;
    }
}

void clear_queue(listener *l) {
    for (size_t i = l->head; i < l->queue.size(); i++)
        if (l->queue[i].c != nullptr) chunk_unref(l->queue[i].c);
    l->queue.clear();
    l->head = 0;
    l->queued_bytes = 0;
}

// Writes l's queue until it is empty or the socket is full; the write
// event is armed only while something waits. A failed socket is marked.
void write_out(listener *l) {
    close_frame(l);
    while (l->head < l->queue.size()) {
        iovec iov[IOV_BATCH];
        int n = 0;
        size_t want = 0;
        for (size_t i = l->head; i < l->queue.size() && n < IOV_BATCH; i++, n++) {
            const segment &s = l->queue[i];
            const uint8_t *base =
                s.c ? s.c->bytes.data() : reinterpret_cast<const uint8_t *>(s.own.data());
            iov[n] = {const_cast<uint8_t *>(base + s.off), s.len};
            want += s.len;
        }
        ssize_t w = writev(l->fd, iov, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            l->failed = true;
            clear_queue(l);
            break;
        }
        if (w < 0) break;
        consume(l, static_cast<size_t>(w));
        if (static_cast<size_t>(w) < want) break;  // the socket is full
    }
    if (l->head == l->queue.size()) {
        l->queue.clear();  // keeps its capacity for the next write
        l->head = 0;
    }
    bool armed = event_pending(l->writable, EV_WRITE, nullptr);
    bool waiting = !l->queue.empty();
    if (waiting && !armed) event_add(l->writable, nullptr);
    if (!waiting && armed) event_del(l->writable);
}

void on_writable(evutil_socket_t, short, void *arg) {
    write_out(static_cast<listener *>(arg));
}

// Queues what l's channel took since l's last pull, by reference into the
// history's chunks, which hold it (listeners_check_lag keeps pull_from at
// or before every listener's queued_end). Should they not, l is failed:
// its stream could not go on whole.
void pull(listener *l) {
    const history &h = l->g->channels[l->chnid].hist;
    if (l->queued_end == h.end) return;
    auto it = h.held.end();
    while (it != h.held.begin() && std::prev(it)->offset > l->queued_end) --it;
    if (it == h.held.begin()) {
        l->failed = true;
        return;
    }
    for (--it; it != h.held.end(); ++it) {
        size_t begin = static_cast<size_t>(l->queued_end - it->offset);
        send_range(l, it->c, begin, it->c->bytes.size() - begin);
        l->queued_end = it->offset + it->c->bytes.size();
    }
}

// Starts l at the frame its burst begins with, when one is held: queues
// every held byte from there.
void try_start(listener *l) {
    history &h = l->g->channels[l->chnid].hist;
    uint64_t from;
    if (!history_burst_start(h, l->g->limits.burst_ns, &from)) return;
    for (const held_chunk &hc : h.held) {
        uint64_t end = hc.offset + hc.c->bytes.size();
        if (end <= from) continue;
        uint64_t begin = from > hc.offset ? from - hc.offset : 0;
        send_range(l, hc.c, static_cast<size_t>(begin),
                   static_cast<size_t>(end - hc.offset - begin));
    }
    l->started = true;
    l->start = from;
    l->queued_end = h.end;
    h.pull_from = std::min(h.pull_from, h.end);  // what comes next stays for its pull
    l->g->channels[l->chnid].listeners_waiting--;
    write_out(l);
}

void unlink_listener(listener *l) {
    gateway *g = l->g;
    channel &c = g->channels[l->chnid];
    std::vector<listener *> &v = c.listeners;
    v[l->index] = v.back();
    v[l->index]->index = l->index;
    v.pop_back();
    if (!l->started) c.listeners_waiting--;
    g->tab.ch[l->chnid].listeners--;
    g->listener_count--;
    if (l->writable != nullptr) event_free(l->writable);
    clear_queue(l);
}

// Frees the listener arg, whose connection is going: by the listener's
// doing, a failed read, or a drop.
void on_closed(void *arg) {
    auto *l = static_cast<listener *>(arg);
    unlink_listener(l);
    // A request whose connection failed is left to us to free; otherwise
    // the connection frees it.
    if (evhttp_request_get_connection(l->req) == nullptr) evhttp_send_reply_end(l->req);
    delete l;
}

// Closes l's connection at once; what its queue held is released, and
// on_closed frees l.
void drop(listener *l) {
    evhttp_connection_free(l->evcon);
}

// Bytes of l's stream that we hold for it: those it has still to pull from
// the history and its queue.
uint64_t held_for(const listener *l, const history &h) {
    return h.end - l->queued_end + l->queued_bytes;
}

// Bytes of l's answer that its TCP stack has not accepted: what we hold for
// it and what its socket holds. Unknown (the socket failed): all of its
// stream. The few bytes of chunk framing and ICY blocks count as stream
// bytes, which makes the lag look a little larger than it is, never smaller.
uint64_t unaccepted(const listener *l, const history &h) {
    int outq = 0;
    if (ioctl(l->fd, SIOCOUTQ, &outq) < 0) return h.end - l->start;
    return held_for(l, h) + static_cast<uint64_t>(outq);
}

// Whether l's oldest unaccepted byte, behind bytes before the end of its
// channel's stream, is older than the lag at now.
bool lags(const listener *l, const history &h, uint64_t behind, long long now) {
    behind = std::min(behind, h.end - l->start);
    long long age = history_age_ns(h, h.end - behind, now);
    return behind > 0 && (age < 0 || age > l->g->limits.lag_ns);
}

// Moves the response head that the library queued onto l's own queue, so
// that the stream's bytes follow it on the socket in order; the library's
// bufferevent is left to watch the connection for its close. Its output
// buffer is frozen at the front between its own writes (after a first
// answer on the connection): thawed for this one read, and frozen again.
void take_over(listener *l) {
    evbuffer *out = bufferevent_get_output(evhttp_connection_get_bufferevent(l->evcon));
    std::string head(evbuffer_get_length(out), '\0');
    int got = evbuffer_remove(out, head.data(), head.size());
    if (got < 0) {
        evbuffer_unfreeze(out, 1);
        got = evbuffer_remove(out, head.data(), head.size());
        evbuffer_freeze(out, 1);
    }
    if (got != static_cast<int>(head.size())) {
        l->failed = true;
        return;
    }
    push_own(l, std::move(head));
}

}  // namespace

void listener_start(gateway *g, evhttp_request *req, int chnid, bool icy) {
    evhttp_connection *evcon = evhttp_request_get_connection(req);
    bufferevent *bev = evhttp_connection_get_bufferevent(evcon);
    auto *l = new listener{};  // the rest zero: no bytes queued, not started
    if (!connection_on_close(evcon, on_closed, l)) {
        delete l;
        evhttp_send_reply(req, 503, "Service Unavailable", nullptr);
        return;
    }
    l->g = g;
    l->req = req;
    l->evcon = evcon;
    l->fd = bufferevent_getfd(bev);
    l->chnid = chnid;
    l->icy = icy;
    l->frame_at = NO_FRAME;
    l->writable = event_new(g->base, l->fd, EV_WRITE | EV_PERSIST, on_writable, l);
    setsockopt(l->fd, SOL_SOCKET, SO_SNDBUF, &LISTENER_SNDBUF, sizeof LISTENER_SNDBUF);
    l->index = g->channels[chnid].listeners.size();
    g->channels[chnid].listeners.push_back(l);
    g->channels[chnid].listeners_waiting++;
    g->tab.ch[chnid].listeners++;
    g->listener_count++;
    evhttp_send_reply_start(req, 200, "OK");
    const char *te =
        evhttp_find_header(evhttp_request_get_output_headers(req), "Transfer-Encoding");
    l->chunked = te != nullptr && strcmp(te, "chunked") == 0;
    // The head has come: from here on only the lag rule ends the stream.
    bufferevent_set_timeouts(bev, nullptr, nullptr);
    bufferevent_setwatermark(bev, EV_READ, 0, LISTENER_READ_MAX);
    if (l->writable == nullptr) l->failed = true;
    if (!l->failed) take_over(l);
    if (!l->failed) try_start(l);
}

void listeners_start_waiting(gateway *g, int chnid) {
    channel &c = g->channels[chnid];
    if (c.listeners_waiting == 0) return;
    // A failed write only marks its listener, so none leaves while this runs.
    for (listener *l : c.listeners)
        if (!l->failed && !l->started) try_start(l);
}

// Only the listener's flush writes a started stream: two writes a second,
// each of half a second. A write at a drain as well, once some amount had
// gathered, would leave the flush soon after a remainder to write (at
// 10,000 listeners, 26,000 to 28,000 writes a second instead of 20,000).
// So no byte waits longer than one flush, as before, and a listener's bytes
// are its channel's, in order, as the history took them.
// A listener's part is its place in its channel's list, which changes only
// when one before it leaves: its wait then grows by one tick at most.
void listeners_flush(gateway *g, int part, int parts) {
    for (const channel &c : g->channels)
        for (size_t i = static_cast<size_t>(part); i < c.listeners.size();
             i += static_cast<size_t>(parts)) {
            listener *l = c.listeners[i];
            if (l->failed || !l->started) continue;
            pull(l);
            if (l->queued_bytes > 0 && !event_pending(l->writable, EV_WRITE, nullptr)) write_out(l);
        }
}

// Also sets each channel's pull_from: its history holds what any listener
// has still to pull.
void listeners_check_lag(gateway *g, long long now) {
    for (int id = 1; id < 256; id++) {
        history &h = g->channels[id].hist;
        std::vector<listener *> &v = g->channels[id].listeners;
        uint64_t pull_from = UINT64_MAX;
        for (size_t i = v.size(); i-- > 0;) {
            listener *l = v[i];
            if (l->failed) {
                drop(l);
                continue;
            }
            if (!l->started) continue;
            // The socket holds at most SOCKET_HOLDS_MAX: while even that
            // much more than we hold is young enough, it cannot lag, and
            // the kernel need not be asked.
            if (lags(l, h, held_for(l, h) + SOCKET_HOLDS_MAX, now) &&
                lags(l, h, unaccepted(l, h), now)) {
                g->counters.dropped_lagging++;
                drop(l);
                continue;
            }
            pull_from = std::min(pull_from, l->queued_end);
        }
        h.pull_from = pull_from;
    }
}

void listeners_end_all(gateway *g) {
    for (channel &c : g->channels) {
        std::vector<listener *> &v = c.listeners;
        while (!v.empty()) {
            listener *l = v.back();
            if (!l->failed) {
                if (l->started) pull(l);
                close_frame(l);
                if (l->chunked) push_own(l, "0\r\n\r\n");  // the stream's end
                write_out(l);
            }
            drop(l);
        }
    }
}
