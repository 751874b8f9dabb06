// join.cc - interface texts to indexes, the listener's join plan and its
// messages, the group membership, and following a named interface.
#include "join.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

// The value of a text of decimal digits only, or 0 (no interface has index
// 0) for any other text or one beyond UINT_MAX.
unsigned index_from_text(const char *text) {
    if (*text == '\0') return 0;
    unsigned long long v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9') return 0;
        v = v * 10 + static_cast<unsigned>(*p - '0');
        if (v > UINT_MAX) return 0;
    }
    return static_cast<unsigned>(v);
}

sockaddr_storage inet_storage(in_addr addr) {
    sockaddr_storage ss;
    memset(&ss, 0, sizeof ss);
    auto *sin = reinterpret_cast<sockaddr_in *>(&ss);
    sin->sin_family = AF_INET;
    sin->sin_addr = addr;
    return ss;
}

// Drops sd's membership of group on ifindex, whether it admits every sender
// or one: IP_DROP_MEMBERSHIP with the index finds the membership even when
// its interface is gone, where a source leave would fail with ENODEV.
int leave_group(int sd, in_addr group, unsigned ifindex) {
    ip_mreqn mreq;
    memset(&mreq, 0, sizeof mreq);
    mreq.imr_multiaddr = group;
    mreq.imr_ifindex = static_cast<int>(ifindex);
    return setsockopt(sd, IPPROTO_IP, IP_DROP_MEMBERSHIP, &mreq, sizeof mreq);
}

// The interface named text among ifs[0, n), or null.
const join_iface *named(const char *text, const join_iface *ifs, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (strcmp(ifs[i].name, text) == 0) return &ifs[i];
    return nullptr;
}

// The rows of join_pick_interface for the interfaces listed in all; their
// names point into it.
std::vector<join_iface> rows_of(const ifaddrs *all) {
    std::vector<join_iface> rows;
    for (const ifaddrs *a = all; a; a = a->ifa_next) {
        join_iface row = {};
        row.name = a->ifa_name;
        // An address's name may be a label such as "eth0:1"; the kernel
        // reads that as its interface.
        row.index = if_nametoindex(a->ifa_name);
        if (row.index == 0) continue;
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) {
            row.has_addr = true;
            row.addr = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr;
        }
        rows.push_back(row);
    }
    return rows;
}

// fmt, a message of the plan, with text in place of its "%s".
std::string said(const char *fmt, const char *text) {
    std::string s(fmt);
    return s.replace(s.find("%s"), 2, text);
}

// Plans where t joins: the source and the interface; the group is set.
void plan_source_and_interface(const join_texts &t, const join_iface *ifs, size_t n, join_plan *p) {
    p->m.has_source = t.source != nullptr;
    if (t.source && inet_pton(AF_INET, t.source, &p->m.source) != 1) {
        p->refused = said("invalid source \"%s\": not an IPv4 address", t.source);
        return;
    }
    if (t.source && !unicast_source(p->m.source)) {
        p->refused = said("invalid source \"%s\": not a unicast IPv4 address", t.source);
        return;
    }
    if (t.iface == nullptr) return;  // the system chooses
    p->m.ifindex = join_pick_interface(t.iface, ifs, n);
    if (p->m.ifindex == 0) {
        p->refused = join_unknown_interface(t.iface);
        return;
    }
    // The lookup tries a name first, so a text that is a name named by it.
    if (named(t.iface, ifs, n)) p->m.follow = t.iface;
}

}  // namespace

std::string join_unknown_interface(const char *text) {
    return said("unknown interface \"%s\": no interface has this name, index or address", text);
}

bool unicast_source(in_addr addr) {
    uint32_t first = ntohl(addr.s_addr) >> 24;
    return first != 0 && first < 224;
}

join_plan join_plan_make(const join_texts &t, const join_iface *ifs, size_t n) {
    join_plan p;
    if (inet_pton(AF_INET, t.group, &p.m.group) != 1) {
        p.refused = said("invalid multicast group \"%s\": not an IPv4 address", t.group);
        return p;
    }
    if (!IN_MULTICAST(ntohl(p.m.group.s_addr)))
        p.not_multicast =
            said("invalid multicast group \"%s\": not an IPv4 multicast address", t.group);
    plan_source_and_interface(t, ifs, n, &p);
    return p;
}

