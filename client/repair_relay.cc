// repair_relay.cc - the followed channel through its repair decoder, and the
// counts of what was rebuilt, said however the client ends.
#include "repair_relay.h"

#include <errno.h>
#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace {

// The relay's counts as a signal handler reads them: lock-free, so a read
// in the handler never waits on the interrupted code, nor sees half a value.
static_assert(std::atomic<long long>::is_always_lock_free);
std::atomic<long long> said_rebuilt{0};
std::atomic<long long> said_lost{0};

// Stores r's counts for repair_relay_say_counts: those of the channels left
// and of the current decoder.
void publish(const repair_relay &r) {
    long long rebuilt = r.left.rebuilt, lost = r.left.lost;
    if (r.decoding) rebuilt += r.decoder.counts.rebuilt, lost += r.decoder.counts.lost;
    said_rebuilt.store(rebuilt, std::memory_order_relaxed);
    said_lost.store(lost, std::memory_order_relaxed);
}

// Appends text to buf[0, size) at *at, as much as fits.
void put_text(char *buf, size_t size, size_t *at, const char *text) {
    for (; *text && *at < size; text++) buf[(*at)++] = *text;
}

// Appends v in decimal (0 for a v below 0), as put_text does.
void put_number(char *buf, size_t size, size_t *at, long long v) {
    char digits[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0 : static_cast<unsigned long long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u > 0);
    while (n > 0 && *at < size) buf[(*at)++] = digits[--n];
}

}  // namespace

int repair_relay_open(repair_relay *r, const join_membership &data, uint16_t port, bool reuse,
                      const char **failed) {
    r->membership = data;
    return membership_open(&r->membership, port, reuse, 0, failed);
}

void repair_relay_skip_waiting(const repair_relay &r) {
    uint8_t byte;
    // More than the largest receive buffer holds: a flood beyond that ends
    // the skip rather than the client.
    for (int i = 0; i < 1 << 16; i++) {
        ssize_t n = recv(r.membership.sd, &byte, 1, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno != EINTR) return;
    }
}

void repair_relay_follow(repair_relay *r, long long chnid, repair_datagrams *out) {
    if (r->decoding) {
        repair_decoder_tick(&r->decoder, LLONG_MAX, out);  // every hold is over
        r->left.rebuilt += r->decoder.counts.rebuilt;
        r->left.lost += r->decoder.counts.lost;
    }
    r->decoding = chnid >= 1 && chnid <= 255;
    if (r->decoding) r->decoder = repair_decoder_start(static_cast<uint8_t>(chnid), REPAIR_HOLD_NS);
    publish(*r);
}

void repair_relay_data(repair_relay *r, const uint8_t *p, size_t n, long long now,
                       repair_datagrams *out) {
    repair_decoder_data(&r->decoder, p, n, now, out);
    publish(*r);
}

void repair_relay_repair(repair_relay *r, const sockaddr_in &server, const sockaddr_in &from,
                         const uint8_t *p, size_t n, long long now, repair_datagrams *out) {
    if (!r->decoding || !same_sender(server, from) || n < 1 || p[0] != r->decoder.chnid) return;
    repair_decoder_repair(&r->decoder, p, n, now, out);
    publish(*r);
}

void repair_relay_tick(repair_relay *r, long long now, repair_datagrams *out) {
    if (!r->decoding) return;
    repair_decoder_tick(&r->decoder, now, out);
    publish(*r);
}

int repair_relay_wait_ms(const repair_relay &r, long long now) {
    long long due = r.decoding ? repair_decoder_due(r.decoder) : LLONG_MAX;
    if (due == LLONG_MAX) return -1;
    if (due <= now) return 0;
    long long ms = (due - now + 999'999) / 1'000'000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

size_t repair_counts_text(char *buf, size_t size, long long rebuilt, long long lost) {
    size_t at = 0;
    put_text(buf, size, &at, "rebuilt datagrams: ");
    put_number(buf, size, &at, rebuilt);
    put_text(buf, size, &at, ", could not rebuild: ");
    put_number(buf, size, &at, lost);
    put_text(buf, size, &at, "\n");
    return at;
}

void repair_relay_say_counts() {
    int err = errno;  // as the interrupted code left it
    char line[96];
    size_t n = repair_counts_text(line, sizeof line, said_rebuilt.load(std::memory_order_relaxed),
                                  said_lost.load(std::memory_order_relaxed));
    ssize_t w;
    do {
        w = write(2, line, n);
    } while (w < 0 && errno == EINTR);
    errno = err;
}
