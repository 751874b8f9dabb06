// hls_bench.cc - 1,000 HLS clients on channel 1 of the busy radio, first
// through one nginx cache in front of stream_gateway (the README's
// configuration, without TLS), then straight to the gateway.
//
// Everything runs in a private network namespace over loopback. The
// clients are libevent HTTP clients in this process, one kept-alive
// connection each, joining at 250 a second. Each plays as a player does
// (RFC 8216 section 6.3): its first playlist's third segment from the end
// first, then every new segment in order, asking for the playlist again a
// target duration after it changed, half of one after it did not. Every
// segment it gets must answer 200, begin with an ID3 tag and be byte for
// byte what every other client got under its name; a client must never
// skip one. Over the 60 s after the last client joined the harness reads
// the gateway's request counters (/metrics), the segments it made (its
// playlist's media sequence) and its CPU time.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/keyvalq_struct.h>

#include "bench_util.h"
#include "gateway_peers.h"

#ifndef BENCH_GATEWAY
#define BENCH_GATEWAY ""
#endif

namespace {

constexpr uint16_t GATEWAY_PORT = 8000, NGINX_PORT = 8080;
constexpr const char *PLAYLIST = "/channels/1/live.m3u8";
constexpr double JOIN_RATE = 250;  // clients a second
constexpr double DRAIN_S = 5;      // for the answers still coming at the end

struct config {
    int clients = 1000;
    double seconds = 60;
    std::string gateway = BENCH_GATEWAY;
};

struct run;

struct client {
    run *r;
    evhttp_connection *conn = nullptr;
    event *poll = nullptr;
    uint64_t next_seq = 0;  // the next segment to ask for; 0: none asked yet
    uint64_t first_seq = 0;
    uint64_t got = 0;  // segments that came whole
    std::string fault;
};

struct run {
    event_base *base;
    uint16_t port;
    std::vector<client> clients;
    std::unordered_map<uint64_t, uint64_t> hash_of;  // a segment's bytes, by sequence number
    bool stopping = false;
    long playlists = 0, segments = 0;  // requests the clients made
};

struct segment_ask {
    client *c;
    uint64_t seq;
};

uint64_t fnv1a(const unsigned char *p, size_t n) {
    uint64_t h = 1469598103934665603ULL;
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

void ask(client *c, const std::string &path, void (*cb)(evhttp_request *, void *), void *arg) {
    evhttp_request *req = evhttp_request_new(cb, arg);
    evhttp_add_header(evhttp_request_get_output_headers(req), "Host", "127.0.0.1");
    if (evhttp_make_request(c->conn, req, EVHTTP_REQ_GET, path.c_str()) < 0 && c->fault.empty())
        c->fault = "cannot ask for " + path;
}

void on_segment(evhttp_request *req, void *arg) {
    auto *a = static_cast<segment_ask *>(arg);
    client *c = a->c;
    uint64_t seq = a->seq;
    delete a;
    int code = req ? evhttp_request_get_response_code(req) : 0;
    if (code != 200) {
        if (c->fault.empty())
            c->fault = "segment " + std::to_string(seq) + ": " +
                       (code ? std::to_string(code) : std::string("no answer"));
        return;
    }
    evbuffer *in = evhttp_request_get_input_buffer(req);
    size_t n = evbuffer_get_length(in);
    const unsigned char *p = evbuffer_pullup(in, -1);
    uint64_t h = fnv1a(p, n);
    auto [it, first] = c->r->hash_of.emplace(seq, h);
    if ((n < 3 || memcmp(p, "ID3", 3) != 0 || it->second != h) && c->fault.empty())
        c->fault = "segment " + std::to_string(seq) + " differs";
    c->got++;
}

// The target duration, the media sequence and the names of a playlist;
// false when it has none of them.
bool parse_playlist(const std::string &text, int *target, uint64_t *seq,
                    std::vector<std::string> *names) {
    const char *t = strstr(text.c_str(), "#EXT-X-TARGETDURATION:");
    const char *s = strstr(text.c_str(), "#EXT-X-MEDIA-SEQUENCE:");
    if (t == nullptr || s == nullptr) return false;
    *target = atoi(t + 22);
    *seq = strtoull(s + 22, nullptr, 10);
    size_t at = 0;
    for (size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        if (end > at + 4 && text.compare(end - 4, 4, ".mp3") == 0)
            names->push_back(text.substr(at, end - at));
    return !names->empty();
}

void on_playlist(evhttp_request *req, void *arg);

void on_poll(evutil_socket_t, short, void *arg) {
    auto *c = static_cast<client *>(arg);
    if (c->r->stopping) return;
    c->r->playlists++;
    ask(c, PLAYLIST, on_playlist, c);
}

// Asks for the segments it has not asked for yet, the first time from the
// third from the end; a poll again after a target duration when there
// were new ones, after half of one when not.
void on_playlist(evhttp_request *req, void *arg) {
    auto *c = static_cast<client *>(arg);
    int target = 0;
    uint64_t seq = 0;
    std::vector<std::string> names;
    std::string text;
    if (req != nullptr && evhttp_request_get_response_code(req) == 200) {
        evbuffer *in = evhttp_request_get_input_buffer(req);
        text.assign(reinterpret_cast<const char *>(evbuffer_pullup(in, -1)),
                    evbuffer_get_length(in));
    }
    if (!parse_playlist(text, &target, &seq, &names)) {
        if (c->fault.empty()) c->fault = "no playlist";
        return;
    }
    if (c->next_seq == 0)
        c->first_seq = c->next_seq = seq + names.size() - std::min<size_t>(3, names.size());
    if (c->next_seq < seq && c->fault.empty()) c->fault = "segments left before it asked";
    bool changed = c->next_seq < seq + names.size();
    for (; c->next_seq < seq + names.size(); c->next_seq++) {
        c->r->segments++;
        ask(c, "/channels/1/" + names[c->next_seq - seq], on_segment,
            new segment_ask{c, c->next_seq});
    }
    timeval again = {changed ? target : target / 2, changed ? 0 : target % 2 * 500000};
    evtimer_add(c->poll, &again);
}

void on_join(evutil_socket_t, short, void *arg) {
    auto *c = static_cast<client *>(arg);
    c->conn = evhttp_connection_base_new(c->r->base, nullptr, "127.0.0.1", c->r->port);
    if (c->conn == nullptr) {
        c->fault = "no connection";
        return;
    }
    evhttp_connection_set_retries(c->conn, 0);
    evhttp_connection_set_timeout(c->conn, 20);
    on_poll(-1, 0, c);
}

// What the gateway says at one moment: its CPU time, its HLS request
// counters, and the last segment it made.
struct gateway_state {
    double cpu_s = 0;
    long long lists = 0, segments = 0;
    uint64_t last_seq = 0;
};

std::string fetch(const std::string &path) {
    std::string out;
    FILE *p = popen(("curl -s --max-time 3 http://127.0.0.1:8000" + path).c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    return out;
}

long long counter(const std::string &metrics, const std::string &name) {
    size_t at = metrics.find("\n" + name + " ");
    return at == std::string::npos ? -1 : atoll(metrics.c_str() + at + name.size() + 2);
}

// The counters are read before the playlist, which the harness asks for
// itself: one playlist request of each window is the harness's.
gateway_state read_gateway(pid_t gw) {
    gateway_state s;
    int threads = 0;
    s.cpu_s = process_cpu_s(gw, &threads);
    std::string m = fetch("/metrics");
    s.lists = counter(m, "stream_gateway_hls_playlist_requests_total");
    s.segments = counter(m, "stream_gateway_hls_segment_requests_total");
    int target = 0;
    uint64_t seq = 0;
    std::vector<std::string> names;
    if (parse_playlist(fetch(PLAYLIST), &target, &seq, &names)) s.last_seq = seq + names.size() - 1;
    return s;
}

size_t listed(const std::string &playlist) {
    int target = 0;
    uint64_t seq = 0;
    std::vector<std::string> names;
    parse_playlist(playlist, &target, &seq, &names);
    return names.size();
}

struct result {
    const char *name;
    int clients = 0, whole = 0;
    long long lists = 0, segments = 0;  // the gateway's, in the measured window
    uint64_t made = 0;                  // segments the gateway made in it
    double cpu = 0;                     // share of one core
    long asked_lists = 0, asked_segments = 0;
    std::vector<std::string> faults;
};

struct timeline {
    run *r;
    pid_t gw;
    gateway_state *at;  // two: the window's start and end
    int step;
};

// The window's start, its end (the clients stop asking), and the end of
// the drain.
void on_mark(evutil_socket_t, short, void *arg) {
    auto *t = static_cast<timeline *>(arg);
    if (t->step < 2) t->at[t->step] = read_gateway(t->gw);
    if (t->step == 1) t->r->stopping = true;
    if (t->step == 2) event_base_loopexit(t->r->base, nullptr);
    t->step++;
}

void judge(const run &r, uint64_t last_seq, result *out) {
    out->clients = static_cast<int>(r.clients.size());
    for (const client &c : r.clients) {
        std::string fault = c.fault;
        if (fault.empty() && c.got != c.next_seq - c.first_seq)
            fault = std::to_string(c.next_seq - c.first_seq - c.got) + " segments never came";
        if (fault.empty() && c.next_seq + 1 < last_seq) fault = "fell behind";
        if (fault.empty())
            out->whole++;
        else if (out->faults.size() < 5)
            out->faults.push_back(fault);
    }
}

// The clients against port for the join, the measured seconds and the
// drain.
result run_clients(const config &conf, uint16_t port, pid_t gw, const char *name) {
    run r;
    r.base = event_base_new();
    r.port = port;
    r.clients.resize(static_cast<size_t>(conf.clients));
    for (size_t i = 0; i < r.clients.size(); i++) {
        client &c = r.clients[i];
        c.r = &r;
        c.poll = evtimer_new(r.base, on_poll, &c);
        double at = static_cast<double>(i) / JOIN_RATE;
        timeval due = {static_cast<time_t>(at),
                       static_cast<suseconds_t>((at - static_cast<long>(at)) * 1e6)};
        event_base_once(r.base, -1, EV_TIMEOUT, on_join, &c, &due);
    }
    gateway_state at[2];
    timeline t = {&r, gw, at, 0};
    double join_s = conf.clients / JOIN_RATE + 1;
    for (double mark : {join_s, join_s + conf.seconds, join_s + conf.seconds + DRAIN_S}) {
        timeval due = {static_cast<time_t>(mark),
                       static_cast<suseconds_t>((mark - static_cast<long>(mark)) * 1e6)};
        event_base_once(r.base, -1, EV_TIMEOUT, on_mark, &t, &due);
    }
    event_base_dispatch(r.base);
    result out;
    out.name = name;
    out.lists = at[1].lists - at[0].lists - 1;  // less the harness's own
    out.segments = at[1].segments - at[0].segments;
    out.made = at[1].last_seq - at[0].last_seq;
    out.cpu = (at[1].cpu_s - at[0].cpu_s) / conf.seconds;
    out.asked_lists = r.playlists;
    out.asked_segments = r.segments;
    judge(r, at[1].last_seq, &out);
    for (client &c : r.clients) {
        if (c.conn != nullptr) evhttp_connection_free(c.conn);
        event_free(c.poll);
    }
    event_base_free(r.base);
    return out;
}

// nginx as the README shows it for HLS, without TLS, with room for the
// clients; its files in dir.
bool start_nginx(const std::string &dir, child_proc *p) {
    std::string conf = "daemon off; master_process off; worker_rlimit_nofile 8192; pid " + dir +
                       "/nginx.pid;\n"
                       "error_log " +
                       dir +
                       "/nginx.log warn;\n"
                       "events { worker_connections 4096; }\n"
                       "http {\n  access_log off;\n  client_body_temp_path " +
                       dir + "; proxy_temp_path " + dir + ";\n  fastcgi_temp_path " + dir +
                       "; uwsgi_temp_path " + dir + "; scgi_temp_path " + dir +
                       ";\n  proxy_cache_path " + dir +
                       "/cache keys_zone=radio:10m max_size=256m inactive=10m;\n"
                       "  server {\n    listen 127.0.0.1:8080;\n"
                       "    location ~ ^/(channels/[0-9]+/[^/]+\\.(m3u8|mp3))$ {\n"
                       "      proxy_pass http://127.0.0.1:8000/$1;\n"
                       "      proxy_http_version 1.1;\n      proxy_set_header Connection \"\";\n"
                       "      proxy_cache radio;\n      proxy_cache_lock on;\n"
                       "      proxy_cache_use_stale updating;\n      proxy_cache_revalidate on;\n"
                       "    }\n  }\n}\n";
    return write_file(dir + "/nginx.conf", conf) &&
           proc_start(p, {"/usr/sbin/nginx", "-e", dir + "/nginx.log", "-c", dir + "/nginx.conf"},
                      dir, "nginx", false) &&
           wait_until([] { return accepts(NGINX_PORT); }, 5000);
}

void print_result(const result &r, double seconds) {
    printf("== %s: %d clients for %.0f s\n", r.name, r.clients, seconds);
    printf("  every segment of its window, whole and the same as everyone's: %d/%d\n", r.whole,
           r.clients);
    printf("  the clients asked for %ld playlists and %ld segments (join and drain included)\n",
           r.asked_lists, r.asked_segments);
    printf(
        "  the gateway answered %lld playlist and %lld segment requests; it made %llu segments\n",
        r.lists, r.segments, static_cast<unsigned long long>(r.made));
    printf("  the gateway's CPU: %.2f %% of one core\n", 100 * r.cpu);
    for (const std::string &f : r.faults) printf("  fault: %s\n", f.c_str());
}

const char USAGE[] =
    "usage: hls_bench [--clients N] [--seconds N] [--gateway PATH]\n"
    "  (clients 1 to 5000, seconds 10 to 120)\n";

// Reads the options into *c; false after the usage when they are wrong.
bool parse_args(int argc, char **argv, config *c) {
    bool ok = bench_parse_args(
        argc, argv, {{"clients", &c->clients}, {"seconds", &c->seconds}, {"gateway", &c->gateway}});
    // Bounded in count and time.
    ok = ok && c->clients >= 1 && c->clients <= 5000 && c->seconds >= 10 && c->seconds <= 120;
    if (!ok) fputs(USAGE, stderr);
    return ok && gateway_given(c->gateway);
}

// The targets through the cache: validity_s is the playlist's max-age.
bool verdict(const result &cached, double seconds, int validity_s) {
    long long lists_max = static_cast<long long>(seconds / validity_s) + 2;
    long long segments_max = static_cast<long long>(cached.made) + 2;
    bool ok = cached.whole == cached.clients && cached.lists <= lists_max &&
              cached.segments <= segments_max && cached.cpu < 0.01;
    printf(
        "through the cache: every client whole, playlists <= %lld, segments <= %lld, "
        "CPU < 1 %%: %s\n",
        lists_max, segments_max, ok ? "met" : "MISSED");
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    config conf;
    bench_radio r;
    if (!parse_args(argc, argv, &conf) || !enter_bench_radio(120, &r)) return 1;
    const std::string &dir = r.dir;
    child_proc server, gw, nginx;
    // Every client, and nginx, comes from one address: its share is not limited.
    bool ok = proc_start(&server, {BENCH_SERVER, "-S", "1991", r.folder}, dir, "server", false) &&
              proc_start(&gw, {conf.gateway, "--listen", "127.0.0.1:8000", "--each-address", "0"},
                         dir, "gateway", false) &&
              wait_until([] { return listed(fetch(PLAYLIST)) >= 3; }, 30000) &&
              start_nginx(dir, &nginx);
    result cached, direct;
    if (ok) {
        int target = 4;
        uint64_t seq;
        std::vector<std::string> names;
        parse_playlist(fetch(PLAYLIST), &target, &seq, &names);
        gateway_state before = read_gateway(gw.pid);
        sleep(10);
        printf("== the gateway with no client: %.2f %% of one core\n",
               100 * (read_gateway(gw.pid).cpu_s - before.cpu_s) / 10);
        cached = run_clients(conf, NGINX_PORT, gw.pid, "1 nginx cache in front of the gateway");
        direct = run_clients(conf, GATEWAY_PORT, gw.pid, "straight to the gateway");
        print_result(cached, conf.seconds);
        print_result(direct, conf.seconds);
        ok = verdict(cached, conf.seconds, std::max(1, target / 2));
    } else {
        run_shell("cd '" + dir + "' && tail -n 5 *.err nginx.log >&2");
    }
    stop_process(&nginx, "nginx", false);
    stop_process(&gw, "stream_gateway", true);
    stop_process(&server, "stream_server", true);
    remove_tree(dir);
    return ok ? 0 : 1;
}
