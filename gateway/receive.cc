// receive.cc - the multicast receive: drains the sockets at each readable
// event, so that datagrams wait in the kernel only while the loop serves
// HTTP, and the socket holds seconds of the radio for that time. With
// --repair each listed channel's data goes through its repair decoder,
// which rebuilds what was lost before the history takes it.
#include "receive.h"

#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <event2/event.h>

#include "listeners.h"
#include "mono_clock.h"
#include "now_playing.h"
#include "proto.h"
#include "repair_decoder.h"

namespace {

// Datagrams taken by one receive call, and receive calls per readable
// event at most: a flood beyond that waits for the next turn of the loop,
// so HTTP is served meanwhile.
constexpr unsigned BATCH = 32;
constexpr int ROUNDS_MAX = 64;
// Asked of the kernel for each socket; it gives at most net.core.rmem_max
// unless we may force it. Two seconds of a radio of 32 channels of 128
// kbit/s take about 1 MiB.
constexpr int RCVBUF = 8 << 20;

struct receive_buffers {
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    sockaddr_in from[BATCH];
    uint8_t *bufs;  // BATCH buffers of MSG_MAX_SIZE bytes, one after the other
    // The channels whose pending bytes this drain began, each once.
    uint8_t touched[255];
    int touched_count;
    int last_errno;  // the last failure reported; 0 after a receive works
};

// Takes the first n datagrams of rx, which came at now.
using batch_fn = void (*)(gateway *g, unsigned n, long long now);

// The events of receive_events, by place.
enum { EV_DATA, EV_NOW_PLAYING, EV_REPAIR, EV_REBUILD_TIMER };

receive_buffers rx;

void report_failure(gateway *g, const char *what) {
    if (errno == rx.last_errno) return;  // once, not once per event
    rx.last_errno = errno;
    fprintf(g->report, "%s: %s\n", what, strerror(errno));
}

// Lists c for this drain's hand-out when a take just gave it its first
// bytes (had: its pending bytes before the take).
void touch(const channel &c, bool had) {
    if (!had && !c.pending.empty()) rx.touched[rx.touched_count++] = c.id;
}

// With --repair, after a list: the decoders of channels that left it go.
void follow_list(gateway *g, long long now) {
    for (channel &c : g->channels) {
        bool had = !c.pending.empty();
        channel_follow_list(&c, now);
        touch(c, had);
    }
}

void take_batch(gateway *g, unsigned n, long long now) {
    for (unsigned i = 0; i < n; i++) {
        const uint8_t *buf = rx.bufs + i * MSG_MAX_SIZE;
        size_t len = rx.msgs[i].msg_len;
        table_kind kind = table_take(&g->tab, rx.from[i], buf, len, now);
        if (kind == TABLE_LIST && g->conf.repair) follow_list(g, now);
        if (kind != TABLE_DATA) continue;
        channel &c = g->channels[buf[0]];
        bool had = !c.pending.empty();
        channel_take_data(&c, buf, len, now, g->conf.repair);
        touch(c, had);
    }
}

// Repair datagrams count only from the server that the data comes from,
// and only for the channels in its list.
void take_repair_batch(gateway *g, unsigned n, long long now) {
    for (unsigned i = 0; i < n; i++) {
        const uint8_t *buf = rx.bufs + i * MSG_MAX_SIZE;
        size_t len = rx.msgs[i].msg_len;
        repair_header h;
        if (!table_from_server(g->tab, rx.from[i]) || !repair_parse(buf, len, &h)) continue;
        channel &c = g->channels[h.chnid];
        bool had = !c.pending.empty();
        channel_take_repair(&c, buf, len, now);
        touch(c, had);
    }
}

// Each channel's payloads of this drain become one chunk: one piece of
// history, which its listeners take at their flush; and its frames go to
// the channel's HLS segments.
void hand_out(gateway *g, long long now) {
    const sockaddr_in &server = g->tab.server;
    uint64_t source = uint64_t{ntohl(server.sin_addr.s_addr)} << 16 | ntohs(server.sin_port);
    const channel_drain d = {now, wall_ns(), source, g->limits, g->hls};
    for (int i = 0; i < rx.touched_count; i++) {
        uint8_t id = rx.touched[i];
        chunk_unref(channel_hand_out(&g->channels[id], d));
        listeners_start_waiting(g, id);
    }
    rx.touched_count = 0;
}

// Wakes the loop when a decoder next hands out by time: when a block's or
// a datagram's hold ends.
void arm_rebuild_timer(gateway *g, long long now) {
    long long due = LLONG_MAX;
    for (const channel &c : g->channels)
        if (c.decoder) due = std::min(due, repair_decoder_due(*c.decoder));
    event *timer = g->receive_events[EV_REBUILD_TIMER];
    if (due == LLONG_MAX) {
        event_del(timer);
        return;
    }
    long long wait_us = (std::max(due - now, 0LL) + 999) / 1000;  // rounded up: never early
    timeval tv = {static_cast<time_t>(wait_us / 1'000'000),
                  static_cast<suseconds_t>(wait_us % 1'000'000)};
    event_add(timer, &tv);
}

void on_rebuild_timer(evutil_socket_t, short, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    long long now = now_ns();
    for (channel &c : g->channels) {
        bool had = !c.pending.empty();
        channel_take_due(&c, now);
        touch(c, had);
    }
    hand_out(g, now);
    arm_rebuild_timer(g, now);
}

// Takes what sd holds, in batches, with take.
void drain(gateway *g, evutil_socket_t sd, batch_fn take, long long now) {
    for (int round = 0; round < ROUNDS_MAX; round++) {
        for (unsigned i = 0; i < BATCH; i++) rx.msgs[i].msg_hdr.msg_namelen = sizeof rx.from[i];
        int n = recvmmsg(sd, rx.msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) report_failure(g, "recvmmsg()");
        if (n <= 0) break;
        rx.last_errno = 0;
        take(g, static_cast<unsigned>(n), now);
        if (static_cast<unsigned>(n) < BATCH) break;
    }
}

void on_data(evutil_socket_t sd, short, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    long long now = now_ns();
    drain(g, sd, take_batch, now);
    hand_out(g, now);
    if (g->conf.repair) arm_rebuild_timer(g, now);
}

// The data socket is drained first: the data datagrams that came before a
// block's first repair datagram are then taken before it, as the decoder
// needs them, even when the loop saw the repair socket first.
void on_repair(evutil_socket_t sd, short, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    long long now = now_ns();
    drain(g, g->data_join.sd, take_batch, now);
    drain(g, sd, take_repair_batch, now);
    hand_out(g, now);
    arm_rebuild_timer(g, now);
}

void on_now_playing(evutil_socket_t sd, short, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    for (int round = 0; round < ROUNDS_MAX; round++) {
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(sd, rx.bufs, MSG_MAX_SIZE, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &flen);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) report_failure(g, "recvfrom()");
        if (n < 0) break;
        table_take_now_playing(&g->tab, from, rx.bufs, static_cast<size_t>(n));
    }
}

