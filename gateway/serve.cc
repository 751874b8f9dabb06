// serve.cc - request handling: routing, the small answers (headers only
// for HEAD) and the checks before a stream.
#include "serve.h"

#include <netdb.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#include <event2/buffer.h>
#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

#include "connections.h"
#include "hls.h"
#include "icy.h"
#include "listeners.h"
#include "mono_clock.h"
#include "page.h"
#include "playlist.h"
#include "proxy.h"
#include "radio_find.h"
#include "route.h"

namespace {

// A request head larger than this is refused; a connection whose request
// stops coming for HEAD_IDLE_S is cut off, and so is one whose request's
// head and body are not whole REQUEST_DEADLINE_S after the connection came
// or the last answer went (connections.h): a head sent a byte at a time
// never counts as idle.
constexpr ev_ssize_t HEAD_MAX = 8192;
constexpr ev_ssize_t BODY_MAX = 4096;
constexpr int HEAD_IDLE_S = 5;
static_assert(HEAD_MAX + BODY_MAX <= static_cast<ev_ssize_t>(READ_AHEAD_MAX));

// An HLS segment never changes: a cache may keep it for a year.
constexpr char SEGMENT_CACHE[] = "public, max-age=31536000, immutable";

constexpr ev_uint16_t EVERY_METHOD = EVHTTP_REQ_GET | EVHTTP_REQ_POST | EVHTTP_REQ_HEAD |
                                     EVHTTP_REQ_PUT | EVHTTP_REQ_DELETE | EVHTTP_REQ_OPTIONS |
                                     EVHTTP_REQ_TRACE | EVHTTP_REQ_CONNECT | EVHTTP_REQ_PATCH;

void header(evhttp_request *req, const char *name, const std::string &value) {
    evhttp_add_header(evhttp_request_get_output_headers(req), name, value.c_str());
}

void answer(evhttp_request *req, int code, const char *reason, const char *type, const char *body,
            size_t len) {
    header(req, "Content-Type", type);
    header(req, "Cache-Control", "no-store");
    // HEAD: the length the body would have, and no body, which the library
    // would send.
    if (evhttp_request_get_command(req) == EVHTTP_REQ_HEAD)
        header(req, "Content-Length", std::to_string(len));
    else
        evbuffer_add(evhttp_request_get_output_buffer(req), body, len);
    evhttp_send_reply(req, code, reason, nullptr);
}

void answer_text(evhttp_request *req, int code, const char *reason, const std::string &text) {
    answer(req, code, reason, "text/plain; charset=utf-8", text.data(), text.size());
}

void drop_reference(const void *, size_t, void *arg) {
    chunk_unref(static_cast<chunk *>(arg));
}

// A cacheable answer with its entity tag: 304 alone when the request's
// If-None-Match names the tag, the headers alone for HEAD, else 200 and
// text, or c's bytes when c is given (referenced, not copied, and held
// until they are sent).
void answer_cacheable(evhttp_request *req, const char *type, const std::string &cache,
                      const std::string &etag, const std::string &text, chunk *c) {
    header(req, "Cache-Control", cache);
    header(req, "ETag", etag);
    const char *want = evhttp_find_header(evhttp_request_get_input_headers(req), "If-None-Match");
    if (hls_etag_matches(want, etag)) return evhttp_send_reply(req, 304, "Not Modified", nullptr);
    header(req, "Content-Type", type);
    size_t len = c != nullptr ? c->bytes.size() : text.size();
    evbuffer *out = evhttp_request_get_output_buffer(req);
    if (evhttp_request_get_command(req) == EVHTTP_REQ_HEAD) {
        header(req, "Content-Length", std::to_string(len));
    } else if (c == nullptr) {
        evbuffer_add(out, text.data(), len);
    } else {
        chunk_ref(c);
        if (evbuffer_add_reference(out, c->bytes.data(), len, drop_reference, c) < 0)
            chunk_unref(c);
    }
    evhttp_send_reply(req, 200, "OK", nullptr);
}

// "channel N", as the answers name channel id.
std::string channel_name(int id) {
    return "channel " + std::to_string(id);
}

// Answers 404 for channel id when it was never heard and, when on_air is
// asked for, 503 when it is off the air. True when it answered.
bool refused_channel(gateway *g, evhttp_request *req, int id, bool on_air) {
    std::string name = channel_name(id);
    int code = table_channel_status(g->tab, id, now_ns());
    if (code == 404)
        answer_text(req, 404, "Not Found", name + " was never heard\n");
    else if (code == 503 && on_air)
        answer_text(req, 503, "Service Unavailable", name + " is off the air\n");
    else
        return false;
    return true;
}

// /channels/N/live.m3u8, fresh for half a segment, and /channels/N/NAME.mp3,
// held while it is in the window and never changed.
void serve_hls(gateway *g, evhttp_request *req, const route &r) {
    bool list = r.kind == ROUTE_HLS;
    (list ? g->counters.hls_lists : g->counters.hls_segments)++;
    if (refused_channel(g, req, r.chnid, list)) return;
    const hls_channel &c = g->channels[r.chnid].hls;
    if (!list) {
        const hls_segment *s = hls_find(c, g->hls, r.name);
        if (s == nullptr) return answer_text(req, 404, "Not Found", "no such segment\n");
        return answer_cacheable(req, "audio/mpeg", SEGMENT_CACHE, hls_segment_etag(g->hls, s->seq),
                                "", s->body);
    }
    if (c.held.empty())
        return answer_text(req, 503, "Service Unavailable",
                           channel_name(r.chnid) + " has no segment yet\n");
    // A query makes another name for the playlist: a cache in front would
    // keep a copy under each one, so none is kept.
    std::string cache =
        r.query ? std::string("no-store")
                : "public, max-age=" + std::to_string(std::max(1, g->conf.segment_s / 2));
    answer_cacheable(req, "application/vnd.apple.mpegurl", cache, hls_playlist_etag(c, g->hls),
                     hls_playlist(c, g->hls), nullptr);
}

void serve_channel(gateway *g, evhttp_request *req, int id, bool head) {
    if (refused_channel(g, req, id, true)) return;
    if (!head && g->listener_count >= g->conf.listeners_max) {
        g->counters.refused_full++;
        return answer_text(req, 503, "Service Unavailable", "too many listeners\n");
    }
    const char *want = evhttp_find_header(evhttp_request_get_input_headers(req), "Icy-MetaData");
    bool icy = want != nullptr && strcmp(want, "1") == 0;
    header(req, "Content-Type", "audio/mpeg");
    header(req, "Cache-Control", "no-cache, no-store");
    const std::string &desc = g->tab.ch[id].desc;
    header(req, "icy-name", desc.empty() ? channel_name(id) : desc);
    if (icy) header(req, "icy-metaint", std::to_string(ICY_METAINT));
    if (!head) return listener_start(g, req, id, icy);
    evhttp_send_reply_start(req, 200, "OK");
    evhttp_send_reply_end(req);
}

// "ADDR:PORT" ("[ADDR]:PORT" for IPv6) of the socket's own end; "" when
// it cannot be had.
std::string local_address(int fd) {
    sockaddr_storage a;
    socklen_t len = sizeof a;
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) < 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&a), len, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "";
    bool v6 = a.ss_family == AF_INET6;
    return std::string(v6 ? "[" : "") + host + (v6 ? "]:" : ":") + port;
}

