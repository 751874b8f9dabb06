// jitter_hop.cc - a LAN hop that delays each of the server's datagrams by a
// random 0 to MAX_MS, for the player tests: the kernel here has no netem,
// and an nftables rule can drop but not delay.
//
// usage: jitter_hop [-s SEED] [-o] SERVER:PORT LOCAL GROUP PORTS LAN:PORT MAX_MS
//
// The server sits at SERVER:PORT behind the interface of address LOCAL;
// the players sit behind the interface of address LAN and know the server
// as LAN:PORT (the port being the server's source port), so LAN must be
// an address of this namespace. The hop
//   - joins GROUP on LOCAL, on each of PORTS (comma-separated), takes the
//     datagrams that come from SERVER:PORT and sends each to GROUP on the
//     same port out of LAN, from LAN:PORT, the delay later;
//   - takes the unicast datagrams that players send to LAN:PORT (the time
//     requests) and sends each, the delay later, to SERVER:PORT from a
//     socket of its own for that player (on LOCAL), so that the server's
//     answer comes back to that socket; each answer goes, the delay later,
//     to its player from LAN:PORT.
// Every delay is drawn afresh (uniform, to the nanosecond), so datagrams
// sent less than MAX_MS apart may swap places; with -o none overtakes the
// one before it (a datagram leaves no earlier than the last that left).
// The players thus see the server's address and source port, and nothing
// else of the hop. SIGTERM or SIGINT ends it; it then prints on stderr what
// it carried and the delays it drew. Exit status 0, or 1 on misuse or when
// a socket cannot be had.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <queue>
#include <string>
#include <vector>

