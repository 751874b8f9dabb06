// pacing.cc - the server's send times.
#include "pacing.h"

channel_clock pacing_start(long long start, size_t index, size_t count) {
    channel_clock c;
    c.start_ns =
        start + PACING_STAGGER_NS * static_cast<long long>(index) / static_cast<long long>(count);
    return c;
}

long long pacing_due(const channel_clock &c, long long payload_ns) {
    return c.start_ns + c.sent_ns + payload_ns - PACING_LEAD_NS;
}

bool pacing_sends_now(const channel_clock &c, long long payload_ns, long long now) {
    return pacing_due(c, payload_ns) <= now + PACING_BATCH_NS;
}

void pacing_sent(channel_clock *c, long long payload_ns, long long now) {
    long long late = now - pacing_due(*c, payload_ns);
    if (late > PACING_LEAD_NS) c->start_ns += late - PACING_LEAD_NS;
    c->sent_ns += payload_ns;
}

long long pacing_next_list(long long due, long long interval, long long now) {
    return due + interval > now ? due + interval : now + interval;
}
