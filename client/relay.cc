// relay.cc - the data phase: batches from the data socket, the rules,
// runs of payloads written to the player, and the poll over the inputs
// beside the data socket.
#include "relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <string>
#include <vector>

#include "inputs.h"
#include "mono_clock.h"
#include "player_process.h"
#include "proto.h"
#include "radio_follow.h"
#include "repair_relay.h"
#include "stream.h"
#include "titles.h"
#include "tune.h"

namespace {

// What one receive of the data phase takes: up to BATCH datagrams that were
// queued on the socket, each in a buffer of MSG_MAX_SIZE bytes.
constexpr unsigned BATCH = 16;

struct batch {
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    sockaddr_in from[BATCH];
    uint8_t *bufs;  // BATCH buffers one after the other
};

// The data phase's receive buffers, allocated and touched once; ends the
// process when they cannot be had.
void set_up_batch(batch *b) {
    b->bufs = static_cast<uint8_t *>(malloc(BATCH * MSG_MAX_SIZE));
    if (!b->bufs) {
        perror("malloc");
        exit(1);
    }
    // Touched once now, so the client's memory stays the same from here on
    // rather than growing the first time a burst fills the buffers.
    memset(b->bufs, 0, BATCH * MSG_MAX_SIZE);
    for (unsigned i = 0; i < BATCH; i++) {
        b->iov[i] = {b->bufs + i * MSG_MAX_SIZE, MSG_MAX_SIZE};
        memset(&b->msgs[i].msg_hdr, 0, sizeof b->msgs[i].msg_hdr);
        b->msgs[i].msg_hdr.msg_iov = &b->iov[i];
        b->msgs[i].msg_hdr.msg_iovlen = 1;
        b->msgs[i].msg_hdr.msg_name = &b->from[i];
    }
}

// How a receive of the data phase waits.
enum receive_wait {
    WAIT_FOR_ONE,  // blocks until the first datagram comes
    NO_WAIT,       // a poll has said the socket has something
};

// Takes up to BATCH datagrams that socket sd has queued. WAIT_FOR_ONE
// hands out every line so far first, and a receive that timed out looks a
// followed interface up again (receive_again); NO_WAIT returns 0 when
// there was nothing after all. Returns the number of datagrams, or -1
// after a failed receive, reported as "recvfrom()" (the client's word for
// it, whatever call it makes).
int receive_batch(receiver *r, int sd, batch *b, receive_wait wait) {
    for (unsigned i = 0; i < BATCH; i++) b->msgs[i].msg_hdr.msg_namelen = sizeof b->from[i];
    bool block = wait == WAIT_FOR_ONE;
    if (block) flush_output(r->out);
    int n;
    do {
        n = recvmmsg(sd, b->msgs, BATCH, block ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    } while (block ? receive_again(r, n) : n < 0 && errno == EINTR);
    if (!block && n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0) output_report(r->out, "recvfrom()");
    return n;
}

// What the steps of the data phase share.
struct relay {
    receiver *r;
    int pd;              // the player's pipe
    sockaddr_in server;  // the list's source: only its datagrams are relayed
    long long choice;    // the channel relayed
    batch b;             // the receive buffers
};

// Accepted datagrams that follow one another: their payloads go to the
// player in one write.
struct payload_run {
    iovec iov[BATCH];                // their payloads
    const sockaddr_in *from[BATCH];  // their sources and channels, for their lines
    uint8_t chnid[BATCH];
    unsigned count;
};

// Adds the accepted datagram d[0, len) that came from `from` to the run,
// which has room.
void run_add(payload_run *run, const uint8_t *d, size_t len, const sockaddr_in *from) {
    constexpr size_t at = offsetof(channel_data_message, payload);
    run->iov[run->count] = {const_cast<uint8_t *>(d) + at, len - at};
    run->from[run->count] = from;
    run->chnid[run->count] = d[0];
    run->count++;
}

void print_raddr(output *out, const sockaddr_in &from) {
    output_printf(out, OUT_STDERR, "raddr:%d\n", addr_as_int(from));
}

// The lines of datagram i of the run, relayed, unless -q.
void print_accepted(const receiver &r, const payload_run &run, unsigned i) {
    if (r.quiet) return;
    print_raddr(r.out, *run.from[i]);
    output_printf(r.out, OUT_STDOUT, "Accept massage:%d recived.\n", run.chnid[i]);
}

// The lines of a datagram from `from` that is not relayed, unless -q.
void print_dropped(const receiver &r, const sockaddr_in &from, data_verdict v,
                   const sockaddr_in &server) {
    if (r.quiet) return;
    print_raddr(r.out, from);
    switch (v) {
    case DATA_ADDR_MISMATCH: {
        char rtext[30];
        char stext[30];
        inet_ntop(AF_INET, &from.sin_addr, rtext, sizeof rtext);
        inet_ntop(AF_INET, &server.sin_addr, stext, sizeof stext);
        output_printf(r.out, OUT_STDERR, "Ignore:addr not match. raddr:%s server_addr:%s.\n", rtext,
                      stext);
        break;
    }
    case DATA_PORT_MISMATCH:
        output_printf(r.out, OUT_STDERR, "Ignore:port not match.\n");
        break;
    case DATA_TOO_SHORT:
        output_printf(r.out, OUT_STDERR, "Ignore:massage too short.\n");
        break;
    case DATA_OTHER_CHANNEL:
    case DATA_ACCEPT:
        break;
    }
}

// Waits until the pipe pd has room, or has lost its reader (the next write
// then fails); ends the client when nobody reads the pipe any more.
void wait_for_room(output *out, int pd) {
    switch (player_wait_for_room(pd)) {
    case PLAYER_ROOM:
        return;
    case PLAYER_PIPE_HELD:
        output_printf(out, OUT_STDERR, "player ended; its pipe is held open but not read\n");
        break;
    case PLAYER_POLL_FAILED:
        output_report(out, "poll()");
        break;
    }
    end_client(out);
}

// Writes the run's payloads to the player, in as few writes as the pipe
// allows, and prints each datagram's lines once its payload is wholly in the
// pipe. On a full pipe every line so far is handed out before the client
// waits for room. A failed write ends the client as it would with one
// datagram at a time: the lines of the datagram whose payload failed, the
// report, status 1.
void write_run(const relay &rl, payload_run *run) {
    unsigned first = 0;  // the first payload not yet wholly written
    while (first < run->count) {
        ssize_t n = writev(rl.pd, run->iov + first, static_cast<int>(run->count - first));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            flush_output(rl.r->out);
            wait_for_room(rl.r->out, rl.pd);
            continue;
        }
        if (n < 0) {
            int err = errno;
            print_accepted(*rl.r, *run, first);
            errno = err;
            output_report(rl.r->out, "write()");
            end_client(rl.r->out);
        }
        size_t left = static_cast<size_t>(n);
        while (first < run->count && left >= run->iov[first].iov_len) {
            left -= run->iov[first].iov_len;
            print_accepted(*rl.r, *run, first);
            first++;
        }
        if (left > 0) {
            run->iov[first].iov_base = static_cast<uint8_t *>(run->iov[first].iov_base) + left;
            run->iov[first].iov_len -= left;
        }
    }
    run->count = 0;
}

// Adds the datagram d[0, len) from `from`, judged v, to the run when it is
// accepted (the run written first when full); else writes the run and
// prints the datagram's lines.
void take_judged(const relay &rl, payload_run *run, data_verdict v, const uint8_t *d, size_t len,
                 const sockaddr_in *from) {
    if (v != DATA_ACCEPT) {
        write_run(rl, run);
        return print_dropped(*rl.r, *from, v, rl.server);
    }
    if (run->count == BATCH) write_run(rl, run);
    run_add(run, d, len, from);
}

// Relays what the repair decoder handed out, in order, each datagram as if
// it came from the server now: the rules, the lines and the payload of a
// received one.
void relay_handed(const relay &rl, const repair_datagrams &handed) {
    payload_run run;
    run.count = 0;
    for (const auto &d : handed)
        take_judged(rl, &run, data_decide(rl.server, rl.server, d.data(), d.size(), rl.choice),
                    d.data(), d.size(), &rl.server);
    write_run(rl, &run);
}

// Applies the rules to each datagram of the batch from first up to end, in
// order, prints its lines and relays the accepted payloads; with --repair
// they go through the decoder, which hands them out later.
void relay_batch(relay *rl, unsigned first, unsigned end) {
    repair_relay *repair = &rl->r->repair;
    payload_run run;
    run.count = 0;
    repair_datagrams handed;
    long long now = repair->decoding ? now_ns() : 0;
    for (unsigned i = first; i < end; i++) {
        const uint8_t *buf = rl->b.bufs + i * MSG_MAX_SIZE;
        size_t len = rl->b.msgs[i].msg_len;
        data_verdict v = data_decide(rl->server, rl->b.from[i], buf, len, rl->choice);
        if (v == DATA_ACCEPT && repair->decoding)
            repair_relay_data(repair, buf, len, now, &handed);
        else
            take_judged(*rl, &run, v, buf, len, &rl->b.from[i]);
    }
    write_run(*rl, &run);
    relay_handed(*rl, handed);
}

// Follows channel chnid from now on: with --repair (the repair socket is
// open) through a decoder of its own, after what the decoder of the channel
// left still held, relayed at once, as it is.
void follow(relay *rl, long long chnid) {
    if (rl->r->repair.membership.sd < 0) return;
    repair_datagrams held;
    repair_relay_follow(&rl->r->repair, chnid, &held);
    relay_handed(*rl, held);
}

// With --radio, when the radio moved to another server: its datagrams are
// the ones relayed from now on, the channel's repair started afresh.
void take_move(relay *rl) {
    radio_follow *f = rl->r->radio;
    if (f == nullptr) return;
    radio_follow_check(rl->r);
    if (!f->moved) return;
    f->moved = false;
    if (same_sender(f->server, rl->server)) return;
    rl->server = f->server;
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &rl->server.sin_addr, text, sizeof text);
    output_printf(rl->r->out, OUT_STDERR, "following the server at %s:%d: the radio moved there\n",
                  text, ntohs(rl->server.sin_port));
    follow(rl, rl->choice);
}

