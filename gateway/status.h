// status.h - the gateway's state as /status.json and as /metrics (the
// Prometheus text format). Pure: built from the table and the counters.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "radio_txt.h"
#include "table.h"

// What the gateway counts beyond the table.
struct status_counters {
    long long uptime_ns = 0;
    uint64_t dropped_lagging = 0;       // listeners disconnected by the lag rule
    uint64_t refused_full = 0;          // requests answered 503 at --listeners
    uint64_t refused_each_address = 0;  // connections closed at --each-address from their peer
    uint64_t hls_lists = 0;             // requests for an HLS playlist
    uint64_t hls_segments = 0;          // requests for an HLS segment
    int listeners_max = 0;
    bool repair = false;  // --repair: the channels' rebuilt and lost datagrams are shown
};

// JSON: {"name", "server": "ADDR:PORT" or null, "uptime_s", "listeners",
// "listeners_max", "refused_each_address", "channels": [{"number",
// "description", "listed", "on_air", "now_playing", "title", "artist",
// "bytes", "datagrams", "listeners", "hls"}]} with every channel heard, in channel order; with
// repair, each channel also has "rebuilt" and "lost" after "datagrams"; hls
// is the address of its HLS playlist, relative to the page. name is the
// station's (--name); now_playing is table_title's text once a now-playing
// datagram came, title and artist are that datagram's own ("" before).
// Then "radios": [{"name", "group", "port", "channels", "page"}], the
// other radios seen on the LAN, page the address of a gateway's page that
// serves one, or null.
std::string status_json(const table &t, const status_counters &k, long long now,
                        const std::string &name, const std::vector<found_radio> &radios);

// The same as gauges and counters named stream_gateway_*.
std::string status_metrics(const table &t, const status_counters &k, long long now);

// text as a JSON string, quotes included. Text from the table is already
// valid UTF-8 without control characters; any left are escaped.
std::string json_string(const std::string &text);
