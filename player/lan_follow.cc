// lan_follow.cc - the radio followed on the LAN by its name.
#include "lan_follow.h"

#include <arpa/inet.h>

#include "find.h"

namespace {

// Whether the player's sockets must change for a radio once announced as
// b and now as a: its group or one of its ports is another.
bool other_ports(const radio_txt &a, const radio_txt &b) {
    return a.group != b.group || a.port != b.port || a.now_playing_port != b.now_playing_port ||
           a.repair_port != b.repair_port || a.timing_port != b.timing_port;
}

// The radio's server as its announcement gives it; false when its address
// is none.
bool server_of(const found_radio &r, sockaddr_in *at) {
    *at = {};
    at->sin_family = AF_INET;
    at->sin_port = htons(static_cast<uint16_t>(r.source_port));
    return inet_pton(AF_INET, r.address.c_str(), &at->sin_addr) == 1;
}

// Closes the radio's sockets and opens them as p->conf now says; the
// server is forgotten, so that the first list heard there is followed.
void rejoin(player *p) {
    radio_close(&p->rx);
    p->server = follow{};
    p->early.clear();
    if (radio_open(&p->rx, p->conf, p->report) == 0)
        fprintf(p->report, "joined %s port %d\n", p->conf.group, p->conf.port);
}

}  // namespace

void lan_follow_start(player *p, const found_radio &r) {
    p->joined = r;
    find_apply(p->joined, &p->conf);  // the options point into p's own copy
    dnssd_watch_start(&p->lan, find_types(), p->report);
}

void lan_follow_check(player *p) {
    std::vector<dnssd_found> found;
    if (!p->lan.running || !dnssd_watch_found(&p->lan, &p->lan_seen, &found)) return;
    std::vector<found_radio> radios = radios_of(found);
    int i = find_choose(radios, p->joined.name.c_str());
    if (i < 0) return;  // gone for now
    const found_radio &r = radios[static_cast<size_t>(i)];
    bool ports = other_ports(r.txt, p->joined.txt);
    if (!ports && r.address == p->joined.address && r.source_port == p->joined.source_port) return;
    p->joined = r;
    find_apply(p->joined, &p->conf);
    fprintf(p->report, "the radio moved: %s\n", find_line(p->joined).c_str());
    if (ports) rejoin(p);
    sockaddr_in at;
    if (!server_of(p->joined, &at)) return;
    follow_expect(&p->server, at);
    p->moved = true;
}

void lan_follow_stop(player *p) {
    dnssd_watch_stop(&p->lan);
}