// Says what the followed channel plays, when that is known already.
void say_title_of(receiver *r, long long chnid) {
    std::string text;
    if (!titles_follow(&r->heard, chnid, &text)) return;
    std::string line = titles_line(text, r->err_visible);
    output_add(r->out, OUT_STDERR, line.data(), line.size());
}

// relay_batch with --tune: the latest list from the server is kept, and
// the channel asked for is switched to at its first datagram of the batch,
// which is the first to be relayed.
void relay_tuned(relay *rl, unsigned count) {
    tuning *tune = &rl->r->tune;
    unsigned from = 0;  // the first datagram not yet relayed
    for (unsigned i = 0; i < count; i++) {
        const uint8_t *buf = rl->b.bufs + i * MSG_MAX_SIZE;
        size_t len = rl->b.msgs[i].msg_len;
        if (data_decide(rl->server, rl->b.from[i], buf, len, CHNID_LIST) == DATA_ACCEPT &&
            list_classify(buf, len) == LIST_ACCEPTED)
            tune->list.assign(reinterpret_cast<const char *>(buf), len);
        if (tune->pending < 0 ||
            data_decide(rl->server, rl->b.from[i], buf, len, tune->pending) != DATA_ACCEPT)
            continue;
        relay_batch(rl, from, i);
        from = i;
        follow(rl, tune->pending);
        rl->choice = tune->pending;
        tune->pending = -1;
        output_printf(rl->r->out, OUT_STDERR, "now on channel %lld\n", rl->choice);
        say_title_of(rl->r, rl->choice);
    }
    relay_batch(rl, from, count);
}

