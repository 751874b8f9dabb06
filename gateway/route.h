// route.h - which answer a request gets, from its method and path alone.
#pragma once

enum route_kind {
    ROUTE_PAGE,        // GET /: the page
    ROUTE_STATUS,      // GET /status.json
    ROUTE_METRICS,     // GET /metrics
    ROUTE_CHANNEL,     // GET /channels/N, N 1 to 255 written plainly
    ROUTE_M3U,         // GET /channels/N.m3u (chnid N), /listen.m3u (chnid 0: every channel)
    ROUTE_PLS,         // GET /listen.pls
    ROUTE_HLS,         // GET /channels/N/live.m3u8: the channel's HLS playlist
    ROUTE_SEGMENT,     // GET /channels/N/NAME.mp3: an HLS segment (name: NAME.mp3)
    ROUTE_NOT_FOUND,   // any other path: 404
    ROUTE_BAD_METHOD,  // a method other than GET and HEAD: 405
};

struct route {
    route_kind kind;
    int chnid;                   // with ROUTE_CHANNEL, ROUTE_M3U, ROUTE_HLS and ROUTE_SEGMENT
    const char *name = nullptr;  // with ROUTE_SEGMENT: the path's last part
    bool query = false;          // with ROUTE_HLS: asked with a query, so not to be cached
};

// The route of a request. get_or_head: its method is GET or HEAD (HEAD is
// answered like GET, without the body). path: the URI's path, without the
// query, as sent (no decoding: the names served need none). query: the
// URI has a query or a fragment. A segment never changes and is cached
// for a year under the URI it was asked by, so it is found only by its
// one URI, with no query; a playlist with one is answered, uncached.
route route_request(bool get_or_head, const char *path, bool query);
