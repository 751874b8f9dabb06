// mcast_sender.cc - paced multicast sending for the relay benchmark.
#include "mcast_sender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "bench_util.h"

double now_s() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int sender_open(mcast_sender *s, const char *group, int port) {
    s->fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (s->fd < 0) {
        perror("socket()");
        return -1;
    }
    int loop = 1;
    if (setsockopt(s->fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        perror("setsockopt()");
        close(s->fd);
        s->fd = -1;
        return -1;
    }
    s->group = sockaddr_in{};
    s->group.sin_family = AF_INET;
    s->group.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, group, &s->group.sin_addr) != 1) {
        fprintf(stderr, "sender: bad group %s\n", group);
        close(s->fd);
        s->fd = -1;
        return -1;
    }
    return 0;
}

int sender_send(const mcast_sender &s, const std::vector<uint8_t> &msg) {
    ssize_t n = sendto(s.fd, msg.data(), msg.size(), 0,
                       reinterpret_cast<const sockaddr *>(&s.group), sizeof s.group);
    return n == static_cast<ssize_t>(msg.size()) ? 0 : -1;
}

send_result sender_send_paced(const std::vector<const mcast_sender *> &to,
                              const std::vector<uint8_t> &msg, double rate, long count,
                              int burst) {
    send_result r;
    double start = now_s();
    long done = 0;
    size_t n = to.size();
    while (done < count) {
        long due = due_by(now_s() - start, rate, count, burst);
        while (done < due) {
            // One datagram to every destination, or one group of them.
            long group = due - done < burst ? due - done : burst;
            std::vector<bool> all(static_cast<size_t>(group), true);
            size_t first = static_cast<size_t>(done / burst);
            if (burst == 1) first = static_cast<size_t>(done);
            for (size_t j = 0; j < n; j++) {
                for (long k = 0; k < group; k++) {
                    if (sender_send(*to[(first + j) % n], msg) != 0) {
                        all[static_cast<size_t>(k)] = false;
                        r.failed++;
                    }
                }
            }
            for (bool ok : all) r.sent += ok;
            done += group;
        }
        if (done >= count) break;
        double next = start + static_cast<double>(done) / rate;
        timespec ts;
        ts.tv_sec = static_cast<time_t>(next);
        ts.tv_nsec = static_cast<long>((next - static_cast<double>(ts.tv_sec)) * 1e9);
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
        }
    }
    r.seconds = now_s() - start;
    return r;
}
