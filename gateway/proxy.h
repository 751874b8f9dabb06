// proxy.h - the peers trusted as reverse proxies (--trust-proxy): whose
// X-Forwarded-* headers count. Pure: addresses are compared as numbers,
// and an IPv4 peer of an IPv6 socket (::ffff:a.b.c.d) as the IPv4 address
// it is, so that one option covers a proxy whichever way it comes.
#pragma once

#include <netinet/in.h>

#include <vector>

struct proxy_trust {
    bool any = false;             // a bare --trust-proxy: every peer
    std::vector<in6_addr> peers;  // each --trust-proxy=ADDRESS, IPv4 ones mapped
};

// Adds the peer that text names, an IPv4 or IPv6 address written out;
// false when it is neither.
bool proxy_trust_add(proxy_trust *t, const char *text);

// Whether peer, a numeric address as the connection's peer is named
// ("10.0.0.9", "::1", "::ffff:10.0.0.9"), is trusted.
bool proxy_trusted(const proxy_trust &t, const char *peer);
