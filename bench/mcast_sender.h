// mcast_sender.h - a paced stream sender for the relay benchmark: one UDP
// socket sending a channel list and one channel's data to a multicast group.
// Use it only inside a private network namespace.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <vector>

struct mcast_sender {
    int fd = -1;
    sockaddr_in group{};
};

// Opens the sending socket for GROUP:port (loopback delivery on). Returns 0,
// or -1 after a perror report.
int sender_open(mcast_sender *s, const char *group, int port);

// Sends one datagram; 0 or -1 (errno set).
int sender_send(const mcast_sender &s, const std::vector<uint8_t> &msg);

// What a paced run did.
struct send_result {
    long sent = 0;       // datagrams handed to the kernel
    long failed = 0;     // sends that returned an error
    double seconds = 0;  // from the first send to the last
};

// Sends count copies of msg at rate datagrams/s to each destination (in
// turns: datagram i goes first to destination i mod n), on an absolute
// schedule (a late sender catches up at once, so the mean rate holds);
// sleeps between batches rather than spinning, so as not to take a core
// from the receivers on a small machine. sent counts the datagrams that
// reached every destination. With burst > 1 the datagrams go in groups of
// burst, a group every burst / rate seconds, each group back to back to one
// destination after the other (group g first to destination g mod n).
send_result sender_send_paced(const std::vector<const mcast_sender *> &to,
                              const std::vector<uint8_t> &msg, double rate, long count,
                              int burst = 1);

// Monotonic clock in seconds.
double now_s();
