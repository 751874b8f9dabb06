// station.cc - the channels' runs: started, counted and summed up.
#include "station.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "utf8.h"

namespace {

// A block number that a receiver does not take for one of an earlier run
// of the channel (a restarted server, a channel stopped and started again).
uint32_t random_block(long long now) {
    uint32_t n;
    if (getrandom(&n, sizeof n, GRND_NONBLOCK) == sizeof n) return n;
    return static_cast<uint32_t>(now ^ (now >> 32)) ^ static_cast<uint32_t>(getpid()) << 16;
}

}  // namespace

void station_live(channel_run *c, const station_conf &conf, FILE *report) {
    const std::string &url = c->play.ch.live;
    if (c->live && c->live->url == url) return;
    if (c->live) live_stop(c->live.get());
    c->live.reset();
    c->play.live = nullptr;
    c->play.on_live = false;
    if (url.empty()) return;
    if (live_is_command(url) && !conf.allow_commands) {
        fprintf(report,
                "channel %d: live %s: a command, run only with --allow-commands; the "
                "channel plays its files\n",
                c->play.ch.id, utf8_clean(live_shown(url)).c_str());
        return;
    }
    auto l = std::make_unique<live_source>();
    std::string why;
    if (!live_start(l.get(), url, c->play.ch.format, conf.fallback_ns, c->play.ch.id, report,
                    &why)) {
        fprintf(report, "channel %d: live %s: %s; the channel plays its files\n", c->play.ch.id,
                live_shown(url).c_str(), why.c_str());
        return;
    }
    c->live = std::move(l);
    c->play.live = c->live.get();
}

channel_run station_run(channel_def ch, const station_conf &conf, long long start, size_t index,
                        size_t count, FILE *report) {
    channel_run c;
    c.play = playout_start(std::move(ch), conf.once);
    c.play.loudness = conf.loudness;
    c.play.loudness_target = conf.loudness_target;
    c.play.verbose = conf.verbose;
    station_live(&c, conf, report);
    c.clock = pacing_start(start, index, count);
    c.repair = repair_encoder_start(REPAIR_DEFAULTS, random_block(start));
    c.payload_ns = playout_next(&c.play, conf.payload, &c.payload, report);
    return c;
}

void station_start(on_air *air, std::vector<channel_def> channels, const station_conf &conf,
                   long long now, FILE *report) {
    for (size_t i = 0; i < channels.size(); i++)
        air->runs.push_back(
            station_run(std::move(channels[i]), conf, now, i, channels.size(), report));
    station_want_loudness(*air, conf);
}

void station_want_loudness(const on_air &air, const station_conf &conf) {
    if (!conf.loudness) return;
    size_t most = 0;
    for (const auto &c : air.runs) most = std::max(most, c.play.ch.files.size());
    std::vector<std::string> paths;
    for (size_t round = 1; round <= most; round++) {
        for (const auto &c : air.runs) {
            const auto &files = c.play.ch.files;
            if (round < files.size()) paths.push_back(files[round]);
            if (round == most && !files.empty()) paths.push_back(files[0]);
        }
    }
    loudness_want(conf.loudness, paths);
}

std::string station_counts(const channel_run &c) {
    long long files = c.play.files_played;
    return std::to_string(files) + (files == 1 ? " file" : " files") + " played, " +
           std::to_string(c.bytes_sent) + " bytes sent";
}

void station_summary(const on_air &air, FILE *report) {
    for (const auto &c : air.runs)
        fprintf(report, "stopped; channel %d: %s\n", c.play.ch.id, station_counts(c).c_str());
}

void station_stop(on_air *air) {
    for (auto &c : air->runs) {
        if (c.live) live_stop(c.live.get());
        playout_stop(&c.play);
    }
}
