// radio.cc - the sockets of the radio's ports, joined and bound to share.
#include "radio.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "now_playing.h"

namespace {

// Asked of the kernel for the data and repair sockets: the group carries
// every channel on these ports, and a second of 32 channels at 128 kbit/s
// is about 512 KiB.
constexpr int RCVBUF = 1 << 20;

const char *const PORT_NAMES[RADIO_PORTS] = {"data", "repair", "timing", "now-playing"};

// The port of each socket, 0 for none.
void ports_of(const player_conf &c, int ports[RADIO_PORTS]) {
    ports[RADIO_DATA] = c.port;
    ports[RADIO_REPAIR] = c.repair ? repair_port(c.port) : 0;
    ports[RADIO_TIMING] = c.timing_port;
    ports[RADIO_NOW_PLAYING] = c.now_playing_port;
}

// Opens socket i on port, joined as plan is; false after a line.
bool open_one(radio *r, int i, const join_membership &plan, int port, FILE *report) {
    r->m[i] = plan;
    const char *failed = "socket()";
    if (membership_open(&r->m[i], static_cast<uint16_t>(port), true, SOCK_NONBLOCK, &failed) < 0) {
        fprintf(report, "no %s socket on port %d: %s: %s\n", PORT_NAMES[i], port, failed,
                strerror(errno));
        return false;
    }
    int size = RCVBUF;
    if (i == RADIO_DATA || i == RADIO_REPAIR)
        setsockopt(r->m[i].sd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);  // a wish
    return true;
}

}  // namespace

int radio_open(radio *r, const player_conf &conf, FILE *report) {
    join_plan plan = join_plan_here({conf.group, conf.source, conf.interface});
    const std::string &why = plan.refused.empty() ? plan.not_multicast : plan.refused;
    if (!why.empty()) {
        fprintf(report, "%s\n", why.c_str());
        return -1;
    }
    int ports[RADIO_PORTS];
    ports_of(conf, ports);
    for (int i = 0; i < RADIO_PORTS; i++) {
        r->m[i].sd = -1;
        if (ports[i] != 0 && !open_one(r, i, plan.m, ports[i], report) && i != RADIO_NOW_PLAYING)
            return -1;
    }
    return 0;
}

void radio_close(radio *r) {
    for (join_membership &m : r->m) {
        if (m.sd >= 0) close(m.sd);
        m.sd = -1;
    }
}

bool radio_follows(const radio &r) {
    return r.m[RADIO_DATA].follow != nullptr;
}

void radio_follow(radio *r, FILE *report) {
    for (int i = 0; i < RADIO_PORTS; i++) {
        if (r->m[i].sd < 0) continue;
        int joined = membership_follow(&r->m[i]);
        if (joined < 0) fprintf(report, "setsockopt(): %s\n", strerror(errno));
        if (joined > 0 && i == RADIO_DATA)
            fprintf(report, "joined the group again on %s\n", r->m[i].follow);
    }
}

bool radio_batch_start(radio_batch *b) {
    b->bufs = static_cast<uint8_t *>(malloc(RADIO_BATCH * MSG_MAX_SIZE));
    if (b->bufs == nullptr) return false;
    for (unsigned i = 0; i < RADIO_BATCH; i++) {
        b->iov[i] = {b->bufs + i * MSG_MAX_SIZE, MSG_MAX_SIZE};
        b->msgs[i].msg_hdr = {};
        b->msgs[i].msg_hdr.msg_iov = &b->iov[i];
        b->msgs[i].msg_hdr.msg_iovlen = 1;
        b->msgs[i].msg_hdr.msg_name = &b->from[i];
    }
    return true;
}

int radio_receive(int sd, radio_batch *b) {
    for (unsigned i = 0; i < RADIO_BATCH; i++) b->msgs[i].msg_hdr.msg_namelen = sizeof b->from[i];
    int n;
    do {
        n = recvmmsg(sd, b->msgs, RADIO_BATCH, MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return n;
}
