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
#include "join.h"
#include "options.h"
#include "output.h"
#include "player.h"
#include "proto.h"
#include "receive_socket.h"
#include "retry_wait.h"
#include "std_fds.h"
#include "stream.h"
#include "text_number.h"

namespace {

constexpr const char *DEFAULT_PLAYERCMD = " /usr/bin/mpg123 -   > /dev/null";
// The interface the group is joined on unless -I names one.
constexpr const char *MULTICAST_IFNAME = "enp0s3";

// The client's configuration: texts taken from the command line unconverted.
struct client_conf_st {
    const char *receive_port;
    const char *multicast_group;
    const char *player_command;
    const char *interface;  // -I: name, index or address; null for MULTICAST_IFNAME
    const char *source;     // -S: the one sender to join for; null for any
    bool quiet = false;     // -q: no line per datagram
    bool reuse_address = false;  // --reuse-address: ports shared with other sockets of the host
};

client_conf_st client_conf = {DEFAULT_PORT_TEXT, DEFAULT_MGROUP, DEFAULT_PLAYERCMD, nullptr,
                              nullptr};

// The socket's membership of the group, which follows -I's interface when
// -I names it by its name.
join_membership membership;
// How long a receive waits, when an interface name is followed, before the
// name is looked up again: a link that comes back is joined again within
// about this time.
constexpr int FOLLOW_CHECK_S = 1;

// The client's lines, decided at start-up: see set_up_output.
output out;
// Descriptions are shown with their control characters made visible:
// standard output is a terminal.
bool show_visible = false;
// Failures in a row are counted up to here; the wait stops growing long before.
constexpr int RETRY_FAILURES_CAP = 64;

// The options that have a long name only, by a number that is no letter.
enum long_only { OPT_REUSE_ADDRESS = 256 };

// New long names start with a letter that no other name starts with, so
// that every abbreviation that works keeps its meaning: p, m, h, i, s and q
// are taken, r is --reuse-address's.
const option LONG_OPTIONS[] = {
    LISTENER_LONG_OPTIONS,
    {"quiet", no_argument, nullptr, 'q'},
    {"reuse-address", no_argument, nullptr, OPT_REUSE_ADDRESS},
    {},
};

void print_help() {
    output_printf(&out, OUT_STDOUT, "-P --port   specify receive port\n");
    output_printf(&out, OUT_STDOUT, "-M --mgroup specify multicast group\n");
    output_printf(&out, OUT_STDOUT, "-p --player specify player \n");
    output_printf(&out, OUT_STDOUT, "-H --help   show help\n");
}

// Hands every line printed so far to its readers. Standard output that
// cannot be written ends the client; diagnostics that cannot be written are
// dropped.
void flush_output() {
    if (output_flush(&out) == 0) return;
    perror("fflush()");
    exit(1);
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
            client_conf.quiet = true;
            break;
        case OPT_REUSE_ADDRESS:
            client_conf.reuse_address = true;
            break;
        case 'H':
            print_help();
            flush_output();
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
    if (membership_join(membership) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    if (!membership.follow) return;
    timeval wait = {FOLLOW_CHECK_S, 0};
    if (setsockopt(membership.sd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) < 0) {
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
    membership = plan.m;
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    membership.sd = sd;
    if (!client_conf.interface) membership.ifindex = if_nametoindex(MULTICAST_IFNAME);
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

// Counts one more failed receive in a row and waits as the wait rule says
// before the next try, with nothing held.
void pause_after_failure(int *failures) {
    if (*failures < RETRY_FAILURES_CAP) ++*failures;
    int ms = retry_wait_ms(*failures);
    if (ms == 0) return;
    flush_output();
    poll(nullptr, 0, ms);
}

// Looks the followed interface's name up again, and joins the group again
// when its link has come back under another index.
void follow_interface() {
    int joined = membership_follow(&membership);
    if (joined < 0) output_report(&out, "setsockopt()");
    if (joined > 0)
        output_printf(&out, OUT_STDERR, "joined the group again on %s\n", membership.follow);
}

// Whether a receive that returned n is tried again at once: after an
// interruption, and after a receive timeout, which only a followed
// interface sets (see join_or_exit), once the name has been looked up again.
bool receive_again(ssize_t n) {
    if (n >= 0) return false;
    if (errno == EINTR) return true;
    if (!membership.follow || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    follow_interface();
    flush_output();
    return true;
}

// Receives one datagram of the list phase into buf and its source into
// *from, after handing out every line so far. Returns the size, or -1 after
// reporting a failed receive.
ssize_t receive_one(int sd, uint8_t *buf, sockaddr_in *from) {
    flush_output();
    socklen_t alen;
    ssize_t n;
    do {
        alen = sizeof *from;
        n = recvfrom(sd, buf, MSG_MAX_SIZE, 0, reinterpret_cast<sockaddr *>(from), &alen);
    } while (receive_again(n));
    if (n < 0) output_report(&out, "recvfrom()");
    return n;
}

void print_list(const uint8_t *buf, size_t len) {
    std::string text;
    list_text(buf, len, show_visible, &text);
    output_add(&out, OUT_STDOUT, text.data(), text.size());
}

// The lines of one datagram of the list phase, unless -q: its source, and
// why it is not the list.
void print_list_datagram(const sockaddr_in &from, list_kind kind, const uint8_t *buf) {
    if (client_conf.quiet) return;
    output_printf(&out, OUT_STDERR, "server_addr:%d\n", addr_as_int(from));
    if (kind == LIST_TOO_SHORT) output_printf(&out, OUT_STDERR, "massage is too short.\n");
    if (kind != LIST_NOT_LIST) return;
    output_printf(&out, OUT_STDERR, "current chnid:%d.\n", buf[0]);
    output_printf(&out, OUT_STDERR, "chnid is not match.\n");
}

// Waits for the channel list, prints it and returns the server's address.
sockaddr_in list_phase(int sd) {
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
        len = receive_one(sd, buf, &from);
        if (len < 0) {
            pause_after_failure(&failures);
            continue;
        }
        failures = 0;
        server = from;
        list_kind kind = list_classify(buf, static_cast<size_t>(len));
        print_list_datagram(from, kind, buf);
        if (kind == LIST_ACCEPTED) break;
    }
    print_list(buf, static_cast<size_t>(len));
    free(buf);
    return server;
}

long long read_choice_or_exit() {
    flush_output();  // the list must be seen before the choice is read
    long long choice;
    if (!read_choice(stdin, &choice)) exit(1);
    return choice;
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

// The accepted datagrams of a batch that follow one another: their payloads
// go to the player in one write.
struct payload_run {
    unsigned index[BATCH];  // datagrams of the batch
    iovec iov[BATCH];       // their payloads
    unsigned count;
};

void print_raddr(const sockaddr_in &from) {
    output_printf(&out, OUT_STDERR, "raddr:%d\n", addr_as_int(from));
}

// The lines of a relayed datagram, unless -q.
void print_accepted(const batch &b, unsigned i) {
    if (client_conf.quiet) return;
    print_raddr(b.from[i]);
    output_printf(&out, OUT_STDOUT, "Accept massage:%d recived.\n", b.bufs[i * MSG_MAX_SIZE]);
}

// The lines of a datagram that is not relayed, unless -q.
void print_dropped(const batch &b, unsigned i, data_verdict v, const sockaddr_in &server) {
    if (client_conf.quiet) return;
    print_raddr(b.from[i]);
    switch (v) {
    case DATA_ADDR_MISMATCH: {
        char rtext[30];
        char stext[30];
        inet_ntop(AF_INET, &b.from[i].sin_addr, rtext, sizeof rtext);
        inet_ntop(AF_INET, &server.sin_addr, stext, sizeof stext);
        output_printf(&out, OUT_STDERR, "Ignore:addr not match. raddr:%s server_addr:%s.\n", rtext,
                      stext);
        break;
    }
    case DATA_PORT_MISMATCH:
        output_printf(&out, OUT_STDERR, "Ignore:port not match.\n");
        break;
    case DATA_TOO_SHORT:
        output_printf(&out, OUT_STDERR, "Ignore:massage too short.\n");
        break;
    case DATA_OTHER_CHANNEL:
    case DATA_ACCEPT:
        break;
    }
}

// Hands out every line so far and ends the client with status 1, the
// player with it (player_start has its stop run at exit).
[[noreturn]] void end_client() {
    output_flush(&out);
    exit(1);
}

// Waits until the pipe has room, or has lost its reader (the next write
// then fails); ends the client when nobody reads the pipe any more.
void wait_for_room(int pd) {
    switch (player_wait_for_room(pd)) {
    case PLAYER_ROOM:
        return;
    case PLAYER_PIPE_HELD:
        output_printf(&out, OUT_STDERR, "player ended; its pipe is held open but not read\n");
        break;
    case PLAYER_POLL_FAILED:
        output_report(&out, "poll()");
        break;
    }
    end_client();
}

// Writes the run's payloads to the player, in as few writes as the pipe
// allows, and prints each datagram's lines once its payload is wholly in the
// pipe. On a full pipe every line so far is handed out before the client
// waits for room. A failed write ends the client as it would with one
// datagram at a time: the lines of the datagram whose payload failed, the
// report, status 1.
void write_run(int pd, const batch &b, payload_run *run) {
    unsigned first = 0;  // the first payload not yet wholly written
    while (first < run->count) {
        ssize_t n = writev(pd, run->iov + first, static_cast<int>(run->count - first));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            flush_output();
            wait_for_room(pd);
            continue;
        }
        if (n < 0) {
            int err = errno;
            print_accepted(b, run->index[first]);
            errno = err;
            output_report(&out, "write()");
            end_client();
        }
        size_t left = static_cast<size_t>(n);
        while (first < run->count && left >= run->iov[first].iov_len) {
            left -= run->iov[first].iov_len;
            print_accepted(b, run->index[first]);
            first++;
        }
        if (left > 0) {
            run->iov[first].iov_base = static_cast<uint8_t *>(run->iov[first].iov_base) + left;
            run->iov[first].iov_len -= left;
        }
    }
    run->count = 0;
}

// Applies the rules to each datagram of the batch in order, prints its
// lines and relays the accepted payloads.
void relay_batch(int pd, batch *b, unsigned count, const sockaddr_in &server, long long choice) {
    payload_run run;
    run.count = 0;
    for (unsigned i = 0; i < count; i++) {
        const uint8_t *buf = b->bufs + i * MSG_MAX_SIZE;
        size_t len = b->msgs[i].msg_len;
        data_verdict v = data_decide(server, b->from[i], buf, len, choice);
        if (v == DATA_ACCEPT) {
            run.index[run.count] = i;
            run.iov[run.count].iov_base =
                const_cast<uint8_t *>(buf) + offsetof(channel_data_message, payload);
            run.iov[run.count].iov_len = len - offsetof(channel_data_message, payload);
            run.count++;
            continue;
        }
        write_run(pd, *b, &run);
        print_dropped(*b, i, v, server);
    }
    write_run(pd, *b, &run);
}

// Takes what the socket has queued, at least one datagram (it blocks only
// for the first); every line so far is handed out before that. Returns the
// number of datagrams, or -1 after reporting a failed receive.
int receive_batch(int sd, batch *b) {
    for (unsigned i = 0; i < BATCH; i++) b->msgs[i].msg_hdr.msg_namelen = sizeof b->from[i];
    flush_output();
    int n;
    do {
        n = recvmmsg(sd, b->msgs, BATCH, MSG_WAITFORONE, nullptr);
    } while (receive_again(n));
    if (n < 0) output_report(&out, "recvfrom()");
    return n;
}

[[noreturn]] void data_phase(int sd, int pd, const sockaddr_in &server, long long choice) {
    static batch b;
    b.bufs = static_cast<uint8_t *>(malloc(BATCH * MSG_MAX_SIZE));
    if (!b.bufs) {
        perror("malloc");
        exit(1);
    }
    // Touched once now, so the client's memory stays the same from here on
    // rather than growing the first time a burst fills the buffers.
    memset(b.bufs, 0, BATCH * MSG_MAX_SIZE);
    for (unsigned i = 0; i < BATCH; i++) {
        b.iov[i] = {b.bufs + i * MSG_MAX_SIZE, MSG_MAX_SIZE};
        memset(&b.msgs[i].msg_hdr, 0, sizeof b.msgs[i].msg_hdr);
        b.msgs[i].msg_hdr.msg_iov = &b.iov[i];
        b.msgs[i].msg_hdr.msg_iovlen = 1;
        b.msgs[i].msg_hdr.msg_name = &b.from[i];
    }
    int failures = 0;
    for (;;) {
        int n = receive_batch(sd, &b);
        if (n < 0) {
            pause_after_failure(&failures);
            continue;
        }
        failures = 0;
        relay_batch(pd, &b, static_cast<unsigned>(n), server, choice);
    }
}

// Decides, once, how the lines reach standard output and standard error.
void set_up_output() {
    bool out_tty = isatty(1) == 1;
    output_init(&out, 1, 2, output_plan_for(same_open_file(1, 2) == 1, out_tty, isatty(2) == 1));
    show_visible = out_tty;
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
    flush_output();  // nothing buffered may be written twice
    int pd = player_start(client_conf.player_command, sd);
    if (pd < 0) exit(1);
    sockaddr_in server = list_phase(sd);
    long long choice = read_choice_or_exit();
    data_phase(sd, pd, server, choice);
}