// Acts on what the inputs beside the data socket have: lines typed on the
// terminal, now-playing datagrams. A terminal that gives nothing more is
// no longer watched.
void take_beside(receiver *r, const sockaddr_in &server) {
    if (inputs_ready(r->watched, INPUT_TERMINAL)) {
        std::vector<tune_said> said;
        if (tune_read(&r->tune, 0, r->show_visible, &said) < 0)
            inputs_watch(&r->watched, INPUT_TERMINAL, -1);
        for (const tune_said &s : said)
            output_add(r->out, s.to_stdout ? OUT_STDOUT : OUT_STDERR, s.text.data(), s.text.size());
    }
    if (!inputs_ready(r->watched, INPUT_NOW_PLAYING)) return;
    std::string lines;
    int got = titles_receive(&r->heard, r->watched.fds[INPUT_NOW_PLAYING].fd, server,
                             r->err_visible, &lines);
    output_add(r->out, OUT_STDERR, lines.data(), lines.size());
    if (got < 0) output_report(r->out, "recvfrom()");
}

// Batches taken from the data socket at most before the repair socket's
// datagrams: a flood of data cannot keep the client from its repair.
constexpr int DRAIN_ROUNDS = 8;

// Relays what the data socket has queued, which a poll said is something:
// one batch, or with drain up to DRAIN_ROUNDS, until it has no more. False
// after a failed receive.
bool take_data(relay *rl, bool drain) {
    for (int round = 0; round < (drain ? DRAIN_ROUNDS : 1); round++) {
        int got = receive_batch(rl->r, rl->r->data.sd, &rl->b, NO_WAIT);
        if (got < 0) return false;
        take_move(rl);
        if (rl->r->tuned)
            relay_tuned(rl, static_cast<unsigned>(got));
        else
            relay_batch(rl, 0, static_cast<unsigned>(got));
        if (got < static_cast<int>(BATCH)) break;
    }
    return true;
}

