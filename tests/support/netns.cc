// netns.cc - private network namespaces for multicast tests.
#include "netns.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "proc.h"

namespace {

bool write_proc_file(const char *path, const std::string &text) {
    int fd = open(path, O_WRONLY);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// A user namespace maps our own ids to root so that ip(8) may configure the
// new network namespace.
std::string unshare_as_user() {
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) < 0)
        return std::string("unshare(CLONE_NEWUSER|CLONE_NEWNET): ") + strerror(errno);
    write_proc_file("/proc/self/setgroups", "deny");
    if (!write_proc_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") ||
        !write_proc_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n"))
        return "cannot map ids in the user namespace";
    return "";
}

// The identity of this process's network namespace ("" if unreadable).
std::string net_ns_id() {
    char buf[128];
    ssize_t n = readlink("/proc/self/ns/net", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

}  // namespace

bool running_in_ci() {
    const char *ci = getenv("CI");
    return ci && *ci && strcmp(ci, "0") != 0 && strcmp(ci, "false") != 0;
}

std::string netns_enter_private() {
    if (run_shell("command -v ip >/dev/null 2>&1") != 0) return "ip(8) is not installed";
    std::string before = net_ns_id();
    if (geteuid() == 0) {
        if (unshare(CLONE_NEWNET) < 0)
            return std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
    } else {
        std::string why = unshare_as_user();
        if (!why.empty()) return why;
    }
    std::string after = net_ns_id();
    if (before.empty() || after.empty() || before == after) return "not in a new network namespace";
    if (run_shell("ip link set lo up && ip link set lo multicast on && "
                  "ip route add 224.0.0.0/4 dev lo") != 0)
        return "cannot set up lo for multicast in the new namespace";
    // The host's mDNS responder is reached over the system bus, a unix
    // socket that no network namespace hides: a program started here that
    // announced itself through it would be announced on the host's LAN.
    // The tests that need a responder run their own, on a bus of their own.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", NO_SYSTEM_BUS, 1);
    return "";
}

std::string netns_peer_hold(netns_peer *peer) {
    int ready[2];
    if (pipe(ready) < 0) return std::string("pipe(): ") + strerror(errno);
    pid_t pid = fork();
    if (pid < 0) return std::string("fork(): ") + strerror(errno);
    if (pid == 0) {
        // Die with the test, whatever way it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        close(ready[0]);
        char ok = unshare(CLONE_NEWNET) == 0 ? '1' : '0';
        if (write(ready[1], &ok, 1) != 1) _exit(1);
        close(ready[1]);
        for (;;) pause();
    }
    close(ready[1]);
    char ok = '0';
    ssize_t n = read(ready[0], &ok, 1);
    close(ready[0]);
    peer->holder = pid;
    if (n != 1 || ok != '1') {
        netns_peer_stop(peer);
        return "the peer could not unshare its network namespace";
    }
    return "";
}

std::string netns_peer_start(netns_peer *peer, const std::string &local_if,
                             const std::string &local_cidr, const std::string &peer_if,
                             const std::string &peer_cidr) {
    std::string why = netns_peer_hold(peer);
    if (!why.empty()) return why;
    std::string p = std::to_string(peer->holder);
    std::string cmd = "ip link add " + local_if + " type veth peer name " + peer_if + " netns " +
                      p + " && ip addr add " + local_cidr + " dev " + local_if +
                      " && ip link set " + local_if +
                      " multicast on up && ip route replace 224.0.0.0/4 dev " + local_if;
    if (run_shell(cmd) != 0) {
        netns_peer_stop(peer);
        return "cannot create the veth pair";
    }
    std::string in_peer = "ip link set lo up && ip addr add " + peer_cidr + " dev " + peer_if +
                          " && ip link set " + peer_if + " multicast on up && " +
                          "ip route add 224.0.0.0/4 dev " + peer_if;
    if (netns_peer_shell(*peer, in_peer) != 0) {
        netns_peer_stop(peer);
        return "cannot configure the peer's end of the veth pair";
    }
    return "";
}

std::vector<std::string> netns_peer_prefix(const netns_peer &peer) {
    return {"nsenter", "-t", std::to_string(peer.holder), "-n", "--"};
}

int netns_peer_shell(const netns_peer &peer, const std::string &cmd) {
    std::string quoted;
    for (char c : cmd) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return run_shell("nsenter -t " + std::to_string(peer.holder) + " -n -- sh -c '" + quoted + "'");
}

int netns_peer_socket(const netns_peer &peer, int domain, int type) {
    std::string path = "/proc/" + std::to_string(peer.holder) + "/ns/net";
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int sd = -1;
    if (home >= 0 && there >= 0 && setns(there, CLONE_NEWNET) == 0) {
        sd = socket(domain, type, 0);
        int saved = errno;
        // Back home, or every later socket of the test would be the peer's.
        if (setns(home, CLONE_NEWNET) < 0) abort();
        errno = saved;
    }
    int saved = errno;
    if (home >= 0) close(home);
    if (there >= 0) close(there);
    errno = saved;
    return sd;
}

void netns_peer_stop(netns_peer *peer) {
    if (peer->holder <= 0) return;
    kill(peer->holder, SIGKILL);
    int st;
    while (waitpid(peer->holder, &st, 0) < 0 && errno == EINTR) {
    }
    peer->holder = -1;
}

std::string netns_peer_link(const netns_peer &peer, const std::string &local_if,
                            const std::string &local_cidr, const std::string &peer_if,
                            const std::string &peer_cidr) {
    std::string cmd = "ip link add " + local_if + " type veth peer name " + peer_if + " netns " +
                      std::to_string(peer.holder) + " && ip addr add " + local_cidr + " dev " +
                      local_if + " && ip link set " + local_if + " multicast on up";
    if (run_shell(cmd) != 0) return "cannot create the veth pair";
    std::string in_peer = "ip addr add " + peer_cidr + " dev " + peer_if + " && ip link set " +
                          peer_if + " multicast on up";
    if (netns_peer_shell(peer, in_peer) != 0) return "cannot configure the peer's end";
    return "";
}
