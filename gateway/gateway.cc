// gateway.cc - stream_gateway: joins the radio's multicast group and serves
// every channel over HTTP, with a page that lists and plays them.
#include "gateway.h"

#include <errno.h>
#include <getopt.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include <event2/buffer.h>
#include <event2/event.h>
#include <event2/http.h>

#include "connections.h"
#include "defaults.h"
#include "listeners.h"
#include "now_playing.h"
#include "options.h"
#include "receive.h"
#include "report.h"
#include "serve.h"
#include "std_fds.h"

namespace {

const program_usage GATEWAY = {"stream_gateway", GATEWAY_USAGE};

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

enum {
    OPT_NOW_PLAYING = 256,
    OPT_LISTEN,
    OPT_BURST,
    OPT_LAG,
    OPT_LISTENERS,
    OPT_NAME,
    OPT_TRUST_PROXY,
    OPT_CONNECTIONS,
    OPT_REPAIR,
    OPT_SEGMENT
};
// Connections beyond the listeners by default: requests for the page and
// the status while every listener slot is taken.
constexpr int CONNECTIONS_ABOVE_LISTENERS = 64;

// --listen [ADDR:]PORT; an IPv6 address goes in brackets ("[::]:8000").
void parse_listen(char *text, gateway_conf *c) {
    char *colon = strrchr(text, ':');
    const char *port = colon ? colon + 1 : text;
    c->listen_port = port_or_exit(GATEWAY, port, 1, "--listen's port");
    if (colon == nullptr) return;
    *colon = '\0';
    size_t n = strlen(text);
    if (n >= 2 && text[0] == '[' && text[n - 1] == ']') {
        text[n - 1] = '\0';
        text++;
    }
    if (*text == '\0') misuse_exit(GATEWAY, "--listen needs an address before the ':'");
    c->listen_addr = text;
}

// "Radio on HOSTNAME", as the host calls itself.
std::string default_name() {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) < 0 || host[0] == '\0') return "Radio";
    return "Radio on " + now_playing_clean(host);
}

// --burst, --lag, --listeners and --connections: what a listener gets and
// how many are served. False when o is another option.
bool limit_option(int o, const char *arg, gateway_conf *c) {
    switch (o) {
    case OPT_BURST:
        c->burst_ms = number_or_exit(GATEWAY, arg, 0, 600000, "--burst");
        return true;
    case OPT_LAG:
        c->lag_s = number_or_exit(GATEWAY, arg, 1, 3600, "--lag");
        return true;
    case OPT_LISTENERS:
        c->listeners_max =
            static_cast<int>(number_or_exit(GATEWAY, arg, 1, 1000000, "--listeners"));
        return true;
    case OPT_CONNECTIONS:
        c->connections_max =
            static_cast<int>(number_or_exit(GATEWAY, arg, 1, 1000000, "--connections"));
        return true;
    default:
        return false;
    }
}

// --name and --trust-proxy: how the station shows itself. False when o is
// another option.
bool station_option(int o, const char *arg, gateway_conf *c) {
    switch (o) {
    case OPT_NAME:
        c->name = now_playing_clean(arg);
        if (c->name.find_first_not_of(' ') == std::string::npos)
            misuse_exit(GATEWAY, "--name needs a text");
        return true;
    case OPT_TRUST_PROXY:
        c->trust_proxy = true;
        return true;
    default:
        return false;
    }
}

// Refuses a --port that leaves a port the options need without its
// default: none above 65535.
void check_ports(const gateway_conf &c) {
    if (c.np_port == 0 && now_playing_port(c.port) == 0)
        misuse_exit(GATEWAY, "--port 65535 needs --now-playing-port");
    if (c.repair && repair_port(c.port) == 0)
        misuse_exit(GATEWAY,
                    "--repair needs a --port below 65534: the repair port is the port + 2");
}

// --segment: how HLS is cut. False when o is another option.
bool hls_option(int o, const char *arg, gateway_conf *c) {
    if (o != OPT_SEGMENT) return false;
    c->segment_s = static_cast<int>(number_or_exit(GATEWAY, arg, 2, 10, "--segment"));
    return true;
}

gateway_conf parse_options(int argc, char **argv) {
    static const option longs[] = {
        LISTENER_LONG_OPTIONS,
        {"now-playing-port", required_argument, nullptr, OPT_NOW_PLAYING},
        {"listen", required_argument, nullptr, OPT_LISTEN},
        {"burst", required_argument, nullptr, OPT_BURST},
        {"lag", required_argument, nullptr, OPT_LAG},
        {"listeners", required_argument, nullptr, OPT_LISTENERS},
        {"name", required_argument, nullptr, OPT_NAME},
        {"trust-proxy", no_argument, nullptr, OPT_TRUST_PROXY},
        {"connections", required_argument, nullptr, OPT_CONNECTIONS},
        {"repair", no_argument, nullptr, OPT_REPAIR},
        {"segment", required_argument, nullptr, OPT_SEGMENT},
        {},
    };
    gateway_conf c;
    int o;
    while ((o = getopt_long(argc, argv, "M:P:I:S:H", longs, nullptr)) >= 0) {
        if (place_option(GATEWAY, o, optarg, &c.group, &c.port, &c.interface) ||
            station_option(o, optarg, &c) || limit_option(o, optarg, &c) ||
            hls_option(o, optarg, &c))
            continue;
        switch (o) {
        case 'S':
            c.source = optarg;
            break;
        case OPT_NOW_PLAYING:
            c.np_port = port_or_exit(GATEWAY, optarg, 1, "--now-playing-port");
            break;
        case OPT_LISTEN:
            parse_listen(optarg, &c);
            break;
        case OPT_REPAIR:
            c.repair = true;
            break;
        case 'H':
            usage_exit(GATEWAY_USAGE, true);
        default:  // getopt_long has said what was wrong
            usage_exit(GATEWAY_USAGE, false);
        }
    }
    if (optind < argc)
        misuse_exit(GATEWAY, std::string("no arguments are taken, not '") + argv[optind] + "'");
    check_ports(c);
    if (c.name.empty()) c.name = default_name();
    return c;
}

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
    for (history &h : g->hist) history_trim(&h, now, g->limits);
    for (hls_channel &c : g->hls_ch) hls_idle(&c, g->hls, now);
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
    for (history &h : g->hist) history_clear(&h);
    for (hls_channel &c : g->hls_ch) hls_clear(&c);
    for (event *ev : loop_events) event_free(ev);
    event_base_free(g->base);
}

void say_listening(gateway *g) {
    const char *addr = g->conf.listen_addr;
    bool v6 = strchr(addr, ':') != nullptr;
    fprintf(g->report, "listening on http://%s%s%s:%d/\n", v6 ? "[" : "", addr, v6 ? "]" : "",
            g->conf.listen_port);
}

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) return 1;
    // A listener gone mid-write shows as a failed write, not a signal.
    signal(SIGPIPE, SIG_IGN);
    static gateway g;
    g.conf = parse_options(argc, argv);
    g.report = report_stream(stderr, "stream_gateway");
    if (g.report == nullptr) return 1;
    libevent_report = g.report;
    event_set_log_callback(log_libevent);
    g.start_ns = now_ns();
    g.limits = {g.conf.burst_ms * 1'000'000, g.conf.lag_s * NS_PER_S};
    g.hls = hls_conf_at(g.conf.segment_s, wall_ns());
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
    event_base_dispatch(g.base);
    stop(&g);
    fprintf(g.report, "stopped\n");
    return 0;
}