join_plan join_plan_here(const join_texts &t) {
    ifaddrs *all = nullptr;
    if (t.iface && getifaddrs(&all) < 0) {
        join_plan p;
        p.refused = std::string("getifaddrs(): ") + strerror(errno);
        return p;
    }
    std::vector<join_iface> rows = rows_of(all);
    join_plan p = join_plan_make(t, rows.data(), rows.size());
    if (all) freeifaddrs(all);
    return p;
}

unsigned join_pick_interface(const char *text, const join_iface *ifs, size_t n) {
    if (const join_iface *row = named(text, ifs, n)) return row->index;
    unsigned wanted = index_from_text(text);
    if (wanted != 0) {
        for (size_t i = 0; i < n; i++)
            if (ifs[i].index == wanted) return wanted;
        return 0;
    }
    in_addr addr;
    if (inet_pton(AF_INET, text, &addr) != 1) return 0;
    unsigned best = 0;
    for (size_t i = 0; i < n; i++) {
        if (!ifs[i].has_addr || ifs[i].addr.s_addr != addr.s_addr) continue;
        if (best == 0 || ifs[i].index < best) best = ifs[i].index;
    }
    return best;
}

int join_find_interface(const char *text, unsigned *index) {
    ifaddrs *all;
    if (getifaddrs(&all) < 0) return -1;
    std::vector<join_iface> rows = rows_of(all);
    *index = join_pick_interface(text, rows.data(), rows.size());
    freeifaddrs(all);
    return *index != 0 ? 1 : 0;
}

int join_group(int sd, in_addr group, const in_addr *source, unsigned ifindex) {
    if (source) {
        group_source_req req;
        memset(&req, 0, sizeof req);
        req.gsr_interface = ifindex;
        req.gsr_group = inet_storage(group);
        req.gsr_source = inet_storage(*source);
        return setsockopt(sd, IPPROTO_IP, MCAST_JOIN_SOURCE_GROUP, &req, sizeof req);
    }
    ip_mreqn mreq;
    memset(&mreq, 0, sizeof mreq);
    mreq.imr_multiaddr = group;
    inet_pton(AF_INET, "0.0.0.0", &mreq.imr_address);
    mreq.imr_ifindex = static_cast<int>(ifindex);
    return setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
}

int membership_join(const join_membership &m) {
    return join_group(m.sd, m.group, m.has_source ? &m.source : nullptr, m.ifindex);
}

int membership_follow(join_membership *m) {
    if (m->follow == nullptr) return 0;
    unsigned now = if_nametoindex(m->follow);
    if (now == 0 || now == m->ifindex) return 0;
    // Fails only when there is no such membership any more: nothing to drop.
    leave_group(m->sd, m->group, m->ifindex);
    unsigned old = m->ifindex;
    m->ifindex = now;
    if (membership_join(*m) < 0) {
        int err = errno;
        m->ifindex = old;
        errno = err;
        return -1;
    }
    return 1;
}

int membership_move(join_membership *m, in_addr group) {
    leave_group(m->sd, m->group, m->ifindex);
    join_membership next = *m;
    next.group = group;
    if (membership_join(next) < 0) return -1;
    *m = next;
    return 0;
}

int join_send_interface(int sd, const char *text) {
    unsigned index = 0;
    int found = join_find_interface(text, &index);
    if (found <= 0) return found;
    ip_mreqn req;
    memset(&req, 0, sizeof req);
    req.imr_ifindex = static_cast<int>(index);
    inet_pton(AF_INET, text, &req.imr_address);  // left 0.0.0.0 for a name or index
    return setsockopt(sd, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req) < 0 ? -1 : 1;
}

int membership_bind(int sd, uint16_t port, bool reuse, const char **failed) {
    int one = 1;
    if (reuse && setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        *failed = "setsockopt()";
        return -1;
    }
    sockaddr_in here;
    memset(&here, 0, sizeof here);
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_ANY);
    here.sin_port = htons(port);
    if (bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0) {
        *failed = "bind()";
        return -1;
    }
    return 0;
}

int membership_open(join_membership *m, uint16_t port, bool reuse, int flags, const char **failed) {
    int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | flags, 0);
    m->sd = sd;
    if (sd < 0) {
        *failed = "socket()";
        return -1;
    }
    int zero = 0;
    setsockopt(sd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    if (membership_join(*m) < 0)
        *failed = "setsockopt()";
    else if (membership_bind(sd, port, reuse, failed) == 0)
        return sd;
    int err = errno;
    close(sd);
    m->sd = -1;
    errno = err;
    return -1;
}