// What the request says of where it was sent, less the local address
// (which only a playlist needs).
request_origin origin_of(evhttp_request *req) {
    evkeyvalq *in = evhttp_request_get_input_headers(req);
    request_origin o;
    o.host = evhttp_find_header(in, "Host");
    o.fwd_proto = evhttp_find_header(in, "X-Forwarded-Proto");
    o.fwd_host = evhttp_find_header(in, "X-Forwarded-Host");
    o.fwd_prefix = evhttp_find_header(in, "X-Forwarded-Prefix");
    int hosts = 0;
    for (evkeyval *h = in->tqh_first; h != nullptr; h = h->next.tqe_next)
        hosts += strcasecmp(h->key, "Host") == 0;
    o.many_hosts = hosts > 1;
    char *peer = nullptr;
    ev_uint16_t port = 0;
    evhttp_connection_get_peer(evhttp_request_get_connection(req), &peer, &port);
    if (peer != nullptr) o.peer = peer;
    return o;
}

// /channels/N.m3u, /listen.m3u and /listen.pls, with the addresses the
// request was sent to.
void serve_playlist(gateway *g, evhttp_request *req, const route &r, request_origin *o,
                    bool trusted) {
    if (r.chnid != 0 && refused_channel(g, req, r.chnid, false)) return;
    evhttp_connection *conn = evhttp_request_get_connection(req);
    o->local = local_address(bufferevent_getfd(evhttp_connection_get_bufferevent(conn)));
    std::string base = playlist_base(*o, trusted);
    bool pls = r.kind == ROUTE_PLS;
    std::string body = pls ? playlist_pls(g->tab, base, g->conf.name)
                           : playlist_m3u(g->tab, r.chnid, base, g->conf.name);
    answer(req, 200, "OK", pls ? "audio/x-scpls" : "audio/x-mpegurl", body.data(), body.size());
}