namespace {

constexpr size_t MAX_DATAGRAM = 65536;
constexpr size_t MAX_PLAYERS = 64;  // sockets towards the server, one per player

const char USAGE[] =
    "usage: jitter_hop [-s SEED] [-o] SERVER:PORT LOCAL GROUP PORTS LAN:PORT MAX_MS\n";

struct hop_conf {
    sockaddr_in server{};  // the real server
    in_addr local{};       // this side's address towards the server
    in_addr group{};
    std::vector<int> ports;
    sockaddr_in lan{};  // the server as the players know it
    long long max_ns = 0;
    uint64_t seed = 1;
    bool in_order = false;
};

// A datagram waiting for its moment: out of sd to dest.
struct held {
    long long due;
    unsigned long long seq;  // ties keep the order they came in
    int sd;
    sockaddr_in dest;
    std::string bytes;
    bool operator>(const held &o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

struct hop_state {
    std::vector<int> group_sds;            // one per port, joined on local
    std::vector<int> group_ports;          // the port of each
    int lan_sd = -1;                       // bound to lan: sends everything, takes requests
    std::map<uint64_t, int> upstream;      // player (address, port) -> its socket to the server
    std::map<int, sockaddr_in> player_of;  // that socket -> its player
    std::priority_queue<held, std::vector<held>, std::greater<held>> queue;
    unsigned long long seq = 0;
    long long last_due = 0;
    uint64_t rng = 1;
    long long carried[3] = {0, 0, 0};  // to the group, requests, answers
    long long least_ns = -1, most_ns = 0;
    long long failed = 0;  // sends refused
    int failed_errno = 0;
};

volatile sig_atomic_t stop = 0;

void on_stop(int) {
    stop = 1;
}

long long now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

// xorshift64*: repeatable for a seed, good enough to spread delays.
uint64_t next_random(uint64_t *s) {
    *s ^= *s >> 12;
    *s ^= *s << 25;
    *s ^= *s >> 27;
    return *s * 2685821657736338717ULL;
}

bool parse_addr_port(const char *text, sockaddr_in *out) {
    std::string t = text;
    size_t colon = t.rfind(':');
    if (colon == std::string::npos) return false;
    int port = atoi(t.c_str() + colon + 1);
    out->sin_family = AF_INET;
    out->sin_port = htons(static_cast<uint16_t>(port));
    return port > 0 && port < 65536 &&
           inet_pton(AF_INET, t.substr(0, colon).c_str(), &out->sin_addr) == 1;
}

bool parse_ports(const char *text, std::vector<int> *out) {
    for (const char *p = text; *p;) {
        char *end;
        long v = strtol(p, &end, 10);
        if (end == p || v <= 0 || v > 65535) return false;
        out->push_back(static_cast<int>(v));
        p = *end == ',' ? end + 1 : end;
        if (*end && *end != ',') return false;
    }
    return !out->empty();
}

bool parse_args(int argc, char **argv, hop_conf *c) {
    int opt;
    while ((opt = getopt(argc, argv, "s:o")) >= 0) {
        if (opt == 's')
            c->seed = strtoull(optarg, nullptr, 10) | 1;
        else if (opt == 'o')
            c->in_order = true;
        else
            return false;
    }
    if (argc - optind != 6) return false;
    char **a = argv + optind;
    double max_ms = atof(a[5]);
    c->max_ns = static_cast<long long>(max_ms * 1e6);
    return parse_addr_port(a[0], &c->server) && inet_pton(AF_INET, a[1], &c->local) == 1 &&
           inet_pton(AF_INET, a[2], &c->group) == 1 && parse_ports(a[3], &c->ports) &&
           parse_addr_port(a[4], &c->lan) && max_ms >= 0;
}

int bound_socket(in_addr addr, int port) {
    int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sd < 0) return -1;
    int one = 1, eight_mib = 8 << 20;
    setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(sd, SOL_SOCKET, SO_RCVBUF, &eight_mib, sizeof eight_mib);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(sd, reinterpret_cast<sockaddr *>(&a), sizeof a) < 0) {
        int saved = errno;
        close(sd);
        errno = saved;
        return -1;
    }
    return sd;
}

// The group's sockets, joined on local, and the LAN socket, sending
// multicast out of lan's interface and never to itself. The call that
// failed, or null.
const char *open_sockets(const hop_conf &c, hop_state *s) {
    for (int port : c.ports) {
        int sd = bound_socket(c.group, port);
        if (sd < 0) return "bind() on the group";
        ip_mreqn m{};
        m.imr_multiaddr = c.group;
        m.imr_address = c.local;
        int zero = 0;
        if (setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0 ||
            setsockopt(sd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) < 0)
            return "setsockopt(IP_ADD_MEMBERSHIP)";
        s->group_sds.push_back(sd);
        s->group_ports.push_back(port);
    }
    s->lan_sd = bound_socket(c.lan.sin_addr, ntohs(c.lan.sin_port));
    if (s->lan_sd < 0) return "bind() on the LAN address";
    ip_mreqn out{};
    out.imr_address = c.lan.sin_addr;
    int zero = 0, ttl = 1;
    if (setsockopt(s->lan_sd, IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) < 0 ||
        setsockopt(s->lan_sd, IPPROTO_IP, IP_MULTICAST_LOOP, &zero, sizeof zero) < 0 ||
        setsockopt(s->lan_sd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0)
        return "setsockopt(IP_MULTICAST_IF)";
    return nullptr;
}

void hold(const hop_conf &c, hop_state *s, int sd, const sockaddr_in &dest, std::string bytes) {
    long long delay =
        c.max_ns > 0
            ? static_cast<long long>(next_random(&s->rng) % static_cast<uint64_t>(c.max_ns + 1))
            : 0;
    long long due = now_ns() + delay;
    if (c.in_order) due = std::max(due, s->last_due);
    s->last_due = std::max(s->last_due, due);
    if (s->least_ns < 0 || delay < s->least_ns) s->least_ns = delay;
    s->most_ns = std::max(s->most_ns, delay);
    s->queue.push(held{due, s->seq++, sd, dest, std::move(bytes)});
}

uint64_t key_of(const sockaddr_in &a) {
    return (static_cast<uint64_t>(a.sin_addr.s_addr) << 16) | a.sin_port;
}

// This player's socket towards the server, made at its first request; -1
// when there are too many players or no socket.
int upstream_of(const hop_conf &c, hop_state *s, const sockaddr_in &player) {
    auto it = s->upstream.find(key_of(player));
    if (it != s->upstream.end()) return it->second;
    if (s->upstream.size() >= MAX_PLAYERS) return -1;
    int sd = bound_socket(c.local, 0);
    if (sd < 0) return -1;
    // Connected: only the server's answers reach it.
    if (connect(sd, reinterpret_cast<const sockaddr *>(&c.server), sizeof c.server) < 0) {
        close(sd);
        return -1;
    }
    s->upstream[key_of(player)] = sd;
    s->player_of[sd] = player;
    return sd;
}

// Takes what sd holds and holds each datagram for where it goes: a group
// socket's (port > 0) to the group on that port, the LAN socket's to the
// server, a player's socket's to that player. False on an error other than
// an empty socket or an unreachable server.
bool take(const hop_conf &c, hop_state *s, int sd, int port) {
    static char buf[MAX_DATAGRAM];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(sd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == ECONNREFUSED;
        std::string bytes(buf, static_cast<size_t>(n));
        if (port > 0) {
            if (from.sin_addr.s_addr != c.server.sin_addr.s_addr ||
                from.sin_port != c.server.sin_port)
                continue;
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr = c.group;
            to.sin_port = htons(static_cast<uint16_t>(port));
            hold(c, s, s->lan_sd, to, std::move(bytes));
            s->carried[0]++;
        } else if (sd == s->lan_sd) {
            int up = upstream_of(c, s, from);
            if (up < 0) continue;
            hold(c, s, up, c.server, std::move(bytes));
            s->carried[1]++;
        } else {
            hold(c, s, s->lan_sd, s->player_of[sd], std::move(bytes));
            s->carried[2]++;
        }
    }
}

void send_due(hop_state *s) {
    long long now = now_ns();
    while (!s->queue.empty() && s->queue.top().due <= now) {
        const held &h = s->queue.top();
        // A datagram that cannot go now is lost, as on a wire, and counted.
        ssize_t n;
        do {
            n = sendto(h.sd, h.bytes.data(), h.bytes.size(), 0,
                       reinterpret_cast<const sockaddr *>(&h.dest), sizeof h.dest);
        } while (n < 0 && errno == EINTR);
        if (n < 0) s->failed++, s->failed_errno = errno;
        s->queue.pop();
    }
}

int run(const hop_conf &c, hop_state *s) {
    while (!stop) {
        std::vector<pollfd> fds;
        std::vector<int> ports;
        for (size_t i = 0; i < s->group_sds.size(); i++) {
            fds.push_back({s->group_sds[i], POLLIN, 0});
            ports.push_back(s->group_ports[i]);
        }
        fds.push_back({s->lan_sd, POLLIN, 0});
        ports.push_back(0);
        for (const auto &u : s->upstream) {
            fds.push_back({u.second, POLLIN, 0});
            ports.push_back(0);
        }
        timespec wait = {0, 100'000'000};
        if (!s->queue.empty()) {
            long long left = std::max(0LL, s->queue.top().due - now_ns());
            wait = {static_cast<time_t>(left / 1'000'000'000),
                    static_cast<long>(left % 1'000'000'000)};
        }
        int n = ppoll(fds.data(), fds.size(), &wait, nullptr);
        if (n < 0 && errno != EINTR) {
            perror("jitter_hop: ppoll()");
            return 1;
        }
        for (size_t i = 0; n > 0 && i < fds.size(); i++) {
            if (fds[i].revents == 0) continue;
            if (!take(c, s, fds[i].fd, ports[i])) {
                perror("jitter_hop: recvfrom()");
                return 1;
            }
        }
        send_due(s);
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    hop_conf conf;
    if (!parse_args(argc, argv, &conf)) {
        fputs(USAGE, stderr);
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    hop_state state;
    state.rng = conf.seed;
    if (const char *failed = open_sockets(conf, &state)) {
        fprintf(stderr, "jitter_hop: %s: %s\n", failed, strerror(errno));
        return 1;
    }
    int status = run(conf, &state);
    fprintf(stderr,
            "jitter_hop: carried %lld to the group, %lld requests, %lld answers; delays %.3f to "
            "%.3f ms; %lld sends failed%s%s\n",
            state.carried[0], state.carried[1], state.carried[2],
            state.least_ns < 0 ? 0.0 : static_cast<double>(state.least_ns) / 1e6,
            static_cast<double>(state.most_ns) / 1e6, state.failed,
            state.failed ? ", the last: " : "", state.failed ? strerror(state.failed_errno) : "");
    return status;
}
