// listeners.cc - fan-out of the channels' chunks to the HTTP listeners, and
// the lag rule.
#include "listeners.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>

#include "icy.h"

struct listener {
    gateway *g;
    evhttp_request *req;
    evhttp_connection *evcon;
    int fd;
    int chnid;
    size_t index;         // in g->listeners[chnid]
    bool started;         // else it waits for the first frame start
    uint64_t start;       // the stream offset it started at
    uint64_t queued_end;  // the offset after the last byte queued for it
    bool icy;
    icy_state meta;
};

namespace {

// The kernel doubles this: a listener that stops reading holds about 32 KiB
// in its socket, two seconds of 128 kbit/s, which the lag rule counts
// (SIOCOUTQ). Left to itself the kernel grows the buffer to megabytes.
constexpr int LISTENER_SNDBUF = 16 * 1024;
// What a listener may send us while it listens is read up to this and then
// left in its socket: enough to see it close, never a growing buffer.
constexpr size_t LISTENER_READ_MAX = 4096;

void release_chunk(const void *, size_t, void *extra) {
    chunk_unref(static_cast<chunk *>(extra));
}

// Adds c->bytes[begin, begin + len) to the scratch buffer for l, by
// reference, with ICY blocks where they fall.
void queue_range(listener *l, chunk *c, size_t begin, size_t len) {
    evbuffer *b = l->g->scratch;
    while (len > 0) {
        size_t n = len;
        bool due = false;
        if (l->icy) n = icy_next_piece(l->meta, len, &due);
        chunk_ref(c);
        evbuffer_add_reference(b, c->bytes.data() + begin, n, release_chunk, c);
        if (l->icy) icy_sent(&l->meta, n);
        if (due) {
            std::string block = icy_due_block(&l->meta, table_title(l->g->tab, l->chnid));
            evbuffer_add(b, block.data(), block.size());
        }
        begin += n;
        len -= n;
    }
}

// Sends what the scratch buffer holds as the next piece of l's answer.
void flush(listener *l) {
    evbuffer *b = l->g->scratch;
    if (evhttp_request_get_connection(l->req) != nullptr) evhttp_send_reply_chunk(l->req, b);
    evbuffer_drain(b, evbuffer_get_length(b));  // never left for the next listener
}

// Starts l at the frame its burst begins with, when one is held: queues
// every held byte from there.
void try_start(listener *l) {
    const history &h = l->g->hist[l->chnid];
    uint64_t from;
    if (!history_burst_start(h, l->g->limits.burst_ns, &from)) return;
    for (const held_chunk &hc : h.held) {
        uint64_t end = hc.offset + hc.c->bytes.size();
        if (end <= from) continue;
        uint64_t begin = from > hc.offset ? from - hc.offset : 0;
        queue_range(l, hc.c, static_cast<size_t>(begin),
                    static_cast<size_t>(end - hc.offset - begin));
    }
    l->started = true;
    l->start = from;
    l->queued_end = h.end;
    flush(l);
}

void unlink_listener(listener *l) {
    gateway *g = l->g;
    std::vector<listener *> &v = g->listeners[l->chnid];
    v[l->index] = v.back();
    v[l->index]->index = l->index;
    v.pop_back();
    g->tab.ch[l->chnid].listeners--;
    g->listener_count--;
}

// The connection is going: by the listener's doing or a failed write.
void on_close(evhttp_connection *, void *arg) {
    auto *l = static_cast<listener *>(arg);
    unlink_listener(l);
    // A request whose connection failed is left to us to free; otherwise
    // the connection frees it.
    if (evhttp_request_get_connection(l->req) == nullptr) evhttp_send_reply_end(l->req);
    delete l;
}

// Closes l's connection at once; what its queue held is released.
void drop(listener *l) {
    unlink_listener(l);
    evhttp_connection_set_closecb(l->evcon, nullptr, nullptr);
    evhttp_connection_free(l->evcon);
    delete l;
}

// Bytes of l's answer that its TCP stack has not accepted: our queue and
// the socket's. Unknown (the socket failed): all we ever queued. The few
// bytes of chunk framing and ICY blocks count as stream bytes, which makes
// the lag look a little larger than it is, never smaller.
uint64_t unaccepted(const listener *l) {
    bufferevent *bev = evhttp_connection_get_bufferevent(l->evcon);
    uint64_t own = evbuffer_get_length(bufferevent_get_output(bev));
    int outq = 0;
    if (ioctl(l->fd, SIOCOUTQ, &outq) < 0) return l->queued_end - l->start;
    return own + static_cast<uint64_t>(outq);
}

}  // namespace

void listener_start(gateway *g, evhttp_request *req, int chnid, bool icy) {
    evhttp_connection *evcon = evhttp_request_get_connection(req);
    bufferevent *bev = evhttp_connection_get_bufferevent(evcon);
    auto *l = new listener{g, req, evcon, bufferevent_getfd(bev), chnid, 0, false, 0, 0, icy, {}};
    setsockopt(l->fd, SOL_SOCKET, SO_SNDBUF, &LISTENER_SNDBUF, sizeof LISTENER_SNDBUF);
    l->index = g->listeners[chnid].size();
    g->listeners[chnid].push_back(l);
    g->tab.ch[chnid].listeners++;
    g->listener_count++;
    evhttp_connection_set_closecb(evcon, on_close, l);
    evhttp_send_reply_start(req, 200, "OK");
    // The head has come: from here on only the lag rule ends the stream.
    bufferevent_set_timeouts(bev, nullptr, nullptr);
    bufferevent_setwatermark(bev, EV_READ, 0, LISTENER_READ_MAX);
    try_start(l);
}

void listeners_take_chunk(gateway *g, int chnid, chunk *c) {
    // Sends only queue (the library writes when the loop next turns), so no
    // listener leaves while this runs.
    std::vector<listener *> &v = g->listeners[chnid];
    for (size_t i = 0; i < v.size(); i++) {
        listener *l = v[i];
        if (!l->started) {
            try_start(l);
            continue;
        }
        queue_range(l, c, 0, c->bytes.size());
        l->queued_end += c->bytes.size();
        flush(l);
    }
}

void listeners_check_lag(gateway *g, long long now) {
    for (int id = 1; id < 256; id++) {
        std::vector<listener *> &v = g->listeners[id];
        for (size_t i = v.size(); i-- > 0;) {
            listener *l = v[i];
            if (!l->started) continue;
            uint64_t behind = std::min(unaccepted(l), l->queued_end - l->start);
            long long age = history_age_ns(g->hist[id], l->queued_end - behind, now);
            if (behind == 0 || (age >= 0 && age <= g->limits.lag_ns)) continue;
            g->counters.dropped_lagging++;
            drop(l);
        }
    }
}

void listeners_end_all(gateway *g) {
    for (auto &v : g->listeners)
        while (!v.empty()) drop(v.back());
}
