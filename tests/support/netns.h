// netns.h - private network namespaces for tests that send or join multicast.
//
// Multicast never leaves a test: the test process moves itself into a new
// network namespace (lo up, multicast on, 224.0.0.0/4 routed over lo) before
// it starts any client or sender, and those inherit it. A second host is a
// process parked in a namespace of its own, joined to the first by a veth
// pair; both namespaces vanish with the processes in them.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A system bus address that reaches no bus: programs started where it is
// set find no mDNS responder.
constexpr const char *NO_SYSTEM_BUS = "unix:path=/dev/null/no-system-bus";

// Moves the calling process into a new private network namespace set up for
// multicast over lo, with DBUS_SYSTEM_BUS_ADDRESS set to NO_SYSTEM_BUS. Returns "" on success, else why it could not (as root
// it unshares the namespace; otherwise it tries a user namespace first).
// It checks that the process really is in a new namespace before it
// configures anything there.
std::string netns_enter_private();

// True when the CI variable says this is a CI run, where nothing may skip.
bool running_in_ci();

// Skips the current test with the reason when no private namespace can be
// had, or fails it under CI. For GoogleTest files (which include gtest.h).
#define REQUIRE_PRIVATE_NETNS()                                                      \
    do {                                                                             \
        std::string why_ = netns_enter_private();                                    \
        if (!why_.empty()) {                                                         \
            if (running_in_ci()) FAIL() << "no private network namespace: " << why_; \
            GTEST_SKIP() << "no private network namespace: " << why_;                \
        }                                                                            \
    } while (0)

// A second host: a parked process in a fresh network namespace, joined to
// the caller's namespace by a veth pair.
struct netns_peer {
    pid_t holder = -1;  // the parked process that keeps the namespace alive
};

// Starts the parked process of a fresh network namespace, with nothing in it
// configured (not even lo): for a caller that links it its own way. Returns
// "" or the reason it failed.
std::string netns_peer_hold(netns_peer *peer);

// Creates the peer namespace and a veth pair: local_if (address local_cidr)
// stays in the caller's namespace, peer_if (address peer_cidr) goes into the
// peer's. Both ends are up with multicast on, and each side routes
// 224.0.0.0/4 over its end. Returns "" or the reason it failed.
std::string netns_peer_start(netns_peer *peer, const std::string &local_if,
                             const std::string &local_cidr, const std::string &peer_if,
                             const std::string &peer_cidr);

// The argv prefix that runs a command inside the peer's namespace.
std::vector<std::string> netns_peer_prefix(const netns_peer &peer);

// Runs a shell command line inside the peer's namespace; its exit status.
int netns_peer_shell(const netns_peer &peer, const std::string &cmd);

// A socket (socket(2)'s domain and type) opened inside the peer's
// namespace, where it stays whatever namespace later uses it; -1 with errno
// set on failure.
int netns_peer_socket(const netns_peer &peer, int domain, int type);

// Ends the holder process; the namespace and the veth pair go with it.
void netns_peer_stop(netns_peer *peer);

// Joins the caller's namespace to a started peer's by one more veth pair,
// addressed and up with multicast on like the first, but with no multicast
// route on either side: a sender reaches the peer's side only by naming
// peer_if. Goes away with the peer. Returns "" or the reason it failed.
std::string netns_peer_link(const netns_peer &peer, const std::string &local_if,
                            const std::string &local_cidr, const std::string &peer_if,
                            const std::string &peer_cidr);
