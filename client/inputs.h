// inputs.h - what the client's data phase waits on when options ask for
// more than the data socket: one poll over the data socket and the
// descriptors beside it. Without such options the data phase blocks in its
// receive as it always has, and none of this is used.
#pragma once

#include <poll.h>

enum input_id {
    INPUT_DATA,         // the radio's socket
    INPUT_NOW_PLAYING,  // the now-playing socket (--now-playing-port, --tune)
    INPUT_TERMINAL,     // standard input, a terminal (--tune)
    INPUT_REPAIR,       // the repair socket (--repair)
    INPUT_COUNT,
};

// One entry per input; an input not watched has the descriptor -1, which
// poll passes over.
struct inputs {
    pollfd fds[INPUT_COUNT];
};

// Sets in up to watch the data socket sd alone.
void inputs_init(inputs *in, int sd);

// Watches fd as input id from now on; -1 stops watching it.
void inputs_watch(inputs *in, input_id id, int fd);

// True when anything beside the data socket is watched.
bool inputs_beside_data(const inputs &in);

// Waits at most timeout_ms (-1: no limit) for an input to be ready: poll's
// result, errno set when it is -1.
int inputs_wait(inputs *in, int timeout_ms);

// Whether input id has something to read (or an error or end to show) after
// the last inputs_wait that returned more than 0.
bool inputs_ready(const inputs &in, input_id id);
