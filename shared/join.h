// join.h - where a receiver joins the group and out of which interface a
// sender sends: an interface named by the user (name, index or address)
// turned into an index, the membership itself (from any source or from one
// source only), and following an interface named by its name when its link
// is deleted and created again.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

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

// Joins m->sd to the group on m->ifindex, as join_group does. Returns
// setsockopt's result, errno intact.
int membership_join(const join_membership &m);

// Sets m->follow to text when text names an interface by its name (not by
// index or address): only such an interface is followed.
void membership_follow_name(join_membership *m, const char *text);

// When m follows a name that now has another index than the one joined on,
// leaves the membership on the old index (the kernel keeps it, and counts
// it against its limit of memberships per socket, after the link is gone)
// and joins on the new one. Returns 1 when it joined again, 0 when there
// was nothing to do (the same index, no interface of that name now, or no
// name followed), -1 when the new join failed (errno set; m still names
// the old index, so a later call tries again).
int membership_follow(join_membership *m);

// Sends sd's multicast out of the interface text names (name, index or
// address, as join_find_interface finds it; an address also becomes the
// source address). Called again after a send fails with ENODEV, it looks
// the name up again. 1 when set, 0 when no interface matches text, -1
// (errno set) when the interfaces cannot be listed or the option not set.
int join_send_interface(int sd, const char *text);
