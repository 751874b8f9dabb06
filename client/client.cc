// client.cc - the stream client: joins the multicast group, shows the
// channel list, and relays the chosen channel's payload to a player process.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>

#include "defaults.h"
#include "inputs.h"
#include "join.h"
#include "list_phase.h"
#include "mono_clock.h"
#include "now_playing.h"
#include "options.h"
#include "output.h"
#include "player.h"
#include "proto.h"
#include "receive_socket.h"
#include "receiver.h"
#include "std_fds.h"
#include "stream.h"
#include "text_number.h"
#include "titles.h"
#include "tune.h"

namespace {

constexpr const char *DEFAULT_PLAYERCMD = " /usr/bin/mpg123 -   > /dev/null";
// The interface the group is joined on unless -I names one.
constexpr const char *MULTICAST_IFNAME = "enp0s3";

// The client's configuration: texts taken from the command line unconverted.
// -q goes to the receiver (rx) at once: only what follows start-up uses it.
struct client_conf_st {
    const char *receive_port;
    const char *multicast_group;
    const char *player_command;
    const char *interface;       // -I: name, index or address; null for MULTICAST_IFNAME
    const char *source;          // -S: the one sender to join for; null for any
    bool reuse_address = false;  // --reuse-address: ports shared with other sockets of the host
    bool tune = false;           // --tune: channels switched from the terminal
    bool repair = false;         // --repair: lost datagrams rebuilt from the repair port
    int now_playing_port = -1;   // --now-playing-port: 0 for none; -1 when not given
};

client_conf_st client_conf = {DEFAULT_PORT_TEXT, DEFAULT_MGROUP, DEFAULT_PLAYERCMD, nullptr,
                              nullptr};

// The client's lines, decided at start-up: see set_up_output.
output out;
// What the client receives with, set up here and handed to the list phase
// and the relay.
receiver rx;

// The options that have a long name only, by a number that is no letter.
enum long_only { OPT_REUSE_ADDRESS = 256, OPT_TUNE, OPT_NOW_PLAYING_PORT, OPT_REPAIR };

// New long names start with a letter that no other name starts with, so
// that every abbreviation that works keeps its meaning: p, m, h, i, s and q
// are taken; r, t and n are the long-only options'. --repair and
// --reuse-address share r: both are new in one release, so no prefix that
// a release took changes meaning ("--r" and "--re" name neither now).
const option LONG_OPTIONS[] = {
    LISTENER_LONG_OPTIONS,
    {"quiet", no_argument, nullptr, 'q'},
    {"reuse-address", no_argument, nullptr, OPT_REUSE_ADDRESS},
    {"tune", no_argument, nullptr, OPT_TUNE},
    {"now-playing-port", required_argument, nullptr, OPT_NOW_PLAYING_PORT},
    {"repair", no_argument, nullptr, OPT_REPAIR},
    {},
};

void print_help() {
    output_printf(&out, OUT_STDOUT, "-P --port   specify receive port\n");
    output_printf(&out, OUT_STDOUT, "-M --mgroup specify multicast group\n");
    output_printf(&out, OUT_STDOUT, "-p --player specify player \n");
    output_printf(&out, OUT_STDOUT, "-H --help   show help\n");
}

// Takes the option c that has a long name only; ends the process when its
// argument is no number of the option's range.
void long_only_option(int c, const char *arg) {
    long long port;
    switch (c) {
    case OPT_REUSE_ADDRESS:
        client_conf.reuse_address = true;
        return;
    case OPT_TUNE:
        client_conf.tune = true;
        return;
    case OPT_REPAIR:
        client_conf.repair = true;
        return;
    case OPT_NOW_PLAYING_PORT:
        if (!option_number(arg, 0, 65535, &port)) {
            fprintf(stderr, "%s\n",
                    option_number_complaint(arg, 0, 65535, "--now-playing-port").c_str());
            exit(1);
        }
        client_conf.now_playing_port = static_cast<int>(port);
        return;
    }
}

void parse_options(int argc, char **argv) {
    for (;;) {
        int c = getopt_long(argc, argv, "P:M:p:HI:S:q", LONG_OPTIONS, nullptr);
        if (c < 0) break;
        switch (c) {
        case 'P':
            client_conf.receive_port = optarg;
            break;
        case 'M':
            client_conf.multicast_group = optarg;
            break;
        case 'p':
            client_conf.player_command = optarg;
            break;
        case 'I':
            client_conf.interface = optarg;
            break;
        case 'S':
            client_conf.source = optarg;
            break;
        case 'q':
            rx.quiet = true;
            break;
        case OPT_REUSE_ADDRESS:
        case OPT_TUNE:
        case OPT_NOW_PLAYING_PORT:
        case OPT_REPAIR:
            long_only_option(c, optarg);
            break;
        case 'H':
            print_help();
            flush_output(&out);
            exit(0);
        default:  // getopt_long has said what was wrong
            exit(1);
        }
    }
}

// Joins the group as membership says. When -I names an interface by its
// name, a receive waits at most FOLLOW_CHECK_S, so that a link deleted and
// created again under that name is found (see receive_again); the relay's
// path gains nothing otherwise. Ends the process on failure.
void join_or_exit() {
    if (membership_join(rx.data) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    if (!rx.data.follow) return;
    timeval wait = {FOLLOW_CHECK_S, 0};
    if (setsockopt(rx.data.sd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
        perror("setsockopt()");
        exit(1);
    }
}

// The joined, bound socket; ends the process on failure.
int open_socket() {
    // A group that is no multicast address is not refused here: its join
    // fails with the report of setsockopt().
    join_plan plan =
        join_plan_here({client_conf.multicast_group, client_conf.source, client_conf.interface});
    if (!plan.refused.empty()) {
        fprintf(stderr, "%s\n", plan.refused.c_str());
        exit(1);
    }
    rx.data = plan.m;
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    rx.data.sd = sd;
    if (!client_conf.interface) rx.data.ifindex = if_nametoindex(MULTICAST_IFNAME);
    join_or_exit();
    int loop = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    const char *failed = nullptr;
    if (receive_bind(sd, port_from_text(client_conf.receive_port), client_conf.reuse_address,
                     &failed) < 0) {
        perror(failed);
        exit(1);
    }
    return sd;
}

// What one receive of the data phase takes: up to BATCH datagrams that were
// queued on the socket, each in a buffer of MSG_MAX_SIZE bytes.
constexpr unsigned BATCH = 16;

struct batch {
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    sockaddr_in from[BATCH];
    uint8_t *bufs;  // BATCH buffers one after the other
};

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

// Relays what the repair decoder handed out, in order, each datagram as if
// it came from the server now: the rules, the lines and the payload of a
// received one.
void relay_handed(const relay &rl, const repair_datagrams &handed) {
    payload_run run;
    run.count = 0;
    for (const auto &d : handed) {
        data_verdict v = data_decide(rl.server, rl.server, d.data(), d.size(), rl.choice);
        if (v == DATA_ACCEPT && run.count == BATCH) write_run(rl, &run);
        if (v == DATA_ACCEPT) {
            run_add(&run, d.data(), d.size(), &rl.server);
            continue;
        }
        write_run(rl, &run);
        print_dropped(*rl.r, rl.server, v, rl.server);
    }
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
        if (v == DATA_ACCEPT && repair->decoding) {
            repair_relay_data(repair, buf, len, now, &handed);
            continue;
        }
        if (v == DATA_ACCEPT) {
            run_add(&run, buf, len, &rl->b.from[i]);
            continue;
        }
        write_run(*rl, &run);
        print_dropped(*rl->r, rl->b.from[i], v, rl->server);
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

// Takes what the socket has queued, at least one datagram (it blocks only
// for the first); every line so far is handed out before that. Returns the
// number of datagrams, or -1 after reporting a failed receive.
int receive_batch(receiver *r, batch *b) {
    for (unsigned i = 0; i < BATCH; i++) b->msgs[i].msg_hdr.msg_namelen = sizeof b->from[i];
    flush_output(r->out);
    int n;
    do {
        n = recvmmsg(r->data.sd, b->msgs, BATCH, MSG_WAITFORONE, nullptr);
    } while (receive_again(r, n));
    if (n < 0) output_report(r->out, "recvfrom()");
    return n;
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

// Takes what socket sd has queued, which a poll said is something.
// Returns the number of datagrams (0 when there was none after all), or -1
// after reporting a failed receive.
int receive_ready(receiver *r, int sd, batch *b) {
    for (unsigned i = 0; i < BATCH; i++) b->msgs[i].msg_hdr.msg_namelen = sizeof b->from[i];
    int n;
    do {
        n = recvmmsg(sd, b->msgs, BATCH, MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n < 0) output_report(r->out, "recvfrom()");
    return n;
}

// Acts on what the inputs beside the data socket have: lines typed on the
// terminal, now-playing datagrams. A terminal that gives nothing more is
// no longer watched.
void take_beside(receiver *r, const sockaddr_in &server) {
    if (inputs_ready(r->watched, INPUT_TERMINAL) &&
        tune_read(&r->tune, 0, r->out, r->show_visible) < 0)
        inputs_watch(&r->watched, INPUT_TERMINAL, -1);
    if (!inputs_ready(r->watched, INPUT_NOW_PLAYING)) return;
    if (titles_receive(&r->heard, r->watched.fds[INPUT_NOW_PLAYING].fd, server, r->err_visible,
                       r->out) < 0)
        output_report(r->out, "recvfrom()");
}

// Batches taken from the data socket at most before the repair socket's
// datagrams: a flood of data cannot keep the client from its repair.
constexpr int DRAIN_ROUNDS = 8;

// Relays what the data socket has queued, which a poll said is something:
// one batch, or with drain up to DRAIN_ROUNDS, until it has no more. False
// after a failed receive.
bool take_data(relay *rl, bool drain) {
    for (int round = 0; round < (drain ? DRAIN_ROUNDS : 1); round++) {
        int got = receive_ready(rl->r, rl->r->data.sd, &rl->b);
        if (got < 0) return false;
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
    int got = receive_ready(rl->r, repair->membership.sd, &rl->b);
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
// an interface's name is followed, and with --repair no longer than until
// the decoder hands out by time. *follow_check: the first is the limit.
int poll_wait_ms(const receiver &r, bool *follow_check) {
    int follow = r.data.follow ? FOLLOW_CHECK_S * 1000 : -1;
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
        if (n == 0 && follow_check) follow_interface(r);
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

[[noreturn]] void data_phase(receiver *r, int pd, const sockaddr_in &server, long long choice) {
    static relay rl = {r, pd, server, choice, {}};
    set_up_batch(&rl.b);
    follow(&rl, choice);
    if (inputs_beside_data(r->watched)) relay_polled(&rl);
    int failures = 0;
    for (;;) {
        int n = receive_batch(r, &rl.b);
        if (n < 0) {
            pause_after_failure(r->out, &failures);
            continue;
        }
        failures = 0;
        relay_batch(&rl, 0, static_cast<unsigned>(n));
    }
}

// The now-playing port the options ask for: --now-playing-port's, else
// with --tune at work the port above the radio's; 0 for none.
int now_playing_port_wanted() {
    if (client_conf.now_playing_port >= 0) return client_conf.now_playing_port;
    return rx.tuned ? now_playing_port(port_from_text(client_conf.receive_port)) : 0;
}

// With --repair: the repair socket, joined as the data socket is and
// watched beside it, and the counts said however the client ends from
// here on. Ends the client when the socket cannot be had.
void watch_repair() {
    if (!client_conf.repair) return;
    int data_port = port_from_text(client_conf.receive_port);
    int port = repair_port(data_port);
    if (port == 0) {
        output_printf(&out, OUT_STDERR, "no repair port above port %d\n", data_port);
        end_client(&out);
    }
    const char *failed = nullptr;
    int rd = repair_relay_open(&rx.repair, rx.data, static_cast<uint16_t>(port),
                               client_conf.reuse_address, &failed);
    if (rd < 0) {
        std::string what = "no repair from port " + std::to_string(port) + ": " + failed;
        output_report(&out, what.c_str());
        end_client(&out);
    }
    inputs_watch(&rx.watched, INPUT_REPAIR, rd);
    player_last_word(repair_relay_say_counts);
}

// Sets up what the data phase watches beside the data socket sd, as the
// options ask: the repair socket (--repair), the terminal (--tune, when
// standard input is one; else --tune changes nothing) and the now-playing
// socket, joined as sd is. A now-playing socket that cannot be had costs
// one line, and the client goes on without it.
void watch_beside(int sd) {
    inputs_init(&rx.watched, sd);
    watch_repair();
    rx.tuned = client_conf.tune && isatty(0) == 1;
    if (rx.tuned) inputs_watch(&rx.watched, INPUT_TERMINAL, 0);
    int port = now_playing_port_wanted();
    if (port == 0) return;
    rx.now_playing = rx.data;
    const char *failed = nullptr;
    int np = receive_socket_open(&rx.now_playing, static_cast<uint16_t>(port),
                                 client_conf.reuse_address, &failed);
    if (np < 0) {
        int err = errno;
        std::string what = "no now-playing lines from port " + std::to_string(port) + ": " + failed;
        errno = err;
        output_report(&out, what.c_str());
        return;
    }
    inputs_watch(&rx.watched, INPUT_NOW_PLAYING, np);
}

// Decides, once, how the lines reach standard output and standard error.
void set_up_output() {
    bool out_tty = isatty(1) == 1;
    bool err_tty = isatty(2) == 1;
    output_init(&out, 1, 2, output_plan_for(same_open_file(1, 2) == 1, out_tty, err_tty));
    rx.out = &out;
    rx.show_visible = out_tty;
    rx.err_visible = err_tty;
}

}  // namespace

int main(int argc, char **argv) {
    if (open_missing_std_fds() < 0) exit(1);
    set_up_output();
    // A gone player shows as a failed write, not as a fatal signal; so does
    // a gone reader of the client's output.
    signal(SIGPIPE, SIG_IGN);
    parse_options(argc, argv);
    int sd = open_socket();
    player_catch_ending_signals();
    flush_output(&out);  // nothing buffered may be written twice
    int pd = player_start(client_conf.player_command, sd);
    if (pd < 0) exit(1);
    watch_beside(sd);
    sockaddr_in server = list_phase(&rx);
    long long choice = read_choice_or_exit(rx);
    data_phase(&rx, pd, server, choice);
}
