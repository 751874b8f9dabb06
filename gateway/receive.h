// receive.h - the multicast side: the radio's port, the now-playing port
// and, with --repair, the repair port, joined as the client joins, drained
// whole at each readable event into the channel table, the histories and
// the listeners; with --repair through each channel's repair decoder.
#pragma once

#include "state.h"

// Opens, joins and binds the sockets and puts them on g->base ahead of
// the HTTP side. Reports and returns -1 on failure.
int receive_start(gateway *g);

// Follows a named interface that came back with a new index (call every
// second or two).
void receive_follow(gateway *g);

// Closes the sockets and frees what the receive holds (at shutdown).
void receive_stop(gateway *g);
