// gateway.cc - stream_gateway: joins the radio's multicast group and serves
// every channel over HTTP, with a page that lists and plays them.
#include <signal.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <string>
#include <vector>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include "conf.h"
#include "connections.h"
#include "dnssd.h"
#include "listeners.h"
#include "mono_clock.h"
#include "radio_find.h"
#include "receive.h"
#include "report.h"
#include "serve.h"
#include "state.h"
#include "std_fds.h"

namespace {

// Every 250 ms: the lag rule, the histories' trim, and the waiting bytes
// of every second listener (so each one's every 500 ms, and one turn of
// the loop writes to half of them); every fourth time the interface that
// -I named.
constexpr long long TICK_MS = 250;
constexpr int FOLLOW_EVERY_TICKS = 4;
constexpr int FLUSH_EVERY_TICKS = 2;
// Descriptors beyond the listeners': the sockets, the log, connections
// being answered or refused.
constexpr rlim_t FD_SPARE = 64;

// Connections beyond the listeners by default: requests for the page and
// the status while every listener slot is taken.
constexpr int CONNECTIONS_ABOVE_LISTENERS = 64;

// Where libevent's own messages go: the report stream, so that they too
// carry the program's name.
FILE *libevent_report = stderr;

// libevent's messages, with its own words for their severity.
void log_libevent(int severity, const char *msg) {
    const char *level = severity == EVENT_LOG_DEBUG  ? "debug"
                        : severity == EVENT_LOG_MSG  ? "msg"
                        : severity == EVENT_LOG_WARN ? "warn"
                                                     : "err";
    fprintf(libevent_report, "[%s] %s\n", level, msg);
}

// Raises the soft limit on open files to what --listeners and
// --connections need, as far as the hard limit allows; with less, fewer
// listeners are served, and connections past the limit wait until
// accepting works again.
void raise_open_files(gateway *g) {
    rlimit r;
    if (getrlimit(RLIMIT_NOFILE, &r) < 0) return;
    rlim_t want =
        static_cast<rlim_t>(std::max(g->conf.listeners_max, g->conf.connections_max)) + FD_SPARE;
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
        r.rlim_cur = r.rlim_max == RLIM_INFINITY || r.rlim_max > want ? want : r.rlim_max;
        setrlimit(RLIMIT_NOFILE, &r);
        getrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur != RLIM_INFINITY && r.rlim_cur < want) {
        int fit = r.rlim_cur > FD_SPARE ? static_cast<int>(r.rlim_cur - FD_SPARE) : 1;
        fprintf(g->report, "open files are limited to %llu: serving at most %d listeners\n",
                static_cast<unsigned long long>(r.rlim_cur), fit);
        g->conf.listeners_max = fit;
    }
}

void on_tick(evutil_socket_t, short, void *arg) {
    static int ticks = 0;
    auto *g = static_cast<gateway *>(arg);
    long long now = now_ns();
    for (channel &c : g->channels) channel_tick(&c, g->limits, g->hls, now);
    listeners_flush(g, ticks % FLUSH_EVERY_TICKS, FLUSH_EVERY_TICKS);
    listeners_check_lag(g, now);
    if (++ticks % FOLLOW_EVERY_TICKS == 0) receive_follow(g);
}

void on_stop(evutil_socket_t, short, void *arg) {
    event_base_loopexit(static_cast<gateway *>(arg)->base, nullptr);
}

// The tick and the two signals' events.
event *loop_events[3];

// The timer and the signals that end the loop; false when they cannot be set.
bool add_events(gateway *g) {
    timeval tick = {0, TICK_MS * 1000};
    event *t = loop_events[0] = event_new(g->base, -1, EV_PERSIST, on_tick, g);
    event *term = loop_events[1] = evsignal_new(g->base, SIGTERM, on_stop, g);
    event *intr = loop_events[2] = evsignal_new(g->base, SIGINT, on_stop, g);
    return t && term && intr && event_add(t, &tick) == 0 && event_add(term, nullptr) == 0 &&
           event_add(intr, nullptr) == 0;
}

// Ends every stream cleanly and frees all that the gateway holds.
void stop(gateway *g) {
    connections_stop_accepting();
    listeners_end_all(g);
    evhttp_free(g->http);
    connections_end();
    receive_stop(g);
    for (channel &c : g->channels) channel_clear(&c);
    for (event *ev : loop_events) event_free(ev);
    event_base_free(g->base);
}

void say_listening(gateway *g) {
    const char *addr = g->conf.listen_addr;
    bool v6 = strchr(addr, ':') != nullptr;
    fprintf(g->report, "listening on http://%s%s%s:%d/\n", v6 ? "[" : "", addr, v6 ? "]" : "",
            g->conf.listen_port);
}

// The page announced on the LAN as a web service named as the station, its
// TXT record the page's path and the radio it serves; not when it listens
// on a loopback address alone, where no other host reaches it.
void announce(const gateway &g, dnssd_announce *a) {
    if (!g.conf.announce) return;
    std::string addr = g.conf.listen_addr;
    if (addr.compare(0, 4, "127.") == 0 || addr == "::1") {
        fprintf(g.report, "not announced on the LAN: listening on a loopback address\n");
        return;
    }
    std::vector<std::string> txt = {"path=/", std::string("radio=") + g.conf.group + ":" +
                                                  std::to_string(g.conf.port)};
    dnssd_announce_start(a, PAGE_SERVICE_TYPE, service_name_cut(g.conf.name), g.conf.listen_port,
                         std::move(txt), g.report);
}

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    // A listener gone mid-write shows as a failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    static gateway g;
    g.conf = conf_parse(argc, argv);
    g.report = report_stream(stderr, "stream_gateway");
    if (g.report == nullptr) return 1;
    libevent_report = g.report;
    event_set_log_callback(log_libevent);
    g.start_ns = now_ns();
    g.limits = {g.conf.burst_ms * 1'000'000, g.conf.lag_s * NS_PER_S};
    g.hls = hls_conf_at(g.conf.segment_s, wall_ns());
    for (int id = 0; id < 256; id++)
        channel_init(&g.channels[id], &g.tab, static_cast<uint8_t>(id));
    raise_open_files(&g);
    if (g.conf.connections_max == 0)
        g.conf.connections_max = g.conf.listeners_max + CONNECTIONS_ABOVE_LISTENERS;
    g.counters.listeners_max = g.conf.listeners_max;
    g.counters.repair = g.conf.repair;
    g.base = event_base_new();
    if (g.base == nullptr || !add_events(&g)) {
        fprintf(g.report, "cannot set up the event loop\n");
        return 1;
    }
    if (receive_start(&g) < 0 || serve_start(&g) < 0) return 1;
    say_listening(&g);
    dnssd_announce page;
    announce(g, &page);
    // The other radios on the LAN, for the page; nothing said when there
    // is no responder: the page is as it would be without.
    dnssd_watch lan;
    if (dnssd_watch_start(&lan, find_types(), nullptr)) g.lan = &lan;
    event_base_dispatch(g.base);
    g.lan = nullptr;
    dnssd_watch_stop(&lan);
    dnssd_announce_stop(&page);
    stop(&g);
    fprintf(g.report, "stopped\n");
    return 0;
}
