// time_service.cc - the server's answers to time requests.
#include "time_service.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include "mono_clock.h"
#include "timing.h"

namespace {

// Below it lie the system's services: an answer to a forged source there
// (DNS, NTP) would be reflected at them.
constexpr int LOWEST_SOURCE_PORT = 1024;

// One datagram read from the socket.
struct request {
    uint8_t bytes[TIME_SIZE + 1];  // one more, so that a longer datagram shows
    size_t size = 0;
    sockaddr_in from{};
    in_pktinfo to{};  // where it was sent
    bool has_to = false;
    long long read_at = 0;
};

// Reads one datagram without waiting; false when none waits (or the read
// failed: the next wake-up tries again).
bool read_request(int sd, request *r) {
    iovec iov{r->bytes, sizeof r->bytes};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr msg{};
    msg.msg_name = &r->from;
    msg.msg_namelen = sizeof r->from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(sd, &msg, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    r->read_at = now_ns();
    if (n < 0) return false;
    r->size = static_cast<size_t>(n);
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        memcpy(&r->to, CMSG_DATA(c), sizeof r->to);
        r->has_to = true;
    }
    return true;
}

// Whether the datagram was sent to a unicast address of this host. The
// kernel gives as its local address (ipi_spec_dst) the address it was
// sent to only then; for a subnet's broadcast, an address of the
// interface (ip(7), IP_PKTINFO).
bool sent_to_this_host(const in_pktinfo &to) {
    in_addr_t a = ntohl(to.ipi_addr.s_addr);
    return !IN_MULTICAST(a) && a != INADDR_BROADCAST && a != INADDR_ANY &&
           to.ipi_spec_dst.s_addr == to.ipi_addr.s_addr;
}

// Whether an answer may go to the request's source: a port of a player,
// not a group, a broadcast or the server's own socket (at the address
// asked, or at a loopback address, which is always this host's).
bool source_answerable(const time_service &t, const request &r) {
    in_addr_t a = ntohl(r.from.sin_addr.s_addr);
    if (ntohs(r.from.sin_port) < LOWEST_SOURCE_PORT) return false;
    if (IN_MULTICAST(a) || a == INADDR_BROADCAST || a == INADDR_ANY) return false;
    bool own_address = r.from.sin_addr.s_addr == r.to.ipi_addr.s_addr || a >> 24 == IN_LOOPBACKNET;
    return !(own_address && r.from.sin_port == t.port);
}

// Whether r is a request the server answers; *m then holds it.
bool answerable(const time_service &t, const request &r, time_message *m) {
    if (!r.has_to || !sent_to_this_host(r.to) || !source_answerable(t, r)) return false;
    return time_parse(r.bytes, r.size, m) && m->kind == TIME_REQUEST;
}

// The bucket of addr, which asks at now: its own, else the one of the
// address heard from least recently, filled so that a new player's
// start-up burst is answered.
mytbf_bucket *bucket_of(time_service *t, in_addr_t addr, long long now) {
    time_peer *oldest = &t->peers[0];
    for (auto &p : t->peers) {
        if (p.addr == addr) {
            p.heard = now;
            return p.bucket;
        }
        if (p.heard < oldest->heard) oldest = &p;
    }
    oldest->addr = addr;
    oldest->heard = now;
    mytbf_returntoken(oldest->bucket, TIME_ADDRESS_BURST);
    return oldest->bucket;
}

// Whether addr may have an answer at now: a token of its bucket, then one
// of the overall bucket, so that one address's flood takes nothing from
// the others.
bool allowed(time_service *t, in_addr_t addr, long long now) {
    mytbf_bucket *own = bucket_of(t, addr, now);
    if (mytbf_tryfetchtoken(own, 1) < 1) return false;
    if (mytbf_tryfetchtoken(t->all, 1) >= 1) return true;
    mytbf_returntoken(own, 1);  // not answered, so not counted
    return false;
}

// Sends the answer to r, request m, from the address r was sent to (which
// the player takes answers from).
void answer(const time_service &t, const request &r, const time_message &m) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    uint8_t out[TIME_SIZE];
    iovec iov{out, sizeof out};
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr_in *>(&r.from);
    msg.msg_namelen = sizeof r.from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo from{};
    from.ipi_spec_dst = r.to.ipi_addr;
    memcpy(CMSG_DATA(c), &from, sizeof from);
    time_encode({TIME_ANSWER, m.nonce, r.read_at, now_ns()}, out);
    // A full queue or a network that refuses loses the answer: the
    // player asks again.
    while (sendmsg(t.sd, &msg, MSG_DONTWAIT) < 0 && errno == EINTR) {
    }
}

}  // namespace

bool time_service_start(time_service *t, int sd, const char **failed) {
    sockaddr_in own{};
    socklen_t len = sizeof own;
    if (getsockname(sd, reinterpret_cast<sockaddr *>(&own), &len) < 0) {
        *failed = "getsockname()";
        return false;
    }
    t->sd = sd;
    t->port = own.sin_port;
    t->all = mytbf_init(TIME_ALL_RATE, TIME_ALL_BURST);
    bool made = t->all != nullptr;
    for (auto &p : t->peers)
        made = made && (p.bucket = mytbf_init(TIME_ADDRESS_RATE, TIME_ADDRESS_BURST)) != nullptr;
    if (!made) {
        int err = errno;
        time_service_stop(t);
        errno = err;
        *failed = "mytbf_init()";
        return false;
    }
    mytbf_returntoken(t->all, TIME_ALL_BURST);
    return true;
}

void time_service_serve(time_service *t) {
    for (int i = 0; i < TIME_READS_PER_WAKE; i++) {
        request r;
        if (!read_request(t->sd, &r)) return;
        time_message m;
        if (answerable(*t, r, &m) && allowed(t, r.from.sin_addr.s_addr, r.read_at))
            answer(*t, r, m);
    }
}

void time_service_stop(time_service *t) {
    for (auto &p : t->peers) {
        if (p.bucket != nullptr) mytbf_destroy(p.bucket);
        p.bucket = nullptr;
    }
    if (t->all != nullptr) mytbf_destroy(t->all);
    t->all = nullptr;
}
