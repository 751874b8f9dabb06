// What a failed send does to the server: which errors it lives through.
#include "broadcast.h"

#include <errno.h>
#include <string.h>

#include <gtest/gtest.h>

namespace {

TEST(BroadcastSendFailure, OnlyAFaultOfTheServerEndsIt) {
    struct failure_case {
        int err;
        send_failure want;
    };
    const failure_case cases[] = {
        {EAGAIN, SEND_DROPPED},
        // Measured: a link taken down (its routes flushed) gives ENETUNREACH;
        // a link deleted and created again ENODEV to a socket on its old index.
        {ENETUNREACH, SEND_NETWORK_DOWN},
        {ENETDOWN, SEND_NETWORK_DOWN},
        {EHOSTUNREACH, SEND_NETWORK_DOWN},
        {ENODEV, SEND_NETWORK_DOWN},
        {EADDRNOTAVAIL, SEND_NETWORK_DOWN},
        {EPERM, SEND_NETWORK_DOWN},  // a firewall refuses
        {ENOBUFS, SEND_NETWORK_DOWN},
        {EBADF, SEND_FAULT},
        {EFAULT, SEND_FAULT},
        {EINVAL, SEND_FAULT},
        {EMSGSIZE, SEND_FAULT},
        {ENOTSOCK, SEND_FAULT},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(strerror(c.err));
        EXPECT_EQ(c.want, broadcast_send_failure(c.err));
    }
}

}  // namespace
