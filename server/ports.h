// ports.h - the ports of the group the server sends to (data, now playing,
// repair, timing), each given by its option or a default beside --port,
// and what becomes of two that are one.
#pragma once

#include <string>
#include <vector>

// One port the server sends to.
struct send_port {
    const char *option;  // the option that gives it: "--repair-port"
    const char *sends;   // what goes there, for the line that turns it off: "repair datagrams"
    const char *beside;  // its default, in words: "the port + 2"
    int port;            // 0: none
    bool given;          // by its option, else its default
    bool may_be_off;     // 0 is allowed: the datagrams it takes can go unsent
};

// The server's ports for --port port, -N np, --repair-port rp and
// --timing-port tp (-1: not given, so the default beside the port), in the
// order they rank: where two defaults are one, the later yields.
std::vector<send_port> ports_table(int port, bool port_given, int np, int rp, int tp);

// Settles ports so that no two are one. A default yields to a port given
// by its option: it is turned off (0) when it may be, with a line on *note
// that says so ("" when none yields). Two given ports that are one, or a
// given one that is a default that cannot be turned off (the data port),
// are refused: the complaint names both options, else it is "".
std::string ports_settle(std::vector<send_port> *ports, std::string *note);
