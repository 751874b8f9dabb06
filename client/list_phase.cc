// list_phase.cc - the client's list phase: every datagram until the
// channel list, with its lines; the list shown; the choice read.
#include "list_phase.h"

#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <string>

#include "proto.h"
#include "stream.h"
#include "text_number.h"

namespace {

// Receives one datagram of the list phase into buf and its source into
// *from, after handing out every line so far. Returns the size, or -1 after
// reporting a failed receive.
ssize_t receive_one(receiver *r, uint8_t *buf, sockaddr_in *from) {
    flush_output(r->out);
    socklen_t alen;
    ssize_t n;
    do {
        alen = sizeof *from;
        n = recvfrom(r->data.sd, buf, MSG_MAX_SIZE, 0, reinterpret_cast<sockaddr *>(from), &alen);
    } while (receive_again(r, n));
    if (n < 0) output_report(r->out, "recvfrom()");
    return n;
}

void print_list(const receiver &r, const uint8_t *buf, size_t len) {
    std::string text;
    list_text(buf, len, r.show_visible, &text);
    output_add(r.out, OUT_STDOUT, text.data(), text.size());
}

// The lines of one datagram of the list phase, unless -q: its source, and
// why it is not the list.
void print_list_datagram(const receiver &r, const sockaddr_in &from, list_kind kind,
                         const uint8_t *buf) {
    if (r.quiet) return;
    output_printf(r.out, OUT_STDERR, "server_addr:%d\n", addr_as_int(from));
    if (kind == LIST_TOO_SHORT) output_printf(r.out, OUT_STDERR, "massage is too short.\n");
    if (kind != LIST_NOT_LIST) return;
    output_printf(r.out, OUT_STDERR, "current chnid:%d.\n", buf[0]);
    output_printf(r.out, OUT_STDERR, "chnid is not match.\n");
}

}  // namespace

sockaddr_in list_phase(receiver *r) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(MSG_MAX_SIZE));
    if (!buf) {
        perror("malloc");
        exit(1);
    }
    sockaddr_in server;
    ssize_t len;
    int failures = 0;
    for (;;) {
        sockaddr_in from;
        len = receive_one(r, buf, &from);
        if (len < 0) {
            pause_after_failure(r->out, &failures);
            continue;
        }
        failures = 0;
        server = from;
        list_kind kind = list_classify(buf, static_cast<size_t>(len));
        print_list_datagram(*r, from, kind, buf);
        if (kind == LIST_ACCEPTED) break;
    }
    print_list(*r, buf, static_cast<size_t>(len));
    if (r->tuned) r->tune.list.assign(reinterpret_cast<char *>(buf), static_cast<size_t>(len));
    free(buf);
    return server;
}

long long read_choice_or_exit(const receiver &r) {
    flush_output(r.out);  // the list must be seen before the choice is read
    long long choice;
    if (!read_choice(stdin, &choice)) exit(1);
    // What the terminal gave after the number, the rest of its line, is
    // passed over; later lines are read from the descriptor (tune_read).
    if (r.tuned) __fpurge(stdin);
    return choice;
}