// The radios on the LAN but the one the gateway serves, as last seen.
const std::vector<found_radio> &other_radios(gateway *g) {
    std::vector<dnssd_found> found;
    if (g->lan == nullptr || !dnssd_watch_found(g->lan, &g->lan_seen, &found)) return g->others;
    g->others.clear();
    for (found_radio &r : radios_of(found))
        if (r.txt.group != g->conf.group || r.txt.port != g->conf.port)
            g->others.push_back(std::move(r));
    return g->others;
}

void on_request(evhttp_request *req, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    connection_request_came(req);
    request_origin o = origin_of(req);
    bool trusted = proxy_trusted(g->conf.trust, o.peer.c_str());
    if (!playlist_origin_valid(o, trusted))
        return answer_text(req, 400, "Bad Request", "malformed Host or X-Forwarded-Host\n");
    evhttp_cmd_type method = evhttp_request_get_command(req);
    bool head = method == EVHTTP_REQ_HEAD;
    const evhttp_uri *uri = evhttp_request_get_evhttp_uri(req);
    const char *path = uri ? evhttp_uri_get_path(uri) : nullptr;
    bool query = uri && (evhttp_uri_get_query(uri) || evhttp_uri_get_fragment(uri));
    route r = route_request(method == EVHTTP_REQ_GET || head, path ? path : "", query);
    status_counters &k = g->counters;
    long long now = now_ns();
    k.uptime_ns = now - g->start_ns;
    switch (r.kind) {
    case ROUTE_PAGE:
        return answer(req, 200, "OK", "text/html; charset=utf-8", PAGE_HTML, PAGE_HTML_SIZE);
    case ROUTE_STATUS: {
        std::string s = status_json(g->tab, k, now, g->conf.name, other_radios(g));
        return answer(req, 200, "OK", "application/json", s.data(), s.size());
    }
    case ROUTE_METRICS: {
        std::string s = status_metrics(g->tab, k, now);
        return answer(req, 200, "OK", "text/plain; version=0.0.4", s.data(), s.size());
    }
    case ROUTE_CHANNEL:
        return serve_channel(g, req, r.chnid, head);
    case ROUTE_M3U:
    case ROUTE_PLS:
        return serve_playlist(g, req, r, &o, trusted);
    case ROUTE_HLS:
    case ROUTE_SEGMENT:
        return serve_hls(g, req, r);
    case ROUTE_NOT_FOUND:
        return answer_text(req, 404, "Not Found", "no such page\n");
    case ROUTE_BAD_METHOD:
        header(req, "Allow", "GET, HEAD");
        return answer_text(req, 405, "Method Not Allowed", "only GET and HEAD\n");
    }
}

}  // namespace

int serve_start(gateway *g) {
    g->http = evhttp_new(g->base);
    if (g->http == nullptr) {
        fprintf(g->report, "evhttp_new(): cannot make the HTTP server\n");
        return -1;
    }
    evhttp_set_max_headers_size(g->http, HEAD_MAX);
    evhttp_set_max_body_size(g->http, BODY_MAX);
    evhttp_set_timeout(g->http, HEAD_IDLE_S);
    evhttp_set_allowed_methods(g->http, EVERY_METHOD);
    evhttp_set_gencb(g->http, on_request, g);
    evhttp_bound_socket *bound = evhttp_bind_socket_with_handle(
        g->http, g->conf.listen_addr, static_cast<ev_uint16_t>(g->conf.listen_port));
    if (bound == nullptr) {
        fprintf(g->report, "cannot listen on %s port %d: %s\n", g->conf.listen_addr,
                g->conf.listen_port, strerror(errno));
        return -1;
    }
    return connections_start(g, bound) ? 0 : -1;
}
