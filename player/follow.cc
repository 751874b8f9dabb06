// follow.cc - the server a player follows, and when another takes over.
#include "follow.h"

#include "join.h"

follow_kind follow_take(follow *f, const sockaddr_in &from, bool is_list, long long now) {
    bool same = f->has_server && same_sender(from, f->server);
    bool expected = is_list && f->has_expected && same_sender(from, f->expected);
    if (!same && !expected && (!is_list || (f->has_server && now - f->heard < FOLLOW_SILENCE_NS)))
        return FOLLOW_IGNORED;
    if (expected) f->has_expected = false;
    f->heard = now;
    if (same) return FOLLOW_SAME;
    f->has_server = true;
    f->server = from;
    return FOLLOW_NEW;
}

void follow_expect(follow *f, const sockaddr_in &at) {
    f->has_expected = !(f->has_server && same_sender(at, f->server));
    f->expected = at;
}
