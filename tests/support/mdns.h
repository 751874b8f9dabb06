// mdns.h - an mDNS responder of a test's own for one network namespace: a
// D-Bus system bus on a unix socket in the test's folder, and avahi-daemon
// on that bus, answering on one interface over IPv4 alone, with a host
// name of its own (a UTS namespace) and /run a tmpfs of its own (a mount
// namespace), so that neither the host's bus nor its responder, nor their
// files, are ever touched. Programs reach it by DBUS_SYSTEM_BUS_ADDRESS.
#pragma once

#include <string>
#include <vector>

#include "proc.h"

struct mdns_host {
    child_proc bus;          // dbus-daemon
    child_proc responder;    // avahi-daemon
    std::string bus_address;  // "unix:path=..."
};

// Starts the bus and the responder in dir/name (made here), inside the
// namespace that prefix enters (empty: the caller's), with host name host,
// answering on iface only. Returns once the responder has started, "" or
// why not (what was started is stopped again). Needs root: the responder
// runs in namespaces of its own.
std::string mdns_host_start(mdns_host *h, const std::vector<std::string> &prefix,
                            const std::string &dir, const std::string &name,
                            const std::string &host, const std::string &iface);

// The argv prefix that runs a program (inside the same network namespace,
// which the caller enters first) as a client of this responder.
std::vector<std::string> mdns_host_env(const mdns_host &h);

// Stops the responder and the bus, by their PIDs.
void mdns_host_stop(mdns_host *h);
