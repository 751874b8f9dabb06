// inputs.cc - one poll over the data socket and the inputs beside it.
#include "inputs.h"

void inputs_init(inputs *in, int sd) {
    for (pollfd &p : in->fds) p = {-1, POLLIN, 0};
    in->fds[INPUT_DATA].fd = sd;
}

void inputs_watch(inputs *in, input_id id, int fd) {
    in->fds[id] = {fd, POLLIN, 0};
}

bool inputs_beside_data(const inputs &in) {
    for (int id = 0; id < INPUT_COUNT; id++)
        if (id != INPUT_DATA && in.fds[id].fd >= 0) return true;
    return false;
}

int inputs_wait(inputs *in, int timeout_ms) {
    return poll(in->fds, INPUT_COUNT, timeout_ms);
}

bool inputs_ready(const inputs &in, input_id id) {
    return in.fds[id].fd >= 0 && in.fds[id].revents != 0;
}
