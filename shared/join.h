// join.h - where a receiver joins the group and out of which interface a
// sender sends: an interface named by the user (name, index or address)
// turned into an index, a listener's join planned from its options with
// every refusal worded once, the membership itself (from any source or from
// one source only), and following an interface named by its name when its
// link is deleted and created again.
#pragma once

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

// One row of the interface table the resolution reads: an interface's index
// and name, with one of its IPv4 addresses when has_addr is set. An
// interface with several addresses has a row for each.
struct join_iface {
    unsigned index;
    const char *name;
    bool has_addr;
    in_addr addr;
};

// The index that text names among ifs[0, n), tried in this order: the
// interface whose name is exactly text; else, when text is decimal digits
// only, the interface with that index; else, when text is a dotted-quad
// IPv4 address, the interface holding it (the lowest index when several
// do). 0 when nothing matches.
unsigned join_pick_interface(const char *text, const join_iface *ifs, size_t n);

// join_pick_interface over this host's interfaces. 1 with *index set when
// text names one, 0 when it names none, -1 (errno set) when the interfaces
// could not be listed.
int join_find_interface(const char *text, unsigned *index);

// The message for an interface text that names no interface; a sender's
// -I says it too.
std::string join_unknown_interface(const char *text);

// True when addr can be the source of a datagram: an address outside
// 0.0.0.0/8 ("this network"), 224.0.0.0/4 (multicast) and 240.0.0.0/4
// (reserved, with the broadcast address 255.255.255.255). Loopback
// addresses can: a sender on the same host uses them.
bool unicast_source(in_addr addr);

// Whether a and b are one sender, the same address and port: receivers
// take the server's datagrams of every kind only from where its data came.
inline bool same_sender(const sockaddr_in &a, const sockaddr_in &b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

// Makes sd a member of group on interface ifindex (0: the system chooses
// the interface). With source null the join admits every sender
// (IP_ADD_MEMBERSHIP); otherwise only that source (MCAST_JOIN_SOURCE_GROUP),
// which takes the place of the first: a source join after an any-source
// join of the same group fails. Returns setsockopt's result, errno intact.
int join_group(int sd, in_addr group, const in_addr *source, unsigned ifindex);

// A membership of one socket, and the interface name it follows. A link
// that is deleted and created again under its name (an adapter plugged in
// again, a VPN or Wi-Fi link set up again) comes back with a new index; a
// membership on the old index hears nothing any more.
struct join_membership {
    int sd = -1;
    in_addr group{};
    bool has_source = false;
    in_addr source{};              // with has_source: the one sender admitted
    unsigned ifindex = 0;          // the index joined on; 0: the system's choice
    const char *follow = nullptr;  // the interface's name, when the user gave a name
};

// What a listener is told where to join: the group, the one sender it
// hears (-S) and the interface (-I), as the user wrote them; null when the
// option was not given.
struct join_texts {
    const char *group;
    const char *source = nullptr;
    const char *iface = nullptr;
};

// A listener's join, planned before any socket is made.
struct join_plan {
    std::string refused;  // why the texts cannot be joined; empty when they can
    // Set when the group is an IPv4 address but no multicast one, whose
    // join fails: a listener may refuse it here or let the join say so.
    std::string not_multicast;
    join_membership m;  // the membership to make, all but its socket
};

// The plan for t among the interfaces ifs[0, n), with no system call. The
// group must be an IPv4 address; the source, when given, a unicast one (see
// unicast_source); the interface, when given, one that join_pick_interface
// finds, and it is followed when t names it by its name. Without an
// interface ifindex is 0, the system's choice. Checked in this order: the
// first refusal is the one said.
join_plan join_plan_make(const join_texts &t, const join_iface *ifs, size_t n);

// join_plan_make over this host's interfaces, listed only when t.iface is
// given; refused with "getifaddrs(): ..." when they cannot be listed.
join_plan join_plan_here(const join_texts &t);

// Joins m->sd to the group on m->ifindex, as join_group does. Returns
// setsockopt's result, errno intact.
int membership_join(const join_membership &m);

// When m follows a name that now has another index than the one joined on,
// leaves the membership on the old index (the kernel keeps it, and counts
// it against its limit of memberships per socket, after the link is gone)
// and joins on the new one. Returns 1 when it joined again, 0 when there
// was nothing to do (the same index, no interface of that name now, or no
// name followed), -1 when the new join failed (errno set; m still names
// the old index, so a later call tries again).
int membership_follow(join_membership *m);

// Leaves m's group and joins group instead, on the same socket and
// interface: a radio that moved to another group on the same port. 0, or
// -1 with errno set and m left as it was (its old membership dropped).
int membership_move(join_membership *m, in_addr group);

// Binds sd to port on every address. With reuse the address is made
// reusable first, so that other sockets that do the same (a gateway's,
// another client's) share the port on this host. 0, or -1 with errno set
// and *failed naming the call that failed ("setsockopt()", "bind()").
int membership_bind(int sd, uint16_t port, bool reuse, const char **failed);

// A new UDP socket in m->sd (SOCK_DGRAM | SOCK_CLOEXEC | flags, such as
// SOCK_NONBLOCK) that hears only the group joined on it, not every group
// some socket of this host joined with a sender to its port: joined as
// membership_join does and bound as membership_bind does. The socket, or
// -1 with errno set, *failed naming the call that failed ("socket()",
// "setsockopt()", "bind()") and m->sd -1, any socket closed.
int membership_open(join_membership *m, uint16_t port, bool reuse, int flags, const char **failed);

// Sends sd's multicast out of the interface text names (name, index or
// address, as join_find_interface finds it; an address also becomes the
// source address). Called again after a send fails with ENODEV, it looks
// the name up again. 1 when set, 0 when no interface matches text, -1
// (errno set) when the interfaces cannot be listed or the option not set.
int join_send_interface(int sd, const char *text);
