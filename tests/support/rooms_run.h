// rooms_run.h - one run of the radio into rooms that one recorder hears:
// the server (its clock sped up, on the rooms' LAN or behind the jitter
// hop) plays a channel of noise, a player in each room (in a network and a
// time namespace of its own, on a device of its own buffer) plays it, and
// sync_lag.py measures from the recording how far apart the rooms played.
// For the sync tests and the sync benchmark alike; the caller is in a
// private network namespace (REQUIRE_PRIVATE_NETNS).
#pragma once

#include <string>
#include <vector>

// The programs and scripts a run needs.
struct rooms_tools {
    std::string server, player, client, hop, sync_lag;
};

struct rooms_conf {
    int rooms = 2;                         // 2 or 4
    std::vector<int> buffer_ms;            // each room's device buffer (--buffer)
    std::vector<long long> clock_s;        // each room's CLOCK_MONOTONIC ahead of the host's
    double server_lead_s = 2;              // the server runs this long before the first player
    std::vector<double> start_s;           // when each room's player starts, after the first
    std::vector<double> restart_s;         // when it is killed and started again (0: never)
    std::string server_rate = "1.0001";    // the server's clock against the host's
    double jitter_ms = 0;                  // 0: the server on the LAN; else behind the hop
    int loss_room = 0;                     // a room that loses
    int loss_per_mille = 0;                //   this share of what reaches it
    int seconds = 60;                      // of recording from the first player's start
    double skip_s = 0;                     // of them left out of the figures
    bool pipelines = false;                // `client | mpg123` in each room instead
    std::vector<std::string> player_args;  // more for every player
};

struct rooms_result {
    std::string why;                // "" when the run went through, else what failed
    std::string json;               // sync_lag.py's report
    double started_s = 0;           // when the first player started, after the recording's mark
    std::vector<std::string> logs;  // each player's standard error, and the server's
    std::vector<double> cpu;        // each room's player: its CPU time over its run, in cores
};

// Runs conf in dir (a temporary folder the caller removes).
rooms_result rooms_run(const rooms_conf &conf, const rooms_tools &tools, const std::string &dir);

// The first number after "key": at or after from in a JSON text; NAN when
// there is none.
double rooms_json_number(const std::string &json, const std::string &key, size_t from = 0);

// The n-th number (from 0) of the list after "key": in a JSON text; NAN
// when there is none.
double rooms_json_item(const std::string &json, const std::string &key, int n);
