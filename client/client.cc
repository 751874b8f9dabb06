// client.cc - the stream client: joins the multicast group, shows the
// channel list, and relays the chosen channel's payload to a player process.
#include <arpa/inet.h>
#include <errno.h>
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "join.h"
#include "proto.h"
#include "stream.h"
#include "text_number.h"

namespace {

constexpr const char *DEFAULT_RCVPORT = "1989";
constexpr const char *DEFAULT_MGROUP = "224.2.2.2";
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
};

client_conf_st client_conf = {DEFAULT_RCVPORT, DEFAULT_MGROUP, DEFAULT_PLAYERCMD, nullptr, nullptr};

const option LONG_OPTIONS[] = {
    {"port", required_argument, nullptr, 'P'},
    {"mgroup", required_argument, nullptr, 'M'},
    {"help", no_argument, nullptr, 'H'},
    // New names must not start with p, m or h: "--p", "--m" and "--h" abbreviate the above.
    {"interface", required_argument, nullptr, 'I'},
    {"source", required_argument, nullptr, 'S'},
    {nullptr, 0, nullptr, 0},
};

void print_help() {
    printf("-P --port   specify receive port\n");
    printf("-M --mgroup specify multicast group\n");
    printf("-p --player specify player \n");
    printf("-H --help   show help\n");
}

// Both streams are fully buffered; this hands what they hold to their
// readers. Output that cannot be delivered ends the client.
void flush_output() {
    // ferror also catches a write stdio made by itself when a buffer filled.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("fflush()");
        exit(1);
    }
    if (fflush(stderr) != 0 || ferror(stderr)) exit(1);
}

// Writes exactly len bytes of buf to fd. 0 when all were written; -1 after
// reporting the failure.
int writen(int fd, const void *buf, size_t len) {
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    size_t left = len;
    while (left > 0) {
        ssize_t n = write(fd, p + done, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            perror("write()");
            return -1;
        }
        done += static_cast<size_t>(n);
        left -= static_cast<size_t>(n);
    }
    return 0;
}

void parse_options(int argc, char **argv) {
    for (;;) {
        int c = getopt_long(argc, argv, "P:M:p:HI:S:", LONG_OPTIONS, nullptr);
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
        case 'H':
            print_help();
            flush_output();
            exit(0);
        default:  // getopt_long has said what was wrong
            exit(1);
        }
    }
}

// The index of the interface -I names; ends the process when none has
// that name, index or address.
unsigned interface_or_exit(const char *text) {
    unsigned index = 0;
    int found = join_find_interface(text, &index);
    if (found < 0) {
        perror("getifaddrs()");
        exit(1);
    }
    if (found == 0) {
        fprintf(stderr, "unknown interface \"%s\": no interface has this name, index or address\n",
                text);
        exit(1);
    }
    return index;
}

// The joined, bound socket; ends the process on failure.
int open_socket() {
    in_addr group;
    if (inet_pton(AF_INET, client_conf.multicast_group, &group) != 1) {
        fprintf(stderr, "invalid multicast group \"%s\": not an IPv4 address\n",
                client_conf.multicast_group);
        exit(1);
    }
    in_addr source;
    if (client_conf.source && inet_pton(AF_INET, client_conf.source, &source) != 1) {
        fprintf(stderr, "invalid source \"%s\": not an IPv4 address\n", client_conf.source);
        exit(1);
    }
    unsigned ifindex = client_conf.interface ? interface_or_exit(client_conf.interface) : 0;
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        perror("socket()");
        exit(1);
    }
    if (!client_conf.interface) ifindex = if_nametoindex(MULTICAST_IFNAME);
    if (join_group(sd, group, client_conf.source ? &source : nullptr, ifindex) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    int loop = 1;
    if (setsockopt(sd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        perror("setsockopt()");
        exit(1);
    }
    sockaddr_in laddr;
    memset(&laddr, 0, sizeof laddr);
    laddr.sin_family = AF_INET;
    inet_pton(AF_INET, "0.0.0.0", &laddr.sin_addr);
    laddr.sin_port = htons(port_from_text(client_conf.receive_port));
    if (bind(sd, reinterpret_cast<sockaddr *>(&laddr), sizeof laddr) < 0) {
        perror("bind()");
        exit(1);
    }
    return sd;
}

// Starts the player on the read end of a new pipe; returns the write end,
// the only end the client keeps.
int start_player(int sd) {
    int pd[2];
    if (pipe(pd) < 0) {
        perror("pipe()");
        exit(1);
    }
    flush_output();  // nothing buffered may be written twice
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork()");
        exit(1);
    }
    if (pid == 0) {
        close(sd);
        close(pd[1]);
        dup2(pd[0], 0);
        if (pd[0] > 0) close(pd[0]);
        signal(SIGPIPE, SIG_DFL);
        execl("/bin/sh", "sh", "-c", client_conf.player_command, static_cast<char *>(nullptr));
        perror("execl()");
        exit(1);
    }
    close(pd[0]);
    return pd[1];
}

