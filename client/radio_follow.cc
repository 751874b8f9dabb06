// radio_follow.cc - the radio followed on the LAN, and the client's
// sockets moved to where it went.
#include "radio_follow.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "now_playing.h"

namespace {

// The port m's socket is bound to, 0 when it cannot be had.
int bound_port(const join_membership &m) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    return getsockname(m.sd, reinterpret_cast<sockaddr *>(&a), &len) < 0 ? 0 : ntohs(a.sin_port);
}

// Moves m to group on port: on the same socket when the port is the same,
// else with a socket joined and bound anew put in place of m's, with the
// descriptor's number, its blocking and its receive timeout kept. False
// after a line.
bool move_socket(receiver *r, join_membership *m, in_addr group, int port, bool reuse) {
    if (bound_port(*m) == port) {
        if (membership_move(m, group) == 0) return true;
        output_report(r->out, "setsockopt()");
        return false;
    }
    join_membership next = *m;
    next.group = group;
    int blocking = fcntl(m->sd, F_GETFL);
    timeval wait{};
    socklen_t len = sizeof wait;
    getsockopt(m->sd, SOL_SOCKET, SO_RCVTIMEO, &wait, &len);
    const char *failed = "socket()";
    int sd = membership_open(&next, static_cast<uint16_t>(port), reuse,
                             blocking >= 0 && (blocking & O_NONBLOCK) ? SOCK_NONBLOCK : 0, &failed);
    if (sd >= 0) {
        failed = setsockopt(sd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0 ? "setsockopt()"
                 : dup2(sd, m->sd) < 0                                           ? "dup2()"
                                                                                 : nullptr;
        int err = errno;
        close(sd);  // its copy in m->sd stays
        errno = err;
    }
    if (failed) {
        output_report(r->out, failed);
        return false;
    }
    next.sd = m->sd;
    *m = next;
    return true;
}

// Moves the data socket, and the now-playing and repair sockets beside
// it, to the radio's group and ports (a now-playing port given stays).
void move_sockets(receiver *r, const radio_follow &f) {
    const radio_txt &t = f.joined.txt;
    in_addr group{};
    inet_pton(AF_INET, t.group.c_str(), &group);
    int np = f.now_playing_given ? bound_port(r->now_playing) : t.now_playing_port;
    const struct {
        join_membership *m;
        int port;  // 0: the socket stays as it is
    } moves[] = {
        {&r->data, t.port}, {&r->now_playing, np}, {&r->repair.membership, repair_port(t.port)}};
    bool moved = true;
    for (const auto &to : moves)
        if (to.m->sd >= 0 && to.port != 0)
            moved = move_socket(r, to.m, group, to.port, f.reuse_address) && moved;
    if (moved) output_printf(r->out, OUT_STDERR, "joined %s port %d\n", t.group.c_str(), t.port);
}

// The watch stopped at exit, however the client ends, before the record
// it fills is destroyed.
dnssd_watch *watching = nullptr;

void stop_watching() {
    if (watching) dnssd_watch_stop(watching);
    watching = nullptr;
}

}  // namespace

void radio_follow_start(receiver *r, radio_follow *f, const found_radio &radio) {
    f->joined = radio;
    if (!dnssd_watch_start(&f->lan, find_types(), stderr)) return;
    watching = &f->lan;
    atexit(stop_watching);
    r->radio = f;
}

void radio_follow_check(receiver *r) {
    radio_follow *f = r->radio;
    std::vector<dnssd_found> found;
    if (f == nullptr || !dnssd_watch_found(&f->lan, &f->seen, &found)) return;
    std::vector<found_radio> radios = radios_of(found);
    int i = find_choose(radios, f->joined.name.c_str());
    if (i < 0) return;  // gone for now
    const found_radio &now = radios[static_cast<size_t>(i)];
    bool ports = now.txt.group != f->joined.txt.group || now.txt.port != f->joined.txt.port ||
                 now.txt.now_playing_port != f->joined.txt.now_playing_port;
    if (!ports && now.address == f->joined.address && now.source_port == f->joined.source_port)
        return;
    f->joined = now;
    output_printf(r->out, OUT_STDERR, "the radio moved: %s\n", find_line(f->joined).c_str());
    if (ports) move_sockets(r, *f);
    f->server = {};
    f->server.sin_family = AF_INET;
    f->server.sin_port = htons(static_cast<uint16_t>(f->joined.source_port));
    f->moved = inet_pton(AF_INET, f->joined.address.c_str(), &f->server.sin_addr) == 1;
}
