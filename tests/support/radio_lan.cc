// radio_lan.cc - rooms on a bridge, the server on it or behind a hop.
#include "radio_lan.h"

#include <signal.h>

namespace {

const char BRIDGE[] = "br-lan";
const char SERVER_SIDE_IF[] = "veth-srv";
const char SERVER_NS_ADDR[] = "10.78.9.1";
const char HOP_ADDR[] = "10.78.9.2";
constexpr int STOP_MS = 3000;

std::string room_if(int n) {
    return "veth-r" + std::to_string(n);
}

std::string make_bridge() {
    std::string cmd = std::string("ip link add ") + BRIDGE + " type bridge mcast_snooping 0" +
                      " && ip addr add " + LAN_SERVER_ADDR + "/24 dev " + BRIDGE +
                      " && ip link set " + BRIDGE + " multicast on up" +
                      " && ip route replace 224.0.0.0/4 dev " + BRIDGE;
    return run_shell(cmd) == 0 ? "" : "cannot make the bridge";
}

std::string add_room(radio_lan *lan, int n) {
    lan->rooms.emplace_back();
    netns_peer *room = &lan->rooms.back();
    std::string why = netns_peer_hold(room);
    if (!why.empty()) return why;
    std::string link = "ip link add " + room_if(n) + " type veth peer name eth0 netns " +
                       std::to_string(room->holder) + " && ip link set " + room_if(n) + " master " +
                       BRIDGE + " up";
    if (run_shell(link) != 0) return "cannot link room " + std::to_string(n);
    std::string in_room = "ip link set lo up && ip addr add " + radio_lan_room_addr(n) +
                          "/24 dev eth0 && ip link set eth0 multicast on up && "
                          "ip route add 224.0.0.0/4 dev eth0";
    if (netns_peer_shell(*room, in_room) != 0) return "cannot configure room " + std::to_string(n);
    return "";
}

// True when the caller's namespace holds a link other than lo: not one
// made for the test (REQUIRE_PRIVATE_NETNS leaves lo alone), and maybe the
// host's, where no bridge of a test may go. (Process 1's namespace, to
// compare with, cannot be read in a container.)
bool not_fresh_namespace() {
    return run_shell("ip -o link show | grep -qv ': lo:'") == 0;
}

}  // namespace

std::string radio_lan_start(radio_lan *lan, int rooms) {
    if (rooms < 1 || rooms > 16) return "the LAN has 1 to 16 rooms";
    if (not_fresh_namespace()) return "the LAN needs a fresh private network namespace";
    std::string why = make_bridge();
    for (int n = 1; why.empty() && n <= rooms; n++) why = add_room(lan, n);
    if (!why.empty()) radio_lan_stop(lan);
    return why;
}

std::string radio_lan_add_hop(radio_lan *lan, const std::string &hop_path, const std::string &dir,
                              const std::string &group, const std::vector<int> &ports,
                              int source_port, double max_ms, uint64_t seed) {
    std::string why = netns_peer_start(&lan->server, SERVER_SIDE_IF, std::string(HOP_ADDR) + "/24",
                                       "eth0", std::string(SERVER_NS_ADDR) + "/24");
    if (!why.empty()) return why;
    // netns_peer_start routed the group towards the server; the bridge's it is.
    if (run_shell(std::string("ip route replace 224.0.0.0/4 dev ") + BRIDGE) != 0)
        return "cannot route the group over the bridge";
    std::string list;
    for (int p : ports) list += (list.empty() ? "" : ",") + std::to_string(p);
    std::string port = ":" + std::to_string(source_port);
    std::vector<std::string> argv = {
        hop_path, "-s", std::to_string(seed),   SERVER_NS_ADDR + port, HOP_ADDR,
        group,    list, LAN_SERVER_ADDR + port, std::to_string(max_ms)};
    if (!proc_start(&lan->hop, argv, dir, "jitter_hop", false)) return "cannot start jitter_hop";
    return "";
}

std::vector<std::string> radio_lan_server_prefix(const radio_lan &lan) {
    if (lan.server.holder <= 0) return {};
    return netns_peer_prefix(lan.server);
}

std::string radio_lan_room_addr(int n) {
    return "10.78.0." + std::to_string(10 + n);
}

std::vector<std::string> radio_lan_room_prefix(const radio_lan &lan, int n, long long monotonic_s) {
    std::vector<std::string> argv = netns_peer_prefix(lan.rooms[static_cast<size_t>(n - 1)]);
    if (monotonic_s != 0) {
        for (const std::string &a :
             {std::string("unshare"), std::string("-T"),
              "--monotonic=" + std::to_string(monotonic_s), std::string("--")})
            argv.push_back(a);
    }
    return argv;
}

std::vector<std::string> faketime_prefix(const std::string &rate) {
    // libfaketime goes first among the libraries, which ASan would refuse.
    return {"env", "ASAN_OPTIONS=verify_asan_link_order=0", "faketime", "-f", "+0 x" + rate};
}

std::string radio_lan_loss(const radio_lan &lan, int n, int per_mille) {
    std::string rule =
        "nft add table inet lossy && "
        "nft 'add chain inet lossy in { type filter hook prerouting priority 0; }' "
        "&& nft 'add rule inet lossy in iifname eth0 meta l4proto udp "
        "numgen random mod 1000 < " +
        std::to_string(per_mille) + " counter drop'";
    return netns_peer_shell(lan.rooms[static_cast<size_t>(n - 1)], rule) == 0
               ? ""
               : "cannot set the loss rule in room " + std::to_string(n);
}

void radio_lan_stop(radio_lan *lan) {
    if (lan->hop.pid > 0) {
        kill(lan->hop.pid, SIGTERM);
        int status;
        if (!proc_wait(&lan->hop, STOP_MS, &status)) proc_kill(&lan->hop);
    }
    for (auto &room : lan->rooms) netns_peer_stop(&room);
    lan->rooms.clear();
    netns_peer_stop(&lan->server);
    run_shell(std::string("ip link delete ") + BRIDGE + " 2>/dev/null");
}
