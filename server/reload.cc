// reload.cc - the folder read again in a helper thread, and swapped in.
#include "reload.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>

namespace {

void *scan(void *arg) {
    auto *r = static_cast<rescan *>(arg);
    char *text = nullptr;
    size_t size = 0;
    // The loop alone writes to the report stream; the scan's lines wait in
    // memory until the loop takes the result.
    FILE *lines = open_memstream(&text, &size);
    r->ok = channels_programme(r->folder, &r->channels, &r->list, &r->why, lines ? lines : stderr,
                               r->wanted);
    if (lines) {
        fclose(lines);
        r->report.assign(text, size);
        free(text);
    }
    r->finished.store(true, std::memory_order_release);
    return nullptr;
}

// The run of channel id in runs, or null.
channel_run *run_of(std::vector<channel_run> *runs, int id) {
    for (auto &c : *runs)
        if (c.play.ch.id == id) return &c;
    return nullptr;
}

// The scan's channels as runs: the old run of each number goes on, a new
// one starts. Reports each and marks the old runs taken (by number).
std::vector<channel_run> merge(on_air *air, rescan *r, const station_conf &conf, long long now,
                               std::vector<bool> *taken, FILE *report) {
    std::vector<channel_run> runs;
    for (auto &ch : r->channels) {
        std::string line = channels_line(ch);
        channel_run *old = run_of(&air->runs, ch.id);
        if (old) (*taken)[static_cast<size_t>(ch.id)] = true;
        if (old && (old->payload_ns != 0 || conf.once)) {
            playout_replace(&old->play, std::move(ch));
            runs.push_back(std::move(*old));
            station_live(&runs.back(), conf, report);
        } else {
            // A channel that had stopped starts again, its counts kept.
            channel_run fresh = station_run(std::move(ch), conf, now, 0, 1, report);
            if (old) {
                fresh.play.files_played += old->play.files_played;
                fresh.bytes_sent = old->bytes_sent;
                if (old->live) live_stop(old->live.get());
                playout_stop(&old->play);
            }
            runs.push_back(std::move(fresh));
            if (!old) line += " (new)";
        }
        fprintf(report, "reloaded; %s\n", line.c_str());
    }
    return runs;
}

}  // namespace

bool rescan_start(rescan *r, const char *folder, audio_format wanted) {
    r->folder = folder;
    r->wanted = wanted;
    r->ok = false;
    r->channels.clear();
    r->list.clear();
    r->why.clear();
    r->report.clear();
    r->finished.store(false, std::memory_order_relaxed);
    // The helper takes no signal: they stay with the send loop's wait.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    int err = pthread_create(&r->thread, nullptr, scan, r);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (err != 0) {
        errno = err;
        return false;
    }
    r->running = true;
    return true;
}

bool rescan_done(rescan *r) {
    if (!r->running || !r->finished.load(std::memory_order_acquire)) return false;
    rescan_wait(r);
    return true;
}

void rescan_wait(rescan *r) {
    if (!r->running) return;
    pthread_join(r->thread, nullptr);
    r->running = false;
}

void reload_apply(on_air *air, rescan *r, const station_conf &conf, long long now, FILE *report) {
    fputs(r->report.c_str(), report);
    if (!r->ok) {
        fprintf(report, "reload failed; the programme stays as it was: %s\n", r->why.c_str());
        return;
    }
    std::vector<bool> taken(256, false);
    std::vector<channel_run> runs = merge(air, r, conf, now, &taken, report);
    for (auto &old : air->runs) {
        if (taken[static_cast<size_t>(old.play.ch.id)]) continue;
        fprintf(report, "reloaded; channel %d: removed after %s\n", old.play.ch.id,
                station_counts(old).c_str());
        if (old.live) live_stop(old.live.get());
        playout_stop(&old.play);
    }
    air->runs = std::move(runs);
    air->list = std::move(r->list);
    station_want_loudness(*air, conf);
}
