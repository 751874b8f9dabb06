// plain_client.cc - the client's relay as the plain design writes it, for
// the relay benchmark to measure the client against: standard output line
// buffered, standard error unbuffered, one recvfrom per datagram, one write
// per payload. Same options (-P, -M, -p), same lines, same rules, through
// the same client_core functions; none of the client's start-up guards.
//
// It joins a multicast group: run it only inside a private network namespace
// (relay_bench does that for it).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "defaults.h"
#include "proto.h"
#include "stream.h"
#include "text_number.h"

namespace {

int writen(int fd, const uint8_t *buf, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            perror("write()");
            return -1;
        }
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int open_socket(const char *port, const char *group) {
    int sd = socket(AF_INET, SOCK_DGRAM, 0);
    ip_mreqn mreq{};
    sockaddr_in laddr{};
    laddr.sin_family = AF_INET;
    laddr.sin_port = htons(port_from_text(port));
    if (sd < 0 || inet_pton(AF_INET, group, &mreq.imr_multiaddr) != 1 ||
        setsockopt(sd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0 ||
        bind(sd, reinterpret_cast<sockaddr *>(&laddr), sizeof laddr) < 0) {
        perror("plain_client: socket");
        exit(1);
    }
    return sd;
}

int start_player(const char *command) {
    int pd[2];
    if (pipe(pd) < 0) exit(1);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) exit(1);
    if (pid == 0) {
        dup2(pd[0], 0);
        close(pd[0]);
        close(pd[1]);
        execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
        _exit(1);
    }
    close(pd[0]);
    return pd[1];
}

}  // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    signal(SIGPIPE, SIG_IGN);
    const char *port = DEFAULT_PORT_TEXT, *group = DEFAULT_MGROUP, *player = "cat > /dev/null";
    for (int c; (c = getopt(argc, argv, "P:M:p:")) != -1;) {
        if (c == 'P') port = optarg;
        if (c == 'M') group = optarg;
        if (c == 'p') player = optarg;
        if (c == '?') return 1;
    }
    int sd = open_socket(port, group);
    int pd = start_player(player);
    static uint8_t buf[MSG_MAX_SIZE];
    sockaddr_in server;
    ssize_t len;
    for (;;) {
        socklen_t alen = sizeof server;
        len = recvfrom(sd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&server), &alen);
        if (len < 0) continue;
        fprintf(stderr, "server_addr:%d\n", addr_as_int(server));
        if (list_classify(buf, static_cast<size_t>(len)) == LIST_ACCEPTED) break;
    }
    std::string list;
    list_text(buf, static_cast<size_t>(len), false, &list);
    fputs(list.c_str(), stdout);
    fflush(stdout);
    long long choice;
    if (!read_choice(stdin, &choice)) return 1;
    for (;;) {
        sockaddr_in raddr;
        socklen_t alen = sizeof raddr;
        len = recvfrom(sd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&raddr), &alen);
        if (len < 0) {
            perror("recvfrom()");
            continue;
        }
        size_t n = static_cast<size_t>(len);
        fprintf(stderr, "raddr:%d\n", addr_as_int(raddr));
        switch (data_decide(server, raddr, buf, n, choice)) {
        case DATA_ADDR_MISMATCH: {
            char rtext[30], stext[30];
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
            if (writen(pd, buf + 1, n - 1) < 0) return 1;
            break;
        }
    }
}
