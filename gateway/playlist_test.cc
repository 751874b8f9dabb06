// Unit tests of the playlists and of the address they are made from: which
// peers are trusted proxies, which headers count, and which values are
// refused.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "playlist.h"
#include "proto_encode.h"
#include "proxy.h"

namespace {

constexpr const char *NONE = nullptr;  // a header not sent

struct trust_case {
    const char *name;
    std::vector<const char *> given;  // each --trust-proxy=ADDRESS; "" for a bare --trust-proxy
    const char *peer;
    bool trusted;
};
// clang-format off
const trust_case TRUSTS[] = {
    {"none by default, loopback neither", {}, "::1", false},
    {"the address given", {"127.0.0.1"}, "127.0.0.1", true},
    {"another loopback address", {"127.0.0.1"}, "127.0.0.2", false},
    {"IPv4 peer of an IPv6 socket", {"127.0.0.1"}, "::ffff:127.0.0.1", true},
    {"given mapped, comes plain", {"::ffff:10.0.0.9"}, "10.0.0.9", true},
    {"IPv6 spelt another way", {"fd00:0::1"}, "fd00::1", true},
    {"one of several", {"10.0.0.1", "fd00::2"}, "fd00::2", true},
    {"bare: any peer", {""}, "10.0.0.9", true},
    {"a peer that is no address", {"10.0.0.1"}, "", false},
};
// clang-format on

TEST(Proxy, OnlyThePeersGivenAreTrustedHoweverTheirAddressIsWritten) {
    for (const auto &c : TRUSTS) {
        SCOPED_TRACE(c.name);
        proxy_trust t;
        for (const char *a : c.given)
            EXPECT_TRUE(*a ? proxy_trust_add(&t, a) : (t.any = true)) << a;
        EXPECT_EQ(c.trusted, proxy_trusted(t, c.peer));
    }
    proxy_trust t;
    for (const char *bad : {"", "127.0.0", "localhost", "10.0.0.1/8", "[::1]", "fe80::1%lo"})
        EXPECT_FALSE(proxy_trust_add(&t, bad)) << bad;
    EXPECT_TRUE(t.peers.empty());
}

// A name as long as a Host may be, and one byte longer.
const std::string LONGEST(255, 'a'), TOO_LONG(256, 'a');

struct origin_case {
    const char *name, *host, *fwd_host;
    bool trusted, valid;
    bool many_hosts = false;
};
// clang-format off
const origin_case ORIGINS[] = {
    {"name and port", "Radio.LAN:8000", NONE, false, true},
    {"IDN, a final dot, _ and ~", "xn--bcher-kva.my_host~1.:80", NONE, false, true},
    {"IPv4 and port", "10.0.0.5:8000", NONE, false, true},
    {"IPv6 and port", "[fd00::1]:8000", NONE, false, true},
    {"empty port", "radio.lan:", NONE, false, true},
    {"no Host", NONE, NONE, false, true},
    {"empty Host", "", NONE, false, true},
    {"unclosed bracket", "[evil", NONE, false, false},
    {"IPv6 without brackets", "::1", NONE, false, false},
    {"IPv6 zone", "[fe80::1%25lo]", NONE, false, false},
    {"after the brackets", "[::1]x", NONE, false, false},
    {"port alone", ":80", NONE, false, false},
    {"port past 65535", "h:65536", NONE, false, false},
    {"port not a number", "h:8a", NONE, false, false},
    {"user and path", "u@h/x", NONE, false, false},
    {"blank", "a b", NONE, false, false},
    {"255 bytes", LONGEST.c_str(), NONE, false, true},
    {"256 bytes", TOO_LONG.c_str(), NONE, false, false},
    {"two Host lines", "h", NONE, false, false, true},
    {"forwarded, untrusted: not read", "h", "[evil", false, true},
    {"forwarded malformed, trusted", "h", "[evil", true, false},
    {"first of a forwarded list", "h", "a.b, [evil", true, true},
};
// clang-format on

TEST(Playlist, AMalformedHostOrTrustedForwardedHostIsRefused) {
    for (const auto &c : ORIGINS) {
        SCOPED_TRACE(c.name);
        request_origin r = {c.host,          NONE,        c.fwd_host, NONE, "10.0.0.9",
                            "10.0.0.5:8000", c.many_hosts};
        EXPECT_EQ(c.valid, playlist_origin_valid(r, c.trusted));
    }
}

struct base_case {
    const char *name, *host, *proto, *fwd_host, *prefix;
    bool trusted;
    const char *want;
};
// clang-format off
const base_case BASES[] = {
    {"Host", "radio.lan:80", NONE, NONE, NONE, false, "http://radio.lan:80/"},
    {"IPv6 Host", "[fd00::1]:80", NONE, NONE, NONE, false, "http://[fd00::1]:80/"},
    {"no Host: local address", NONE, NONE, NONE, NONE, false, "http://10.0.0.5:8000/"},
    {"Host with @ and /", "u@e/x", NONE, NONE, NONE, false, "http://10.0.0.5:8000/"},
    {"trusted proxy", "h", "https", "a.b", "/radio/", true, "https://a.b/radio/"},
    {"first of a list", "h", "HTTPS, http", " a.b , c", "/r", true, "https://a.b/r/"},
    {"proto alone", "h", "https", NONE, NONE, true, "https://h/"},
    {"untrusted: ignored", "h", "https", "evil", "/x", false, "http://h/"},
    {"malformed values: ignored", "h", "ftp", "a b", "radio", true, "http://h/"},
};
// clang-format on

TEST(Playlist, BaseComesFromHostOrFromTrustedForwardedHeaders) {
    for (const auto &c : BASES) {
        SCOPED_TRACE(c.name);
        request_origin r = {c.host, c.proto, c.fwd_host, c.prefix, "10.0.0.9", "10.0.0.5:8000"};
        EXPECT_EQ(c.want, playlist_base(r, c.trusted));
    }
}

TEST(Playlist, EveryChannelHeardWithItsTitleAndAbsoluteAddress) {
    table t;
    std::vector<uint8_t> list = encode_list_start();
    encode_list_entry(&list, 3, "");
    encode_list_entry(&list, 1, "low");
    ASSERT_EQ(TABLE_LIST, table_take(&t, sockaddr_in{}, list.data(), list.size(), 0));
    EXPECT_EQ(
        "#EXTM3U\n#EXTINF:-1,FM - low\nh/channels/1\n#EXTINF:-1,FM - channel 3\nh/channels/3\n",
        playlist_m3u(t, 0, "h/", "FM"));
    EXPECT_EQ(
        "[playlist]\nFile1=h/channels/1\nTitle1=FM - low\nLength1=-1\nFile2=h/channels/3\n"
        "Title2=FM - channel 3\nLength2=-1\nNumberOfEntries=2\nVersion=2\n",
        playlist_pls(t, "h/", "FM"));
}

}  // namespace
