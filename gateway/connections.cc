// connections.cc - the HTTP connections' records, deadlines and cap, and
// the pause in accepting.
//
// The HTTP library makes each connection's bufferevent through our
// callback, wraps it in a connection of its own, and frees that when the
// peer goes, telling only the connection's close callback. So a record is
// made with the bufferevent and learns its connection as soon as the
// library's accept is over, before anything is read from it (or at the
// first request, should that come first): the library hands its
// connection as the argument of the bufferevent's callbacks, and a
// bufferevent it has freed has none. Until then one reference keeps the
// bufferevent ours to look at (and its socket open); after that the close
// callback frees the record, so nothing holds the socket of a peer that
// has gone. Learning it is also where the connection counts against its
// peer's share (--each-address), and is closed at once past it.
#include "connections.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <unordered_map>

#include <event2/bufferevent.h>
#include <event2/event.h>
#include <event2/http.h>
#include <event2/listener.h>

#include "mono_clock.h"
#include "proxy.h"

namespace {

struct conn {
    gateway *g;
    bufferevent *bev;
    evhttp_connection *evcon;  // null until learnt
    event *timer;              // the turn that learns evcon, then each request's deadline
    void (*closed)(void *);    // ends the stream it carries, if any
    void *closed_arg;
    std::string peer;  // the address whose share it counts in; "" when in none
};

// Accepting pauses at the cap or when accept() fails (the open-files limit),
// and is tried again every ACCEPT_RETRY. An episode runs from the pause to
// the first accept that works, and says so in two lines, one at each end.
// At the cap, while connections keep coming and going, episodes follow each
// other every few tries: one that starts within QUIET_NS of the last line
// says nothing unless it lasts a second, and the next line counts it.
struct accepting {
    gateway *g;
    evconnlistener *lev;
    event *retry;
    bool paused;
    bool said;  // this episode's pause was reported
    long long since_ns, said_ns;
    std::string why;
    int unsaid;  // episodes not reported since the last line
};

constexpr timeval ACCEPT_RETRY = {0, 100 * 1000};
constexpr long long QUIET_NS = 10'000'000'000LL;
// A connection's send buffer (the kernel doubles it): room for the largest
// answer, the page, many times over. Left to itself the kernel grows it to
// megabytes for a peer that pipelines requests and reads nothing.
constexpr int ANSWER_SNDBUF = 64 * 1024;

std::unordered_map<bufferevent *, conn *> conns;
accepting acc;
// The connections open from each peer address that has a share (all but
// trusted proxies', with --each-address).
std::unordered_map<std::string, int> per_address;

void forget(conn *c) {
    auto it = per_address.find(c->peer);
    if (it != per_address.end() && --it->second == 0) per_address.erase(it);
    conns.erase(c->bev);
    event_free(c->timer);
    c->g->connection_count--;
    delete c;
}

void on_close(evhttp_connection *, void *arg) {
    auto *c = static_cast<conn *>(arg);
    if (c->closed != nullptr) c->closed(c->closed_arg);
    forget(c);
}

// From here on the close callback tells when the connection goes. Each
// answer leaves at once: pipelined answers would otherwise wait for the
// peer's delayed acknowledgement of the one before (40 ms each). What the
// kernel holds of answers the peer does not read is bounded too.
void learn(conn *c, evhttp_connection *evcon) {
    int fd = bufferevent_getfd(c->bev), one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &ANSWER_SNDBUF, sizeof ANSWER_SNDBUF);
    c->evcon = evcon;
    evhttp_connection_set_closecb(evcon, on_close, c);
    bufferevent_decref(c->bev);
}

// Counts the learnt connection in its peer's share; false, counting it
// nowhere, when the share is full. A trusted proxy has none: it carries
// many listeners, whose addresses only it knows.
bool admitted(conn *c) {
    char *peer = nullptr;
    ev_uint16_t port = 0;
    evhttp_connection_get_peer(c->evcon, &peer, &port);
    const gateway_conf &conf = c->g->conf;
    if (conf.each_address_max == 0 || peer == nullptr || proxy_trusted(conf.trust, peer))
        return true;
    auto it = per_address.find(peer);
    if (it != per_address.end() && it->second >= conf.each_address_max) {
        c->g->counters.refused_each_address++;
        return false;
    }
    per_address[peer]++;
    c->peer = peer;
    return true;
}

void arm_deadline(conn *c) {
    timeval deadline = {REQUEST_DEADLINE_S, 0};
    evtimer_add(c->timer, &deadline);
}

void on_answered(evhttp_request *, void *arg) {
    arm_deadline(static_cast<conn *>(arg));
}

// Right after the accept (the connection is learnt, or found gone; past
// its peer's share it is closed at once, its request unread: reading it
// is what a peer that holds connections makes slow), or the deadline of a
// request that has not come whole: the library closes the connection as
// after an idle read. Either way on_close frees the record.
void on_timer(evutil_socket_t, short, void *arg) {
    auto *c = static_cast<conn *>(arg);
    if (c->evcon != nullptr) {
        bufferevent_trigger_event(c->bev, BEV_EVENT_READING | BEV_EVENT_TIMEOUT, 0);
        return;
    }
    bufferevent_event_cb eventcb = nullptr;
    void *evcon = nullptr;
    bufferevent_getcb(c->bev, nullptr, nullptr, &eventcb, &evcon);
    if (eventcb == nullptr) {  // freed by the library already
        bufferevent *bev = c->bev;
        forget(c);
        bufferevent_decref(bev);
        return;
    }
    learn(c, static_cast<evhttp_connection *>(evcon));
    if (!admitted(c)) return evhttp_connection_free(c->evcon);
    arm_deadline(c);
}

