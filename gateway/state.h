// state.h - the running gateway, shared by its parts: the receive side
// (receive.h), the HTTP side (serve.h, connections.h) and the listeners
// (listeners.h). One event loop runs them all, in one thread; main makes
// the one record and hands it to each.
#pragma once

#include <stdio.h>

#include <vector>

#include "conf.h"
#include "history.h"
#include "hls.h"
#include "join.h"
#include "status.h"
#include "table.h"

struct event;
struct event_base;
struct evhttp;
struct listener;

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
    hls_conf hls;
    hls_channel hls_ch[256];  // each channel's HLS segments, by channel
    int listener_count;
    int connection_count;  // HTTP connections open, listeners' too
    status_counters counters;
    join_membership data_join;
    join_membership np_join;
    join_membership repair_join;  // with --repair
    event *receive_events[4];     // the sockets' readers and the rebuild's timer
};
