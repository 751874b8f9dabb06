// radio_lan.h - the radio's LAN for the player tests: each player (room) in
// a network namespace of its own, on a bridge in the caller's namespace,
// and the server either right on the bridge or behind a hop that delays
// each datagram at random (jitter_hop). Each room may have a clock of its
// own (a time namespace) and lose a share of what reaches it (nftables).
//
//   caller's namespace (a fresh private one: REQUIRE_PRIVATE_NETNS first)
//     br-lan  10.78.0.1/24, the server's address as every room knows it;
//             224.0.0.0/4 routed here; no multicast snooping (it floods)
//     veth-rN on the bridge  <->  room N: eth0 10.78.0.(10+N)/24, lo up,
//                                 224.0.0.0/4 routed over eth0
//   with the hop:
//     veth-srv 10.78.9.2/24  <->  the server's namespace: eth0 10.78.9.1/24,
//                                 224.0.0.0/4 routed over eth0
//     jitter_hop here takes the group's datagrams from 10.78.9.1:PORT on
//     veth-srv and sends each out of br-lan from 10.78.0.1:PORT, 0 to MAX
//     ms later; time requests to 10.78.0.1:PORT go to the server the same
//     way and its answers come back, each delayed afresh.
// A room sees the server at one address and source port either way, so a
// player that takes only the server's datagrams takes the hop's.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "netns.h"
#include "proc.h"

constexpr const char *LAN_SERVER_ADDR = "10.78.0.1";  // the server, as the rooms see it

struct radio_lan {
    std::vector<netns_peer> rooms;  // room n is rooms[n - 1]
    netns_peer server;              // with the hop: the server's namespace
    child_proc hop;                 // with the hop: jitter_hop
};

// Makes the bridge and rooms rooms (1 to 16) on it, in a namespace that holds
// lo alone (it refuses any other, which may be the host's). "" or why not (what was
// made is taken down again).
std::string radio_lan_start(radio_lan *lan, int rooms);

// Moves the server behind the hop: its namespace, and jitter_hop (the
// program at hop_path, its output in dir) carrying GROUP's ports from the
// server's source_port with delays of 0 to max_ms. "" or why not.
std::string radio_lan_add_hop(radio_lan *lan, const std::string &hop_path, const std::string &dir,
                              const std::string &group, const std::vector<int> &ports,
                              int source_port, double max_ms, uint64_t seed);

// The argv prefix that runs the server: nothing on the bridge, into its own
// namespace behind the hop.
std::vector<std::string> radio_lan_server_prefix(const radio_lan &lan);

// Room n's address: 10.78.0.(10 + n).
std::string radio_lan_room_addr(int n);

// The argv prefix that runs a program in room n, with CLOCK_MONOTONIC (and
// what a time namespace shifts with it) monotonic_s seconds ahead of the
// host's when it is not 0 (unshare -T --monotonic; it cannot go back past
// the host's uptime).
std::vector<std::string> radio_lan_room_prefix(const radio_lan &lan, int n, long long monotonic_s);

// The argv prefix that runs a program whose CLOCK_MONOTONIC (and
// CLOCK_REALTIME) runs at rate times the host's, rate as "1.0001": what it
// sleeps and waits for is scaled alike, so it paces itself by its own
// clock. Only dynamically linked programs are fooled (libfaketime).
std::vector<std::string> faketime_prefix(const std::string &rate);

// Drops per_mille of the UDP datagrams that reach room n (group and
// unicast alike), at random, as repair_bench drops on its hop. "" or why not.
std::string radio_lan_loss(const radio_lan &lan, int n, int per_mille);

// Stops the hop and takes down the namespaces and the bridge.
void radio_lan_stop(radio_lan *lan);
