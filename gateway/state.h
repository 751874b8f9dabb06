// state.h - the running gateway, shared by its parts: the receive side
// (receive.h), the HTTP side (serve.h, connections.h) and the listeners
// (listeners.h). One event loop runs them all, in one thread; main makes
// the one record and hands it to each.
#pragma once

#include <stdio.h>

#include "channel.h"
#include "conf.h"
#include "history.h"
#include "hls.h"
#include "join.h"
#include "radio_txt.h"
#include "status.h"
#include "table.h"

struct event;
struct event_base;
struct evhttp;
struct dnssd_watch;

struct gateway {
    gateway_conf conf;
    FILE *report;  // lines named "stream_gateway: "
    event_base *base;
    evhttp *http;
    long long start_ns;
    history_limits limits;
    hls_conf hls;
    table tab;
    channel channels[256];  // by channel id; channels[i].entry is tab.ch[i]
    int listener_count;
    int connection_count;  // HTTP connections open, listeners' too
    status_counters counters;
    join_membership data_join;
    join_membership np_join;
    join_membership repair_join;  // with --repair
    event *receive_events[4];     // the sockets' readers and the rebuild's timer
    // The radios on the LAN, for the page: watched (null when Avahi cannot
    // be used), and the others than the one served, as last seen.
    dnssd_watch *lan;
    unsigned long lan_seen;
    std::vector<found_radio> others;
};
