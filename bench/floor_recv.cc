// floor_recv.cc - the least a relay can do: receive a datagram, write its
// payload. The floor that the relay benchmark measures the client against.
//
// floor_recv GROUP PORT [CHNID]
// Joins GROUP, binds PORT, and writes the payload (bytes after the first) of
// every datagram whose first byte is CHNID (default 1) to standard output.
// It joins a multicast group: run it only inside a private network namespace
// (relay_bench does that for it).
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "proto.h"
#include "write_all.h"

namespace {

constexpr size_t BUF_SIZE = MSG_MAX_SIZE;

int open_member_socket(const char *group, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket()");
        return -1;
    }
    ip_mreqn mreq{};
    if (inet_pton(AF_INET, group, &mreq.imr_multiaddr) != 1) {
        fprintf(stderr, "floor_recv: bad group %s\n", group);
        close(fd);
        return -1;
    }
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
        perror("setsockopt()");
        close(fd);
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind()");
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "Usage: floor_recv GROUP PORT [CHNID]\n");
        return 1;
    }
    int chnid = argc > 3 ? atoi(argv[3]) : 1;
    int fd = open_member_socket(argv[1], atoi(argv[2]));
    if (fd < 0) return 1;
    static char buf[BUF_SIZE];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 2 || static_cast<unsigned char>(buf[0]) != chnid) continue;
        if (write_all(1, buf + 1, static_cast<size_t>(n - 1)) < 0) {
            perror("write()");
            return 1;
        }
    }
}
