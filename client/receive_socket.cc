// receive_socket.cc - binding the client's sockets, and opening those
// beside the data socket.
#include "receive_socket.h"

#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int receive_bind(int sd, uint16_t port, bool reuse, const char **failed) {
    int one = 1;
    if (reuse && setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        *failed = "setsockopt()";
        return -1;
    }
    sockaddr_in here;
    memset(&here, 0, sizeof here);
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_ANY);
    here.sin_port = htons(port);
    if (bind(sd, reinterpret_cast<sockaddr *>(&here), sizeof here) < 0) {
        *failed = "bind()";
        return -1;
    }
    return 0;
}

int receive_socket_open(join_membership *m, uint16_t port, bool reuse, const char **failed) {
    int sd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    m->sd = sd;
    if (sd < 0) {
        *failed = "socket()";
        return -1;
    }
    // Only the group joined here, not every group that some socket of this
    // host joined with a sender to this port.
    int zero = 0;
    setsockopt(sd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
    if (membership_join(*m) < 0)
        *failed = "setsockopt()";
    else if (receive_bind(sd, port, reuse, failed) == 0)
        return sd;
    int err = errno;
    close(sd);
    m->sd = -1;
    errno = err;
    return -1;
}
