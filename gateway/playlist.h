// playlist.h - the channels as playlists for desktop players (M3U and PLS),
// and the absolute address a request was sent to, which their stream
// addresses start with. A player fetches the file once and the streams
// from the addresses in it, so they must name this gateway as the
// listener reached it: through a reverse proxy, as the proxy says.
// Pure: built from the table and the request's headers.
#pragma once

#include <string>

#include "table.h"

// What a request says about the address it was sent to; a header that
// was not sent is null.
struct request_origin {
    const char *host;         // Host
    const char *fwd_proto;    // X-Forwarded-Proto
    const char *fwd_host;     // X-Forwarded-Host
    const char *fwd_prefix;   // X-Forwarded-Prefix: the path the proxy serves the gateway under
    std::string peer;         // the connection's peer address ("127.0.0.1", "::1")
    std::string local;        // the address it came to, "ADDR:PORT" or "[ADDR]:PORT"
    bool many_hosts = false;  // more than one Host line was sent
};

// Whether the addresses the request names are well formed (RFC 9110
// section 7.2): one Host line at most, whose value is a name, an IPv4
// address or an IPv6 address in brackets, with an optional ":PORT" (or
// empty); and when the peer is a trusted proxy, the first element of its
// X-Forwarded-Host likewise. A request for which this is false is to be
// refused (400), never turned into a playlist's addresses.
bool playlist_origin_valid(const request_origin &r, bool trusted);

// "SCHEME://HOST/PREFIX/", what the stream addresses of an answer start
// with: the forwarded protocol, host and prefix when they count (trusted:
// the peer is a proxy trusted to set them, proxy.h; anyone else could
// name any host in them) and are well formed, else http, the Host header
// (the connection's local address when it has none or a malformed one)
// and no prefix. Of a list ("a, b": proxies one behind another) the
// first, the client's side, is taken.
std::string playlist_base(const request_origin &r, bool trusted);

// An extended M3U playlist: "#EXTM3U", then per channel "#EXTINF:-1,TITLE"
// and its address. chnid 0 lists every channel heard, in channel order.
// TITLE is "STATION - DESCRIPTION" ("channel N" when it has none).
std::string playlist_m3u(const table &t, int chnid, const std::string &base,
                         const std::string &station);

// The same for every channel heard as a PLS playlist (version 2).
std::string playlist_pls(const table &t, const std::string &base, const std::string &station);
