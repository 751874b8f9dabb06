// Unit tests of the playlists and of the address they are made from: which
// headers count from which peer, and which values are refused.
#include <gtest/gtest.h>

#include "playlist.h"
#include "proto_encode.h"

namespace {

constexpr const char *NONE = nullptr;  // a header not sent

struct base_case {
    const char *name, *host, *proto, *fwd_host, *prefix, *peer;
    bool trust;
    const char *want;
};
// clang-format off
const base_case BASES[] = {
    {"Host", "radio.lan:80", NONE, NONE, NONE, "10.0.0.9", false, "http://radio.lan:80/"},
    {"IPv6 Host", "[fd00::1]:80", NONE, NONE, NONE, "fd00::2", false, "http://[fd00::1]:80/"},
    {"no Host: local address", NONE, NONE, NONE, NONE, "10.0.0.9", false, "http://10.0.0.5:8000/"},
    {"Host with @ and /", "u@e/x", NONE, NONE, NONE, "10.0.0.9", false, "http://10.0.0.5:8000/"},
    {"proxy on loopback", "h", "https", "a.b", "/radio/", "127.0.0.1", false, "https://a.b/radio/"},
    {"first of a list", "h", "HTTPS, http", " a.b , c", "/r", "127.9.9.9", false, "https://a.b/r/"},
    {"IPv6 loopback", "h", "https", NONE, NONE, "::1", false, "https://h/"},
    {"IPv4 loopback mapped", "h", "https", NONE, NONE, "::ffff:127.0.0.1", false, "https://h/"},
    {"from the LAN: ignored", "h", "https", "evil", "/x", "10.0.0.9", false, "http://h/"},
    {"mapped LAN: ignored", "h", "https", "evil", NONE, "::ffff:10.0.0.9", false, "http://h/"},
    {"from the LAN, trusted", "h", "https", "a.b", "/x", "10.0.0.9", true, "https://a.b/x/"},
    {"malformed values: ignored", "h", "ftp", "a b", "radio", "127.0.0.1", false, "http://h/"},
};
// clang-format on

TEST(Playlist, BaseComesFromHostOrFromTrustedForwardedHeaders) {
    for (const auto &c : BASES) {
        SCOPED_TRACE(c.name);
        request_origin r = {c.host, c.proto, c.fwd_host, c.prefix, c.peer, "10.0.0.5:8000"};
        EXPECT_EQ(c.want, playlist_base(r, c.trust));
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
