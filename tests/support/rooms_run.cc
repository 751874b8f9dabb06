// rooms_run.cc - the server, the rooms' players and the recorder of one
// run, started, stopped and measured.
#include "rooms_run.h"

#include <math.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <tuple>

#include "audio_support.h"
#include "mono_clock.h"
#include "proc.h"
#include "radio_lan.h"
#include "sound_rig.h"

namespace {

constexpr int STOP_MS = 10000;  // for a program to end on SIGTERM

// What a run holds, so that everything it started is ended, whatever failed.
struct run {
    sound_rig rig;
    radio_lan lan;
    std::deque<child_proc> procs;  // the server first
};

child_proc *start(run *r, const std::vector<std::string> &argv, const std::string &dir,
                  const std::string &name, bool stdin_pipe) {
    r->procs.emplace_back();
    child_proc *p = &r->procs.back();
    return proc_start(p, argv, dir, name, stdin_pipe) ? p : nullptr;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Room n's player: stream_player on its device, or the client piping into
// mpg123 there.
child_proc *start_room(run *r, const rooms_conf &c, const rooms_tools &t, const std::string &dir,
                       int n) {
    size_t i = static_cast<size_t>(n - 1);
    std::vector<std::string> prefix =
        joined(radio_lan_room_prefix(r->lan, n, i < c.clock_s.size() ? c.clock_s[i] : 0),
               sound_rig_prefix(r->rig));
    std::string device = sound_rig_device(n);
    std::string name = "room" + std::to_string(n);
    if (c.pipelines) {
        child_proc *p = start(
            r, joined(prefix, {t.client, "-q", "-p", "exec mpg123 -q -o alsa -a " + device + " -"}),
            dir, name, true);
        if (p) proc_send(p, "1\n");
        return p;
    }
    int buffer = i < c.buffer_ms.size() ? c.buffer_ms[i] : 100;
    std::vector<std::string> argv = joined(prefix, {t.player, "-v", "-c", "1", "--device", device,
                                                    "--buffer", std::to_string(buffer)});
    return start(r, joined(argv, c.player_args), dir, name, false);
}

// The radio's folder: one channel of noise longer than the run.
std::string make_radio(const rooms_conf &c, const std::string &dir) {
    int seconds = c.seconds + 60;
    std::string mp3 =
        made_mp3(dir + "/audio", "noise", 44100, 2,
                 "synth " + std::to_string(seconds) + " whitenoise vol 0.5", "-b 128");
    if (mp3.empty()) return "sox and lame could not make the noise";
    return run_shell("mkdir -p '" + dir + "/radio/1' && cp '" + mp3 + "' '" + dir + "/radio/1/'") ==
                   0
               ? ""
               : "cannot make the radio's folder";
}

std::string set_up(run *r, const rooms_conf &c, const rooms_tools &t, const std::string &dir) {
    std::string why = make_radio(c, dir);
    if (why.empty()) why = sound_rig_start(&r->rig, dir, c.rooms);
    if (why.empty()) why = radio_lan_start(&r->lan, c.rooms);
    if (why.empty() && c.jitter_ms > 0)
        why = radio_lan_add_hop(&r->lan, t.hop, dir, "224.2.2.2", {1989, 1990, 1991, 1992}, 1989,
                                c.jitter_ms, 7);
    if (why.empty() && c.loss_per_mille > 0)
        why = radio_lan_loss(r->lan, c.loss_room, c.loss_per_mille);
    return why;
}

// The program at the end of a chain of wrappers that fork (faketime does;
// the namespaces' wrappers exec): the process itself when none does.
pid_t leaf_of(pid_t pid) {
    for (pid_t next; pid > 0 && (next = child_of(pid)) > 0;) pid = next;
    return pid;
}

// Ends the players and the server with SIGTERM, their output kept. The
// program is signalled, not its wrapper, which would leave it running.
void stop_all(run *r) {
    for (auto it = r->procs.rbegin(); it != r->procs.rend(); ++it) {
        if (it->pid > 0) kill(leaf_of(it->pid), SIGTERM);
        int status = 0;
        if (!proc_wait(&*it, STOP_MS, &status)) proc_kill(&*it);
    }
}

// Plays a click of 20 ms into every room at once, to mark a known moment
// in the recording: the moment it went is returned (the player's start is
// then known against it); -1 when it could not be played.
long long mark(run *r, const std::string &dir) {
    size_t frames = 882, ch = static_cast<size_t>(r->rig.rooms);
    std::string click(frames * ch * 2, '\0');
    for (size_t i = 0; i < click.size(); i += 2)
        click[i + 1] = static_cast<char>(i % 6 < 3 ? 0x60 : 0xA0);
    std::string file = dir + "/click.raw";
    if (!write_file(file, click)) return -1;
    std::string cmd;
    for (const std::string &arg : sound_rig_prefix(r->rig)) cmd += "'" + arg + "' ";
    long long at = now_ns();
    int e = run_shell(cmd + "aplay -q -D recorder -t raw -f S16_LE -r 44100 -c " +
                      std::to_string(ch) + " --buffer-time=20000 '" + file + "'");
    usleep(700'000);  // silence after it, as sync_lag.py --after-mark wants
    return e == 0 ? at : -1;
}

// When each room's player starts (and starts again, killed first), in the
// order of time: (seconds after the first, room, again).
std::vector<std::tuple<double, int, bool>> timetable(const rooms_conf &c) {
    std::vector<std::tuple<double, int, bool>> t;
    for (int n = 1; n <= c.rooms; n++) {
        size_t i = static_cast<size_t>(n - 1);
        t.emplace_back(i < c.start_s.size() ? c.start_s[i] : 0, n, false);
        if (i < c.restart_s.size() && c.restart_s[i] > 0) t.emplace_back(c.restart_s[i], n, true);
    }
    std::stable_sort(t.begin(), t.end());
    return t;
}

// The CPU that the program at the end of a room's chain of wrappers
// (namespaces, a time namespace) took since it started, in cores.
double cpu_share(const child_proc *p, long long started) {
    pid_t leaf = p ? leaf_of(p->pid) : -1;
    int threads = 0;
    double cpu = leaf > 0 ? process_cpu_s(leaf, &threads) : -1;
    return cpu < 0 ? NAN : cpu / (static_cast<double>(now_ns() - started) / 1e9);
}

}  // namespace

rooms_result rooms_run(const rooms_conf &c, const rooms_tools &t, const std::string &dir) {
    run r;
    rooms_result res;
    res.why = set_up(&r, c, t, dir);
    std::vector<std::string> server =
        joined(joined(radio_lan_server_prefix(r.lan), faketime_prefix(c.server_rate)),
               {t.server, dir + "/radio"});
    long long t0 = res.why.empty() ? mark(&r, dir) : 0;
    if (res.why.empty() && t0 < 0) res.why = "the mark could not be played";
    if (res.why.empty() && !start(&r, server, dir, "server", false)) res.why = "no server";
    if (res.why.empty()) usleep(static_cast<useconds_t>(c.server_lead_s * 1e6));
    std::vector<child_proc *> room(static_cast<size_t>(c.rooms) + 1, nullptr);
    std::vector<long long> room_start(room.size(), 0);
    long long first = 0;
    for (const auto &[at, n, again] : timetable(c)) {
        if (!res.why.empty()) break;
        if (first == 0) first = now_ns();
        long long wait = first + static_cast<long long>(at * 1e9) - now_ns();
        if (wait > 0) usleep(static_cast<useconds_t>(wait / 1000));
        if (n == 1 && !again) res.started_s = static_cast<double>(now_ns() - t0) / 1e9;
        if (again && room[n]) proc_kill(room[n]);
        room[n] = start_room(&r, c, t, dir, n);
        room_start[n] = now_ns();
        if (!room[n]) res.why = "room " + std::to_string(n) + " did not start";
    }
    long long end = first + static_cast<long long>(c.seconds * 1e9);
    if (res.why.empty() && end > now_ns()) usleep(static_cast<useconds_t>((end - now_ns()) / 1000));
    for (int n = 1; n <= c.rooms && res.why.empty(); n++)
        res.cpu.push_back(cpu_share(room[n], room_start[n]));
    stop_all(&r);
    sound_rig_stop(&r.rig);
    for (const auto &p : r.procs) res.logs.push_back(p.err_path);
    radio_lan_stop(&r.lan);
    if (!res.why.empty()) return res;
    std::string out = dir + "/lags.json";
    if (run_shell("/usr/bin/python3 '" + t.sync_lag + "' '" + r.rig.recording + "' " +
                  std::to_string(c.rooms) + " --after-mark --min-peak 0.05 --skip " +
                  std::to_string(c.skip_s) + " > '" + out + "'") != 0)
        res.why = "sync_lag.py failed";
    res.json = read_file(out);
    return res;
}

double rooms_json_number(const std::string &json, const std::string &key, size_t from) {
    size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos) return NAN;
    return strtod(json.c_str() + at + key.size() + 3, nullptr);
}

double rooms_json_item(const std::string &json, const std::string &key, int n) {
    size_t at = json.find("\"" + key + "\": [");
    if (at == std::string::npos) return NAN;
    const char *p = json.c_str() + at + key.size() + 5;
    for (int i = 0; i < n && p; i++) p = strchr(p, ',') ? strchr(p, ',') + 1 : nullptr;
    return p ? strtod(p, nullptr) : NAN;
}
