// time_ask.cc - time requests sent, and their answers matched by nonce.
#include "time_ask.h"

#include <errno.h>
#include <sys/random.h>
#include <sys/socket.h>

#include "join.h"
#include "mono_clock.h"
#include "timing.h"

namespace {

// Datagrams one receive takes at most: more wait for the next turn.
constexpr int TIME_BATCH = 16;

// A nonce from the kernel's generator; blocks only before the generator
// is seeded, early in the boot, before any network.
uint64_t random_nonce() {
    uint64_t n = 0;
    while (getrandom(&n, sizeof n, 0) != static_cast<ssize_t>(sizeof n) && errno == EINTR) {
    }
    return n;
}

// Connects the socket to the server (a failure, no route for one, is
// tried again at the next request), and learns the address it talks to.
int connect_to_server(time_ask *t) {
    if (t->connected) return 0;
    socklen_t len = sizeof t->peer;
    if (connect(t->sd, reinterpret_cast<const sockaddr *>(&t->server), sizeof t->server) < 0 ||
        getpeername(t->sd, reinterpret_cast<sockaddr *>(&t->peer), &len) < 0)
        return -1;
    t->connected = true;
    return 0;
}

}  // namespace

int time_ask_open(time_ask *t) {
    t->sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return t->sd;
}

void time_ask_follow(time_ask *t, const sockaddr_in &server) {
    t->has_server = true;
    t->server = server;
    t->connected = false;
    t->waited.clear();
}

int time_ask_send(time_ask *t, clock_sync *c, long long now) {
    if (!t->has_server || now < clock_sync_next_request(*c)) return 0;
    time_message m;
    m.nonce = random_nonce();
    uint8_t bytes[TIME_SIZE];
    time_encode(m, bytes);
    clock_sync_asked(c, now);
    long long sent = now_ns();
    ssize_t n = connect_to_server(t) < 0 ? -1 : send(t->sd, bytes, sizeof bytes, 0);
    if (n < 0) {
        int err = errno;
        bool said = err == t->failed_errno;
        t->failed_errno = err;
        errno = err;
        return said ? 0 : -1;
    }
    t->failed_errno = 0;
    t->waited.push_back({m.nonce, sent});
    if (t->waited.size() > TIME_WAITED) t->waited.pop_front();
    return 0;
}

bool time_ask_match(time_ask *t, const sockaddr_in &from, const uint8_t *p, size_t n,
                    long long came, clock_sample *s) {
    time_message m;
    if (!t->connected || !same_sender(from, t->peer) || !time_parse(p, n, &m) ||
        m.kind != TIME_ANSWER)
        return false;
    for (auto it = t->waited.begin(); it != t->waited.end(); ++it) {
        if (it->nonce != m.nonce) continue;
        *s = {it->sent, m.receive, m.transmit, came};
        t->waited.erase(it);
        return true;
    }
    return false;
}

int time_ask_receive(time_ask *t, clock_sync *c) {
    for (int i = 0; i < TIME_BATCH; i++) {
        uint8_t buf[TIME_SIZE + 1];  // one more: a longer datagram shows as one
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(t->sd, buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &flen);
        long long came = now_ns();
        if (n < 0 && errno == EINTR) continue;
        // Refused: the server's port is closed (it is starting again); the
        // requests go on, and the first answer after it is back counts.
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED ? 0 : -1;
        clock_sample s;
        if (time_ask_match(t, from, buf, static_cast<size_t>(n), came, &s)) clock_sync_take(c, s);
    }
    return 0;
}
