// join.h - where the client joins its group (and out of which interface the
// server sends): an interface named by the user
// (name, index or address) turned into an index, and the membership itself,
// from any source or from one source only.
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