// A blocking receive that returns sooner than this found its datagram
// already queued (a wait for one that is not yet there costs a sleep and a
// wake-up, well over this).
constexpr long QUEUED_WAIT_NS = 20000;

// Whether datagrams are queuing up: the last blocking receive found one
// waiting. Then the next receive first asks the socket without blocking, so
// lines are gathered while datagrams wait and written once the queue has
// run dry. While the client mostly waits, that probe would only fail, so it
// flushes and waits at once.
bool datagrams_queued = true;

long elapsed_ns(const timespec &from, const timespec &to) {
    return (to.tv_sec - from.tv_sec) * 1000000000L + (to.tv_nsec - from.tv_nsec);
}

// Receives one datagram into buf and its source into *from. Both output
// streams are flushed before any receive that may block, so nothing printed
// is held back while the client waits. Returns the size, or -1 after
// reporting a failed receive.
ssize_t receive(int sd, uint8_t *buf, sockaddr_in *from) {
    auto *src = reinterpret_cast<sockaddr *>(from);
    socklen_t alen = sizeof *from;
    ssize_t n;
    if (datagrams_queued) {
        n = recvfrom(sd, buf, MSG_MAX_SIZE, MSG_DONTWAIT, src, &alen);
        if (n >= 0) return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            perror("recvfrom()");
            return -1;
        }
    }
    flush_output();
    timespec before, after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    alen = sizeof *from;
    n = recvfrom(sd, buf, MSG_MAX_SIZE, 0, src, &alen);
    clock_gettime(CLOCK_MONOTONIC, &after);
    datagrams_queued = elapsed_ns(before, after) < QUEUED_WAIT_NS;
    if (n < 0) perror("recvfrom()");
    return n;
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
    for (;;) {
        sockaddr_in from;
        len = receive(sd, buf, &from);
        if (len < 0) continue;
        server = from;
        fprintf(stderr, "server_addr:%d\n", addr_as_int(server));
        list_kind kind = list_classify(buf, static_cast<size_t>(len));
        if (kind == LIST_ACCEPTED) break;
        if (kind == LIST_TOO_SHORT) {
            fprintf(stderr, "massage is too short.\n");
            continue;
        }
        fprintf(stderr, "current chnid:%d.\n", buf[0]);
        fprintf(stderr, "chnid is not match.\n");
    }
    list_print(buf, static_cast<size_t>(len), stdout);
    free(buf);
    return server;
}

long long read_choice_or_exit() {
    flush_output();  // the list must be seen before the choice is read
    long long choice;
    if (!read_choice(stdin, &choice)) exit(1);
    return choice;
}

[[noreturn]] void data_phase(int sd, int pd, const sockaddr_in &server, long long choice) {
    uint8_t *buf = static_cast<uint8_t *>(malloc(MSG_MAX_SIZE));
    if (!buf) {
        perror("malloc");
        exit(1);
    }
    for (;;) {
        sockaddr_in raddr;
        ssize_t n = receive(sd, buf, &raddr);
        if (n < 0) continue;
        size_t len = static_cast<size_t>(n);
        fprintf(stderr, "raddr:%d\n", addr_as_int(raddr));
        switch (data_decide(server, raddr, buf, len, choice)) {
        case DATA_ADDR_MISMATCH: {
            char rtext[30];
            char stext[30];
            inet_ntop(AF_INET, &raddr.sin_addr, rtext, sizeof rtext);
            inet_ntop(AF_INET, &server.sin_addr, stext, sizeof stext);
            fprintf(stderr, "Ignore:addr not match. raddr:%s server_addr:%s.\n", rtext, stext);
            break;
        }
        case DATA_PORT_MISMATCH:
            fprintf(stderr, "Ignore:port not match.\n");
            break;
        case DATA_TOO_SHORT:
            fprintf(stderr, "Ignore:massage too short.\n");
            break;
        case DATA_OTHER_CHANNEL:
            break;
        case DATA_ACCEPT:
            printf("Accept massage:%d recived.\n", buf[0]);
            if (writen(pd, buf + offsetof(channel_data_message, payload),
                       len - offsetof(channel_data_message, payload)) < 0)
                exit(1);
            break;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    // Lines are written in batches; receive() flushes before any wait.
    setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
    setvbuf(stderr, nullptr, _IOFBF, BUFSIZ);
    // A gone player shows as a failed write, not as a fatal signal.
    signal(SIGPIPE, SIG_IGN);
    parse_options(argc, argv);
    int sd = open_socket();
    int pd = start_player(sd);
    sockaddr_in server = list_phase(sd);
    long long choice = read_choice_or_exit();
    data_phase(sd, pd, server, choice);
}
