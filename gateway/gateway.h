// gateway.h - the state of the running gateway, shared by its parts: the
// receive side (receive.h), the HTTP side (serve.h) and the listeners
// (listeners.h). One event loop runs them all, in one thread.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "history.h"
#include "join.h"
#include "mono_clock.h"
#include "status.h"
#include "table.h"

struct event;
struct event_base;
struct evhttp;
struct listener;

struct gateway_conf {
    const char *group;
    int port;
    int np_port;              // now-playing datagrams; 0: port + 1
    const char *interface;    // -I: name, index or address; null: the system's choice
    const char *source;       // -S: the one sender to join for; null: any
    const char *listen_addr;  // --listen's address
    int listen_port;
    long long burst_ms;
    long long lag_s;
    int listeners_max;
    std::string name = {};     // --name, cleaned as a title; "Radio on HOSTNAME" by default
    bool trust_proxy = false;  // --trust-proxy: X-Forwarded-* headers from any peer
    int connections_max = 0;  // --connections; 0: a little above listeners_max
};

struct gateway {
    gateway_conf conf;
    FILE *report;  // lines named "stream_gateway: "
    event_base *base;
    evhttp *http;
    long long start_ns;
    history_limits limits;
    table tab;
    history hist[256];
    std::vector<listener *> listeners[256];  // by channel
    int listener_count;
    int connection_count;  // HTTP connections open, listeners' too
    status_counters counters;
    join_membership data_join;
    join_membership np_join;
    event *receive_events[2];  // the two sockets' readers
};