// Gives what the repair socket has queued to the decoder, and relays what
// it hands out. The data socket is drained first: data datagrams that came
// before a block's first repair datagram are then taken before it, as the
// decoder needs.
void take_repair(relay *rl) {
    repair_relay *repair = &rl->r->repair;
    int got = receive_batch(rl->r, repair->membership.sd, &rl->b, NO_WAIT);
    long long now = now_ns();
    repair_datagrams handed;
    for (int i = 0; i < got; i++)
        repair_relay_repair(repair, rl->server, rl->b.from[i], rl->b.bufs + i * MSG_MAX_SIZE,
                            rl->b.msgs[i].msg_len, now, &handed);
    relay_handed(*rl, handed);
}

// With --repair, relays what the decoder hands out by time.
void relay_due(relay *rl) {
    repair_relay *repair = &rl->r->repair;
    if (!repair->decoding) return;
    long long now = now_ns();
    if (repair_relay_wait_ms(*repair, now) != 0) return;
    repair_datagrams handed;
    repair_relay_tick(repair, now, &handed);
    relay_handed(*rl, handed);
}

// How long the data phase's poll waits (-1: no limit): FOLLOW_CHECK_S while
// an interface's name or a radio is followed, and with --repair no longer
// than until the decoder hands out by time. *follow_check: the first is
// the limit.
int poll_wait_ms(const receiver &r, bool *follow_check) {
    int follow = r.data.follow || r.radio ? FOLLOW_CHECK_S * 1000 : -1;
    int due = r.repair.decoding ? repair_relay_wait_ms(r.repair, now_ns()) : -1;
    *follow_check = follow >= 0 && (due < 0 || follow <= due);
    return *follow_check ? follow : due;
}

// The data phase when options add inputs beside the data socket: one poll
// over all of them. A poll that waited FOLLOW_CHECK_S for nothing looks a
// followed interface's name up again, as a receive that timed out does.
[[noreturn]] void relay_polled(relay *rl) {
    receiver *r = rl->r;
    say_title_of(r, rl->choice);
    int failures = 0;
    for (;;) {
        flush_output(r->out);
        bool follow_check;
        int n = inputs_wait(&r->watched, poll_wait_ms(*r, &follow_check));
        if (n == 0 && follow_check) {
            follow_interface(r);
            take_move(rl);
        }
        if (n < 0 && errno != EINTR) {
            output_report(r->out, "poll()");
            pause_after_failure(r->out, &failures);
        }
        relay_due(rl);
        if (n <= 0) continue;
        take_beside(r, rl->server);
        bool repair_ready = inputs_ready(r->watched, INPUT_REPAIR);
        if (!inputs_ready(r->watched, INPUT_DATA) && !repair_ready) continue;
        if (!take_data(rl, repair_ready)) {
            pause_after_failure(r->out, &failures);
            continue;
        }
        failures = 0;
        if (repair_ready) take_repair(rl);
    }
}

}  // namespace

[[noreturn]] void data_phase(receiver *r, int pd, const sockaddr_in &server, long long choice) {
    static relay rl = {r, pd, server, choice, {}};
    set_up_batch(&rl.b);
    if (r->repair.membership.sd >= 0) repair_relay_skip_waiting(r->repair);
    follow(&rl, choice);
    if (inputs_beside_data(r->watched)) relay_polled(&rl);
    int failures = 0;
    for (;;) {
        int n = receive_batch(r, r->data.sd, &rl.b, WAIT_FOR_ONE);
        if (n < 0) {
            pause_after_failure(r->out, &failures);
            continue;
        }
        failures = 0;
        take_move(&rl);
        relay_batch(&rl, 0, static_cast<unsigned>(n));
    }
}
