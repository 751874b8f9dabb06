// receiver.cc - around every receive of the client: its lines handed out,
// waits after failures, a followed interface looked up again, a followed
// radio's moves taken.
#include "receiver.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>

#include "radio_follow.h"
#include "retry_wait.h"

namespace {

// Failures in a row are counted up to here; the wait stops growing long before.
constexpr int RETRY_FAILURES_CAP = 64;

}  // namespace

void flush_output(output *out) {
    if (output_flush(out) == 0) return;
    perror("fflush()");
    exit(1);
}

void end_client(output *out) {
    output_flush(out);
    exit(1);
}

void pause_after_failure(output *out, int *failures) {
    if (*failures < RETRY_FAILURES_CAP) ++*failures;
    int ms = retry_wait_ms(*failures);
    if (ms == 0) return;
    flush_output(out);
    poll(nullptr, 0, ms);
}

void follow_interface(receiver *r) {
    int joined = membership_follow(&r->data);
    if (joined < 0) output_report(r->out, "setsockopt()");
    if (joined > 0)
        output_printf(r->out, OUT_STDERR, "joined the group again on %s\n", r->data.follow);
    if (r->now_playing.sd >= 0 && membership_follow(&r->now_playing) < 0)
        output_report(r->out, "setsockopt()");
    if (r->repair.membership.sd >= 0 && membership_follow(&r->repair.membership) < 0)
        output_report(r->out, "setsockopt()");
}

bool receive_again(receiver *r, ssize_t n) {
    if (n >= 0) return false;
    if (errno == EINTR) return true;
    if ((!r->data.follow && !r->radio) || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    follow_interface(r);
    radio_follow_check(r);
    flush_output(r->out);
    return true;
}
