// Unit tests of the playlists and of the address they are made from: which
// headers count from which peer, and which values are refused.
#include <gtest/gtest.h>

#include "playlist.h"
#include "proto_encode.h"

namespace {

struct base_case {
    const char *name;
    request_origin r;
    bool trust;
    const char *want;
};
const std::string LOCAL = "10.0.0.5:8000";
const base_case BASES[] = {
    {"Host",
     {"radio.lan:8000", nullptr, nullptr, nullptr, "10.0.0.9", LOCAL},
     false,
     "http://radio.lan:8000/"},
    {"no Host: the local address",
     {nullptr, nullptr, nullptr, nullptr, "10.0.0.9", LOCAL},
     false,
     "http://10.0.0.5:8000/"},
    {"IPv6 Host",
     {"[fd00::1]:8000", nullptr, nullptr, nullptr, "fd00::2", LOCAL},
     false,
     "http://[fd00::1]:8000/"},
    {"Host with a path",
     {"evil/x?", nullptr, nullptr, nullptr, "10.0.0.9", LOCAL},
     false,
     "http://10.0.0.5:8000/"},
    {"Host with a user",
     {"u@evil", nullptr, nullptr, nullptr, "10.0.0.9", LOCAL},
     false,
     "http://10.0.0.5:8000/"},
    {"proxy on loopback",
     {"127.0.0.1:8000", "https", "radio.example", "/radio/", "127.0.0.1", LOCAL},
     false,
     "https://radio.example/radio/"},
    {"proxies in a row: the first",
     {"h", "HTTPS, http", " a.example , b", "/r", "127.9.9.9", LOCAL},
     false,
     "https://a.example/r/"},
    {"IPv6 loopback",
     {"h", "https", "a.example", nullptr, "::1", LOCAL},
     false,
     "https://a.example/"},
    {"IPv4 loopback mapped",
     {"h", "https", nullptr, nullptr, "::ffff:127.0.0.1", LOCAL},
     false,
     "https://h/"},
    {"from the LAN: ignored", {"h", "https", "evil", "/x", "10.0.0.9", LOCAL}, false, "http://h/"},
    {"mapped LAN address: ignored",
     {"h", "https", "evil", nullptr, "::ffff:10.0.0.9", LOCAL},
     false,
     "http://h/"},
    {"from the LAN, trusted",
     {"h", "https", "a.example", "/x", "10.0.0.9", LOCAL},
     true,
     "https://a.example/x/"},
    {"malformed values: ignored",
     {"h", "ftp", "a b", "radio", "127.0.0.1", LOCAL},
     false,
     "http://h/"},
    {"prefix with a blank",
     {"h", nullptr, nullptr, "/a b", "127.0.0.1", LOCAL},
     false,
     "http://h/"},
    {"prefix of a slash", {"h", nullptr, nullptr, "/", "127.0.0.1", LOCAL}, false, "http://h/"},
};

TEST(Playlist, BaseComesFromHostOrFromTrustedForwardedHeaders) {
    for (const auto &c : BASES) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.want, playlist_base(c.r, c.trust));
    }
}

TEST(Playlist, EveryChannelHeardWithItsTitleAndAbsoluteAddress) {
    table t;
    sockaddr_in from{};
    std::vector<uint8_t> list = encode_list_start();
    encode_list_entry(&list, 3, "");
    encode_list_entry(&list, 1, "low tone");
    ASSERT_EQ(TABLE_LIST, table_take(&t, from, list.data(), list.size(), 0));
    const std::string base = "https://a.example/r/";
    EXPECT_EQ(
        "#EXTM3U\n"
        "#EXTINF:-1,FM - low tone\nhttps://a.example/r/channels/1\n"
        "#EXTINF:-1,FM - channel 3\nhttps://a.example/r/channels/3\n",
        playlist_m3u(t, 0, base, "FM"));
    EXPECT_EQ("#EXTM3U\n#EXTINF:-1,FM - channel 3\nhttps://a.example/r/channels/3\n",
              playlist_m3u(t, 3, base, "FM"));
    EXPECT_EQ(
        "[playlist]\n"
        "File1=https://a.example/r/channels/1\nTitle1=FM - low tone\nLength1=-1\n"
        "File2=https://a.example/r/channels/3\nTitle2=FM - channel 3\nLength2=-1\n"
        "NumberOfEntries=2\nVersion=2\n",
        playlist_pls(t, base, "FM"));
}

}  // namespace
