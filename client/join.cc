// join.cc - interface texts to indexes, and the group membership.
#include "join.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <limits.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>

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

}  // namespace

unsigned join_pick_interface(const char *text, const join_iface *ifs, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (strcmp(ifs[i].name, text) == 0) return ifs[i].index;
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
    std::vector<join_iface> rows;
    for (ifaddrs *a = all; a; a = a->ifa_next) {
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
