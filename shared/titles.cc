// titles.cc - the now-playing lines: which datagrams count, and when a line is due.
#include "titles.h"

#include <errno.h>
#include <sys/socket.h>

#include "join.h"
#include "now_playing.h"
#include "visible.h"

namespace {

// Larger than any now-playing datagram, whose values stay within
// NOW_PLAYING_VALUE_MAX bytes each; a longer one is no such datagram.
constexpr size_t TITLES_BUFFER = 8192;

}  // namespace

bool titles_take(titles *t, const sockaddr_in &server, const sockaddr_in &from, const uint8_t *buf,
                 size_t len, std::string *text) {
    now_playing np;
    if (!same_sender(server, from) || !now_playing_parse(buf, len, &np)) return false;
    std::string now = now_playing_text(np);
    t->known[np.chnid] = now;
    if (np.chnid != t->chnid || now.empty() || now == t->shown) return false;
    t->shown = now;
    *text = now;
    return true;
}

bool titles_follow(titles *t, long long chnid, std::string *text) {
    t->shown.clear();
    t->chnid = chnid >= 1 && chnid <= 255 ? static_cast<int>(chnid) : -1;
    if (t->chnid < 0 || t->known[t->chnid].empty()) return false;
    t->shown = t->known[t->chnid];
    *text = t->shown;
    return true;
}

std::string titles_line(const std::string &text, bool visible) {
    std::string line = "now playing: ";
    if (visible)
        visible_append(reinterpret_cast<const uint8_t *>(text.data()), text.size(), &line);
    else
        line += text;
    return line + "\n";
}

int titles_receive(titles *t, int sd, const sockaddr_in &server, bool visible, std::string *lines) {
    static uint8_t buf[TITLES_BUFFER];
    for (int i = 0; i < TITLES_BATCH; i++) {
        sockaddr_in from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(sd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &flen);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        std::string text;
        if (static_cast<size_t>(n) > sizeof buf ||
            !titles_take(t, server, from, buf, static_cast<size_t>(n), &text))
            continue;
        *lines += titles_line(text, visible);
    }
    return 0;
}