// A socket joined to the group as m says and bound to port; reports and
// returns -1 on failure.
int open_joined(gateway *g, join_membership *m, int port) {
    // Shared with a client or another gateway on this host.
    const char *failed = nullptr;
    int sd = membership_open(m, static_cast<uint16_t>(port), true, SOCK_NONBLOCK, &failed);
    if (sd < 0) {
        fprintf(g->report, "%s: %s\n", failed, strerror(errno));
        return -1;
    }
    int size = RCVBUF;
    if (setsockopt(sd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return sd;
}

// The membership the options ask for, without its socket; false after a
// report when an option names nothing. A group that is no multicast
// address is refused here too: a join could only fail.
bool plan_membership(gateway *g, join_membership *m) {
    const gateway_conf &c = g->conf;
    join_plan plan = join_plan_here({c.group, c.source, c.interface});
    const std::string &why = plan.refused.empty() ? plan.not_multicast : plan.refused;
    if (!why.empty()) {
        fprintf(g->report, "%s\n", why.c_str());
        return false;
    }
    *m = plan.m;
    return true;
}

bool add_reader(gateway *g, int sd, event_callback_fn fn, event **ev) {
    *ev = event_new(g->base, sd, EV_READ | EV_PERSIST, fn, g);
    return *ev != nullptr && event_add(*ev, nullptr) == 0;
}

// With --repair: the repair port's socket, joined as the data socket is,
// and the timer of the decoders' holds. Reports and returns -1 on failure.
int start_repair(gateway *g) {
    g->repair_join = g->data_join;
    g->repair_join.sd = -1;
    if (open_joined(g, &g->repair_join, repair_port(g->conf.port)) < 0) return -1;
    g->receive_events[EV_REBUILD_TIMER] = evtimer_new(g->base, on_rebuild_timer, g);
    if (g->receive_events[EV_REBUILD_TIMER] == nullptr ||
        !add_reader(g, g->repair_join.sd, on_repair, &g->receive_events[EV_REPAIR])) {
        fprintf(g->report, "event_add(): cannot watch the repair socket\n");
        return -1;
    }
    return 0;
}

}  // namespace

int receive_start(gateway *g) {
    rx.bufs = static_cast<uint8_t *>(malloc(BATCH * MSG_MAX_SIZE));
    if (rx.bufs == nullptr) {
        fprintf(g->report, "malloc(): %s\n", strerror(errno));
        return -1;
    }
    for (unsigned i = 0; i < BATCH; i++) {
        rx.iov[i] = {rx.bufs + i * MSG_MAX_SIZE, MSG_MAX_SIZE};
        rx.msgs[i].msg_hdr = {};
        rx.msgs[i].msg_hdr.msg_iov = &rx.iov[i];
        rx.msgs[i].msg_hdr.msg_iovlen = 1;
        rx.msgs[i].msg_hdr.msg_name = &rx.from[i];
    }
    if (!plan_membership(g, &g->data_join)) return -1;
    g->np_join = g->data_join;
    int np_port = g->conf.np_port != 0 ? g->conf.np_port : now_playing_port(g->conf.port);
    if (open_joined(g, &g->data_join, g->conf.port) < 0 || open_joined(g, &g->np_join, np_port) < 0)
        return -1;
    if (!add_reader(g, g->data_join.sd, on_data, &g->receive_events[EV_DATA]) ||
        !add_reader(g, g->np_join.sd, on_now_playing, &g->receive_events[EV_NOW_PLAYING])) {
        fprintf(g->report, "event_add(): cannot watch the sockets\n");
        return -1;
    }
    return g->conf.repair ? start_repair(g) : 0;
}

void receive_follow(gateway *g) {
    for (join_membership *m : {&g->data_join, &g->np_join, &g->repair_join})
        if (m->sd >= 0 && membership_follow(m) < 0) report_failure(g, "setsockopt()");
}

void receive_stop(gateway *g) {
    for (event *&ev : g->receive_events) {
        if (ev != nullptr) event_free(ev);
        ev = nullptr;
    }
    for (join_membership *m : {&g->data_join, &g->np_join, &g->repair_join})
        if (m->sd >= 0) close(m->sd);
    free(rx.bufs);
    rx.bufs = nullptr;
}
