// proxy.cc - which peers are trusted as reverse proxies.
#include "proxy.h"

#include <arpa/inet.h>
#include <string.h>

namespace {

// text as an IPv6 address, an IPv4 one mapped (::ffff:a.b.c.d); false
// when it is neither.
bool address_of(const char *text, in6_addr *a) {
    in_addr v4;
    if (inet_pton(AF_INET, text, &v4) == 1) {
        *a = in6_addr{};
        a->s6_addr[10] = a->s6_addr[11] = 0xff;
        memcpy(&a->s6_addr[12], &v4, sizeof v4);
        return true;
    }
    return inet_pton(AF_INET6, text, a) == 1;
}

}  // namespace

bool proxy_trust_add(proxy_trust *t, const char *text) {
    in6_addr a;
    if (!address_of(text, &a)) return false;
    t->peers.push_back(a);
    return true;
}

bool proxy_trusted(const proxy_trust &t, const char *peer) {
    if (t.any) return true;
    in6_addr a;
    if (t.peers.empty() || !address_of(peer, &a)) return false;
    for (const in6_addr &p : t.peers)
        if (memcmp(&p, &a, sizeof a) == 0) return true;
    return false;
}
