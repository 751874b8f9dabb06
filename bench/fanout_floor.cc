// fanout_floor.cc - the least a program can spend to hand one channel of the
// radio to many HTTP listeners at the gateway's cadence: the floor that
// gateway_load_bench measures stream_gateway against.
//
// fanout_floor GROUP PORT HTTP_PORT [CHNID]
// Joins GROUP on PORT and keeps the payloads of channel CHNID (default 1)
// in one ring. Every connection to 127.0.0.1:HTTP_PORT that sends a request
// head is answered 200 with the channel's stream in the chunked coding,
// from the next datagram on. As stream_gateway writes: every 250 ms to half
// of the listeners, each one's new bytes (half a second of the channel) in
// one writev of one chunk, straight from the ring; sockets with SO_SNDBUF
// 16 KiB; a listener whose socket stays full is asked SIOCOUTQ and dropped
// once the oldest byte its TCP has not taken is older than the gateway's
// default lag (10 s). Nothing else: no burst on connect, no queue of its
// own per listener, no other channel, route or page.
// It joins a multicast group: run it only inside a private network
// namespace (gateway_load_bench does that for it).
#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "join.h"
#include "mono_clock.h"
#include "proto.h"

namespace {

// The gateway's values throughout, so that the kernel does the same work
// for both: a tick every 250 ms writes to one of two parts of the
// listeners (each gets its bytes every 500 ms); its listeners' socket
// buffer, its default lag, its receive buffer and datagrams per receive.
constexpr long long TICK_NS = 250'000'000;
constexpr size_t PARTS = 2;
constexpr int LISTENER_SNDBUF = 16 * 1024;
constexpr long long LAG_NS = 10 * NS_PER_S;
constexpr int RCVBUF = 8 << 20;
constexpr unsigned BATCH = 32;
// 64 s of 128 kbit/s, beyond the lag: a listener is dropped by the lag
// rule before the ring overwrites its bytes.
constexpr size_t RING_SIZE = 1 << 20;
// Datagrams whose arrival is kept, for the lag rule: more than the ring holds.
constexpr size_t ARRIVALS = 4096;
// What a listener sends is read this much at a time, and dropped.
constexpr size_t READ_MAX = 4096;
constexpr char HEAD[] =
    "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\nTransfer-Encoding: chunked\r\n"
    "Cache-Control: no-cache\r\n\r\n";
constexpr char CRLF[] = "\r\n";

// The channel's last RING_SIZE bytes, and where and when its last
// ARRIVALS datagrams began.
struct stream {
    std::vector<uint8_t> ring = std::vector<uint8_t>(RING_SIZE);
    uint64_t end = 0;  // bytes taken since the start
    uint64_t arrival_at[ARRIVALS] = {};
    long long arrival_ns[ARRIVALS] = {};
    uint64_t arrivals = 0;
};

// A connection. Its chunk being written is its size line, body_left
// stream bytes from pos on, and the CRLF after them.
struct listener {
    int fd = -1;
    bool answered = false;  // the head went out: it streams
    int matched = 0;        // bytes of the blank line matched at the end of its request so far
    uint64_t pos = 0;       // the next stream byte it gets
    size_t body_left = 0;
    char line[24] = {};
    size_t line_len = 0, line_off = 0;
    size_t crlf_left = 0;
};

struct floor_state {
    int ep = -1, group_sd = -1, listen_sd = -1;
    int chnid = 1;
    stream s;
    std::vector<listener> all;
    std::vector<int> slot_of_fd;  // index in all, by descriptor
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    std::vector<uint8_t> bufs = std::vector<uint8_t>(BATCH * MSG_MAX_SIZE);
};

volatile sig_atomic_t stopping = 0;

void on_stop(int) {
    stopping = 1;
}

void take_payload(stream *s, const uint8_t *p, size_t n, long long now) {
    s->arrival_at[s->arrivals % ARRIVALS] = s->end;
    s->arrival_ns[s->arrivals % ARRIVALS] = now;
    s->arrivals++;
    size_t at = s->end % RING_SIZE, first = std::min(n, RING_SIZE - at);
    memcpy(s->ring.data() + at, p, first);
    memcpy(s->ring.data(), p + first, n - first);
    s->end += n;
}

// When the datagram holding stream byte off came; -1 when that is no longer kept.
long long arrival_of(const stream &s, uint64_t off) {
    uint64_t lo = s.arrivals > ARRIVALS ? s.arrivals - ARRIVALS : 0, hi = s.arrivals;
    if (lo == hi || off < s.arrival_at[lo % ARRIVALS]) return -1;
    while (hi - lo > 1) {  // the last arrival at or before off
        uint64_t mid = lo + (hi - lo) / 2;
        if (s.arrival_at[mid % ARRIVALS] <= off)
            lo = mid;
        else
            hi = mid;
    }
    return s.arrival_ns[lo % ARRIVALS];
}

void drain_group(floor_state *f) {
    long long now = now_ns();
    for (;;) {
        int n = recvmmsg(f->group_sd, f->msgs, BATCH, MSG_DONTWAIT, nullptr);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (int i = 0; i < n; i++) {
            const uint8_t *d = f->bufs.data() + static_cast<size_t>(i) * MSG_MAX_SIZE;
            if (f->msgs[i].msg_len >= DATA_MIN_SIZE && d[0] == f->chnid)
                take_payload(&f->s, d + 1, f->msgs[i].msg_len - 1, now);
        }
        if (static_cast<unsigned>(n) < BATCH) return;
    }
}

void drop(floor_state *f, size_t i) {
    int fd = f->all[i].fd;
    close(fd);  // leaves the epoll set with it
    f->all[i] = f->all.back();
    f->slot_of_fd[static_cast<size_t>(f->all[i].fd)] = static_cast<int>(i);
    f->all.pop_back();
    f->slot_of_fd[static_cast<size_t>(fd)] = -1;
}

void accept_all(floor_state *f) {
    for (;;) {
        int fd = accept4(f->listen_sd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (fd < 0) {  // out of descriptors: a readable listening socket would spin the loop
            perror("fanout_floor: accept4(); accepting no more");
            epoll_ctl(f->ep, EPOLL_CTL_DEL, f->listen_sd, nullptr);
            return;
        }
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &LISTENER_SNDBUF, sizeof LISTENER_SNDBUF);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        if (epoll_ctl(f->ep, EPOLL_CTL_ADD, fd, &ev) < 0) {
            close(fd);
            continue;
        }
        if (f->slot_of_fd.size() <= static_cast<size_t>(fd))
            f->slot_of_fd.resize(static_cast<size_t>(fd) + 1, -1);
        f->slot_of_fd[static_cast<size_t>(fd)] = static_cast<int>(f->all.size());
        f->all.push_back(listener{fd});
    }
}

// The request's bytes, until its blank line: then the head goes out and
// the stream starts at the next datagram, a frame's start. Afterwards what
// it sends is read only to see it close.
void on_listener(floor_state *f, size_t i) {
    static char buf[READ_MAX];
    listener &l = f->all[i];
    ssize_t n = recv(l.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(f, i);
    for (ssize_t k = 0; k < n && !l.answered; k++) {
        l.matched = buf[k] == "\r\n\r\n"[l.matched] ? l.matched + 1 : buf[k] == '\r';
        if (l.matched < 4) continue;
        if (send(l.fd, HEAD, sizeof HEAD - 1, MSG_NOSIGNAL) != sizeof HEAD - 1) return drop(f, i);
        l.answered = true;
        l.pos = f->s.end;
    }
}

void open_chunk(listener *l, uint64_t end) {
    l->body_left = static_cast<size_t>(end - l->pos);
    l->line_len = static_cast<size_t>(snprintf(l->line, sizeof l->line, "%zx\r\n", l->body_left));
    l->line_off = 0;
    l->crlf_left = 2;
}

// Whether the oldest byte that l's TCP has not taken is older than the lag.
bool lags(const floor_state &f, const listener &l, long long now) {
    int outq = 0;
    if (ioctl(l.fd, SIOCOUTQ, &outq) < 0) return true;
    // Chunk framing in the socket counts as stream bytes: the lag looks a
    // little larger than it is, never smaller.
    uint64_t oldest = l.pos - std::min<uint64_t>(l.pos, static_cast<uint64_t>(outq));
    long long came = arrival_of(f.s, oldest);
    return came < 0 || now - came > LAG_NS;
}

// Writes what listener i has not had yet as one chunk (the rest of its
// last one first, when its socket was full); false when it was dropped.
bool flush(floor_state *f, size_t i, long long now) {
    listener &l = f->all[i];
    const stream &s = f->s;
    bool open = l.line_off < l.line_len || l.body_left > 0 || l.crlf_left > 0;
    if (!open && l.pos == s.end) return true;
    if (s.end - l.pos > RING_SIZE) {  // overwritten
        drop(f, i);
        return false;
    }
    if (!open) open_chunk(&l, s.end);
    iovec iov[4];
    int n = 0;
    if (l.line_off < l.line_len) iov[n++] = {l.line + l.line_off, l.line_len - l.line_off};
    size_t at = l.pos % RING_SIZE, first = std::min(l.body_left, RING_SIZE - at);
    if (first > 0) iov[n++] = {const_cast<uint8_t *>(s.ring.data()) + at, first};
    if (l.body_left > first) iov[n++] = {const_cast<uint8_t *>(s.ring.data()), l.body_left - first};
    if (l.crlf_left > 0) iov[n++] = {const_cast<char *>(CRLF) + 2 - l.crlf_left, l.crlf_left};
    ssize_t w;
    while ((w = writev(l.fd, iov, n)) < 0 && errno == EINTR) {
    }
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        drop(f, i);
        return false;
    }
    size_t left = w < 0 ? 0 : static_cast<size_t>(w);
    size_t take = std::min(left, l.line_len - l.line_off);
    l.line_off += take;
    left -= take;
    take = std::min(left, l.body_left);
    l.pos += take;
    l.body_left -= take;
    left -= take;
    l.crlf_left -= std::min(left, l.crlf_left);
    bool full = l.line_off < l.line_len || l.body_left > 0 || l.crlf_left > 0;
    if (full && lags(*f, l, now)) {
        drop(f, i);
        return false;
    }
    return true;
}

// One tick: the listeners of this part. A listener's part is its place in
// the list, which changes when one leaves, as in the gateway.
void tick(floor_state *f, size_t part) {
    long long now = now_ns();
    for (size_t i = part; i < f->all.size();) {
        if (!f->all[i].answered || flush(f, i, now)) i += PARTS;
    }
}

int open_group(floor_state *f, const char *group, int port) {
    join_membership m;
    if (inet_pton(AF_INET, group, &m.group) != 1) {
        fprintf(stderr, "fanout_floor: bad group %s\n", group);
        return -1;
    }
    const char *failed = nullptr;
    // Shared with the gateway, which hears the same group on this host.
    f->group_sd = membership_open(&m, static_cast<uint16_t>(port), true, SOCK_NONBLOCK, &failed);
    if (f->group_sd < 0) {
        fprintf(stderr, "fanout_floor: %s: %s\n", failed, strerror(errno));
        return -1;
    }
    int size = RCVBUF;
    if (setsockopt(f->group_sd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        setsockopt(f->group_sd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    for (unsigned i = 0; i < BATCH; i++) {
        f->iov[i] = {f->bufs.data() + i * MSG_MAX_SIZE, MSG_MAX_SIZE};
        f->msgs[i].msg_hdr = {};
        f->msgs[i].msg_hdr.msg_iov = &f->iov[i];
        f->msgs[i].msg_hdr.msg_iovlen = 1;
    }
    return 0;
}

int open_http(floor_state *f, int port) {
    f->listen_sd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The kernel cuts the queue to net.core.somaxconn, which the gateway asks for.
    if (f->listen_sd < 0 ||
        setsockopt(f->listen_sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        bind(f->listen_sd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(f->listen_sd, 65535) < 0) {
        perror("fanout_floor: listening socket");
        return -1;
    }
    return 0;
}

bool watch(floor_state *f, int fd) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(f->ep, EPOLL_CTL_ADD, fd, &ev) == 0;
}

void run(floor_state *f) {
    epoll_event events[256];
    long long next_tick = now_ns() + TICK_NS;
    size_t part = 0;
    while (!stopping) {
        long long left = next_tick - now_ns();
        int ms = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
        int n = epoll_wait(f->ep, events, 256, ms);
        for (int k = 0; k < n; k++) {
            int fd = events[k].data.fd;
            if (fd == f->group_sd) {
                drain_group(f);
            } else if (fd == f->listen_sd) {
                accept_all(f);
            } else {
                int i = static_cast<size_t>(fd) < f->slot_of_fd.size()
                            ? f->slot_of_fd[static_cast<size_t>(fd)]
                            : -1;
                if (i >= 0) on_listener(f, static_cast<size_t>(i));  // else dropped in this batch
            }
        }
        if (now_ns() < next_tick) continue;
        tick(f, part);
        part = (part + 1) % PARTS;
        next_tick = std::max(next_tick + TICK_NS, now_ns());
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4 || argc > 5) {
        fprintf(stderr, "Usage: fanout_floor GROUP PORT HTTP_PORT [CHNID]\n");
        return 1;
    }
    static floor_state f;
    f.chnid = argc > 4 ? atoi(argv[4]) : 1;
    signal(SIGPIPE, SIG_IGN);  // a listener gone mid-write shows as a failed write
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    // Descriptors: as many as the caller's soft limit allows (the
    // benchmark raised it to the hard limit).
    f.ep = epoll_create1(EPOLL_CLOEXEC);
    if (f.ep < 0 || open_group(&f, argv[1], atoi(argv[2])) < 0 || open_http(&f, atoi(argv[3])) < 0)
        return 1;
    if (!watch(&f, f.group_sd) || !watch(&f, f.listen_sd)) {
        perror("fanout_floor: epoll_ctl()");
        return 1;
    }
    run(&f);
    return 0;
}
