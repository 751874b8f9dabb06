// radio_follow.h - with --radio, the radio followed on the LAN: the client
// keeps watching, and when the radio is announced again from elsewhere
// (its server started again on another host or source port, on another
// group or port) it joins it there, its sockets moved in place so that
// every descriptor keeps its number, and the relay takes the new server's
// datagrams. A radio that is gone leaves the client where it was.
#pragma once

#include <netinet/in.h>

#include "dnssd.h"
#include "radio_find.h"
#include "receiver.h"

struct radio_follow {
    found_radio joined;  // as last announced
    dnssd_watch lan;
    unsigned long seen = 0;          // the watch's changes taken
    bool reuse_address = false;      // the sockets' --reuse-address
    bool now_playing_given = false;  // --now-playing-port: it stays
    bool moved = false;              // the radio moved: server is its server now
    sockaddr_in server{};
};

// Follows radio r, which the client joins, from now on (r->radio = f);
// with no mDNS responder to be had, after a line, never.
void radio_follow_start(receiver *r, radio_follow *f, const found_radio &radio);

// Takes what the LAN says of the radio, when it has changed: its sockets
// moved when it is on another group or port, and f->moved set when its
// server is another.
void radio_follow_check(receiver *r);
