// receive_socket.h - the client's sockets beside the data socket (the
// now-playing socket): joined to the group as the data socket is and bound
// to a port of their own; and the bind that every one of the client's
// sockets goes through.
#pragma once

#include <stdint.h>

#include "join.h"

// Binds sd to port on every address. With reuse (--reuse-address) the
// address is made reusable first, so that other sockets that do the same,
// a gateway's or another client's, can share the port on this host.
// Returns 0, or -1 with errno set and *failed naming the call that failed
// ("setsockopt()", "bind()").
int receive_bind(int sd, uint16_t port, bool reuse, const char **failed);

// A new socket in m->sd, joined to the group as m says and bound to port
// as receive_bind does. Returns the socket, or -1 with errno set, *failed
// naming the call that failed and m->sd -1 (any socket closed).
int receive_socket_open(join_membership *m, uint16_t port, bool reuse, const char **failed);