void say_paused() {
    acc.said = true;
    acc.said_ns = now_ns();
    fprintf(acc.g->report, "accepting paused: %s", acc.why.c_str());
    if (acc.unsaid > 0) fprintf(acc.g->report, " (and %d brief pauses before)", acc.unsaid);
    fprintf(acc.g->report, "\n");
    acc.unsaid = 0;
}

void pause_accepting(const std::string &why) {
    evconnlistener_disable(acc.lev);
    evtimer_add(acc.retry, &ACCEPT_RETRY);
    if (acc.paused) return;
    acc.paused = true;
    acc.said = false;
    acc.since_ns = now_ns();
    acc.why = why;
    if (acc.since_ns - acc.said_ns >= QUIET_NS) say_paused();
}

void on_accept_error(evconnlistener *, void *) {
    pause_accepting(std::string("accept(): ") + strerror(EVUTIL_SOCKET_ERROR()));
}

void on_retry(evutil_socket_t, short, void *) {
    if (!acc.said && now_ns() - acc.since_ns >= NS_PER_S) say_paused();
    if (acc.g->connection_count < acc.g->conf.connections_max)
        evconnlistener_enable(acc.lev);
    else
        evtimer_add(acc.retry, &ACCEPT_RETRY);
}

// A connection was accepted: its bufferevent, which reads at most
// READ_AHEAD_MAX ahead, and its record.
bufferevent *new_connection(event_base *base, void *arg) {
    auto *g = static_cast<gateway *>(arg);
    if (acc.paused && acc.said)
        fprintf(g->report, "accepting again after %.1f s\n",
                static_cast<double>(now_ns() - acc.since_ns) / 1e9);
    else if (acc.paused)
        acc.unsaid++;
    acc.paused = false;
    bufferevent *bev = bufferevent_socket_new(base, -1, BEV_OPT_CLOSE_ON_FREE);
    if (bev == nullptr) return nullptr;
    bufferevent_setwatermark(bev, EV_READ, 0, READ_AHEAD_MAX);
    auto *c = new conn{g, bev, nullptr, nullptr, nullptr, nullptr, {}};
    c->timer = evtimer_new(base, on_timer, c);
    if (c->timer == nullptr) {
        delete c;  // served without a record: no deadline, no stream
        return bev;
    }
    // Run once the library's accept is over, in this turn of the loop:
    // before the connection's socket is first read.
    event_active(c->timer, EV_TIMEOUT, 1);
    bufferevent_incref(bev);
    conns[bev] = c;
    if (++g->connection_count >= g->conf.connections_max)
        pause_accepting(std::to_string(g->connection_count) +
                        " connections are open, the most allowed (--connections)");
    return bev;
}

conn *record_of(evhttp_connection *evcon) {
    auto it = conns.find(evhttp_connection_get_bufferevent(evcon));
    return it == conns.end() ? nullptr : it->second;
}

}  // namespace

bool connections_start(gateway *g, evhttp_bound_socket *bound) {
    acc.g = g;
    acc.lev = evhttp_bound_socket_get_listener(bound);
    acc.said_ns = now_ns() - QUIET_NS;
    // The library listens with a queue of 128: a thousand connections a
    // second, while one turn of the loop writes to thousands of listeners,
    // would overflow it, and a peer whose connection finds it full waits a
    // second or more to try again. The kernel caps this at somaxconn.
    listen(evhttp_bound_socket_get_fd(bound), SOMAXCONN);
    acc.retry = evtimer_new(g->base, on_retry, nullptr);
    if (acc.retry == nullptr) {
        fprintf(g->report, "event_new(): cannot make the accept timer\n");
        return false;
    }
    evconnlistener_set_error_cb(acc.lev, on_accept_error);
    evhttp_set_bevcb(g->http, new_connection, g);
    return true;
}

void connection_request_came(evhttp_request *req) {
    evhttp_connection *evcon = evhttp_request_get_connection(req);
    conn *c = record_of(evcon);
    if (c == nullptr) return;
    evtimer_del(c->timer);
    if (c->evcon == nullptr) learn(c, evcon);
    evhttp_request_set_on_complete_cb(req, on_answered, c);
}

bool connection_on_close(evhttp_connection *evcon, void (*closed)(void *), void *arg) {
    conn *c = record_of(evcon);
    if (c == nullptr) return false;
    c->closed = closed;
    c->closed_arg = arg;
    return true;
}

void connections_stop_accepting() {
    evconnlistener_disable(acc.lev);
    evtimer_del(acc.retry);
}

void connections_end() {
    // Records whose connection was never learnt hold its bufferevent.
    while (!conns.empty()) {
        conn *c = conns.begin()->second;
        bufferevent *bev = c->bev;
        bool held = c->evcon == nullptr;
        forget(c);
        if (held) bufferevent_decref(bev);
    }
    event_free(acc.retry);
}
