// listeners.cc - many HTTP listeners of endless streams in one epoll loop.
#include "listeners.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

// A response head larger than this is taken for garbage.
constexpr size_t HEAD_MAX = 16384;

void fail(listener_set *s, size_t i, const std::string &why) {
    s->all[i].failure = why;
    listener_close(s, i);
}

// Body bytes: stamped when the first arrives, decoded when chunked, kept
// or handed to the set's sink.
void take_body(listener_set *s, size_t i, const char *data, size_t n, double at) {
    listener &l = s->all[i];
    static std::string plain;
    plain.clear();
    if (l.chunked && !dechunk(&l.chunks, data, n, &plain))
        return fail(s, i, "broken chunked coding");
    const char *p = l.chunked ? plain.data() : data;
    size_t len = l.chunked ? plain.size() : n;
    if (len > 0 && l.body_bytes == 0) l.t_first = at;
    l.body_bytes += len;
    if (s->sink != nullptr)
        s->sink(s, i, p, len);
    else
        l.body.append(p, len);
    if (l.chunked && dechunk_ended(l.chunks)) fail(s, i, "the body ended");
}

// Bytes that came before the end of the head: the head's, then the body's.
void take_head(listener_set *s, size_t i, const char *data, size_t n, double at) {
    listener &l = s->all[i];
    l.head.append(data, n);
    size_t len = http_head_length(l.head);
    if (len == 0) {
        if (l.head.size() > HEAD_MAX) fail(s, i, "no end to the response head");
        return;
    }
    http_head h = http_parse_head(l.head.substr(0, len));
    std::string rest = l.head.substr(len);
    l.head.resize(len);
    l.status = h.status;
    l.chunked = h.chunked;
    if (h.status != 200) return fail(s, i, "status " + std::to_string(h.status));
    if (!rest.empty()) take_body(s, i, rest.data(), rest.size(), at);
}

// When the last packet that the read in msg took arrived, by the kernel's
// stamp (SO_TIMESTAMPNS: the real-time clock); else now.
double arrival(msghdr *msg) {
    for (cmsghdr *c = CMSG_FIRSTHDR(msg); c; c = CMSG_NXTHDR(msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
        timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
    }
    return listeners_real_now();
}

void on_readable(listener_set *s, size_t i) {
    static char buf[65536];
    // Small reads until the body starts, so that the stamp, that of the
    // last packet a read takes, is that of the body's first bytes.
    iovec iov{buf, s->all[i].body_bytes == 0 ? 2048 : sizeof buf};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s->all[i].fd, &msg, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) return fail(s, i, std::string("recv: ") + strerror(errno));
    if (n == 0) return fail(s, i, "the server closed the connection");
    double at = arrival(&msg);
    if (s->all[i].status == 0)
        take_head(s, i, buf, static_cast<size_t>(n), at);
    else
        take_body(s, i, buf, static_cast<size_t>(n), at);
}

// The connection is up (or failed): send what is left of the request, then
// wait for the answer.
void on_writable(listener_set *s, size_t i) {
    listener &l = s->all[i];
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(l.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0)
        return fail(s, i, std::string("connect: ") + strerror(err ? err : errno));
    ssize_t n = send(l.fd, l.request.data() + l.sent, l.request.size() - l.sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) return fail(s, i, std::string("send: ") + strerror(errno));
    l.sent += static_cast<size_t>(n);
    if (l.sent < l.request.size()) return;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = i;
    if (epoll_ctl(s->ep, EPOLL_CTL_MOD, l.fd, &ev) < 0)
        fail(s, i, std::string("epoll_ctl: ") + strerror(errno));
}

}  // namespace

double listeners_now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double listeners_real_now() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool listeners_open(listener_set *s) {
    s->ep = epoll_create1(EPOLL_CLOEXEC);
    return s->ep >= 0;
}

size_t listener_start(listener_set *s, int target, uint16_t port, const std::string &path,
                      size_t reserve) {
    size_t i = s->all.size();
    s->all.emplace_back();
    listener &l = s->all.back();
    l.target = target;
    l.body.reserve(reserve);
    l.request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                "\r\nUser-Agent: gateway_bench\r\nAccept: */*\r\n\r\n";
    l.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int on = 1;
    if (l.fd < 0 || setsockopt(l.fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) < 0) {
        l.failure = std::string("socket: ") + strerror(errno);
        return i;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.u64 = i;
    l.t_asked = listeners_real_now();
    if (connect(l.fd, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0 && errno != EINPROGRESS)
        fail(s, i, std::string("connect: ") + strerror(errno));
    else if (epoll_ctl(s->ep, EPOLL_CTL_ADD, l.fd, &ev) < 0)
        fail(s, i, std::string("epoll_ctl: ") + strerror(errno));
    return i;
}

void listeners_run(listener_set *s, int ms) {
    double end = listeners_now() + ms / 1000.0;
    epoll_event events[256];
    for (;;) {
        int left = static_cast<int>((end - listeners_now()) * 1000 + 0.999);
        if (left <= 0) return;
        int n = epoll_wait(s->ep, events, 256, left);
        for (int k = 0; k < n; k++) {
            size_t i = events[k].data.u64;
            if (s->all[i].fd < 0) continue;  // closed by an earlier event of this batch
            if (s->all[i].sent < s->all[i].request.size())
                on_writable(s, i);
            else
                on_readable(s, i);
        }
    }
}

void listener_close(listener_set *s, size_t i) {
    listener &l = s->all[i];
    if (l.fd < 0) return;
    epoll_ctl(s->ep, EPOLL_CTL_DEL, l.fd, nullptr);
    close(l.fd);
    l.fd = -1;
}

void listeners_close_all(listener_set *s) {
    for (size_t i = 0; i < s->all.size(); i++) listener_close(s, i);
    if (s->ep >= 0) close(s->ep);
    s->ep = -1;
}
