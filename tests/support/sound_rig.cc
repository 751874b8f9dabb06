// sound_rig.cc - a private sound server whose rooms one recorder hears.
#include "sound_rig.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int START_MS = 20000;  // for the server's socket and the first sound
constexpr int STOP_MS = 3000;    // for each process to end when asked

// A file of the rig's: home, xdg (its XDG_RUNTIME_DIR), tmp, run (its
// /run), cookie, asound.conf, server.log, script.pa.
std::string path_of(const sound_rig &r, const char *name) {
    return r.dir + "/" + name;
}

std::string pulse_conf_of(const sound_rig &r) {
    return path_of(r, "home") + "/.config/pulse";
}

// The positions of rec's channels: those that ALSA's pulse plugin gives a
// stream of that many channels, so that a stream on the recorder device
// reaches each channel unmixed (a position it lacks would stay silent).
const char *const POSITIONS[] = {"front-left",   "front-right", "rear-left", "rear-right",
                                 "front-center", "lfe",         "side-left", "side-right"};

std::string channel_map(int rooms) {
    std::string map;
    for (int i = 0; i < rooms; i++) map += std::string(i ? "," : "") + POSITIONS[i];
    return map;
}

// The server's start-up script. The socket is the last module, so that once
// it exists every sink does too.
std::string script_of(const sound_rig &r) {
    std::string s =
        "load-module module-null-sink sink_name=rec channels=" + std::to_string(r.rooms) +
        " rate=" + std::to_string(SOUND_RIG_RATE) +
        " format=s16le channel_map=" + channel_map(r.rooms) + "\n";
    for (int n = 1; n <= r.rooms; n++)
        s += "load-module module-remap-sink sink_name=" + sound_rig_device(n) +
             " master=rec channels=1 channel_map=mono master_channel_map=" + POSITIONS[n - 1] +
             " remix=no\n";
    s += "load-module module-native-protocol-unix socket=" + r.socket +
         " auth-anonymous=1 auth-cookie=" + path_of(r, "cookie") + "\n";
    return s;
}

// Every device a player may open; nothing else is defined, not even
// `default`, as ALSA_CONFIG_PATH names this file alone.
std::string alsa_conf(const sound_rig &r) {
    std::string server = "server \"unix:" + r.socket + "\"";
    std::string s = "pcm.recorder { type pulse " + server + " device rec }\n";
    for (int n = 1; n <= r.rooms; n++) {
        std::string name = sound_rig_device(n);
        s += "pcm." + name + " { type pulse " + server + " device " + name + " }\n";
    }
    return s;
}

// The sample rate fixed: a server that switched rec to another rate for a
// player would resample every room.
const char DAEMON_CONF[] =
    "default-sample-rate = 44100\n"
    "alternate-sample-rate = 44100\n"
    "flat-volumes = no\n";

// A client that finds no server must fail, not start one of its own in the
// host's namespaces.
const char CLIENT_CONF[] = "autospawn = no\n";

std::string write_files(const sound_rig &r) {
    std::string cmd = "mkdir -p '" + pulse_conf_of(r) + "' '" + path_of(r, "tmp") + "' '" + r.dir +
                      "/run' && mkdir -m 700 -p '" + path_of(r, "xdg") + "'";
    if (run_shell(cmd) != 0) return "cannot make the rig's folders in " + r.dir;
    if (!write_file(pulse_conf_of(r) + "/daemon.conf", DAEMON_CONF) ||
        !write_file(pulse_conf_of(r) + "/client.conf", CLIENT_CONF) ||
        !write_file(path_of(r, "script.pa"), script_of(r)) ||
        !write_file(path_of(r, "asound.conf"), alsa_conf(r)))
        return "cannot write the rig's configuration in " + r.dir;
    return "";
}

// No bus: without an address that leads nowhere the server would try to
// start a D-Bus daemon of its own.
std::string no_bus_of(const sound_rig &r) {
    return "unix:path=" + r.dir + "/no-bus";
}

void set_client_env(const sound_rig &r) {
    unsetenv("DISPLAY");
    setenv("DBUS_SESSION_BUS_ADDRESS", no_bus_of(r).c_str(), 1);
    setenv("DBUS_SYSTEM_BUS_ADDRESS", no_bus_of(r).c_str(), 1);
    setenv("HOME", path_of(r, "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (path_of(r, "home") + "/.config").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", path_of(r, "xdg").c_str(), 1);
    setenv("TMPDIR", path_of(r, "tmp").c_str(), 1);
    setenv("PULSE_COOKIE", path_of(r, "cookie").c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", (pulse_conf_of(r) + "/client.conf").c_str(), 1);
}

// In the forked child: new namespaces, the private mounts, then the server.
// Runs as root without --system: version 16 only warns that it is "not
// intended to be run as root" (the warning is in its log); --system would
// want a "pulse" user and /var/run/pulse and refuse the script's modules to
// clients. -n leaves out the default script (it would probe the host's sound
// cards, udev and D-Bus) and -F gives ours; --daemonize=no keeps it our child;
// --exit-idle-time=-1 keeps it between players; --use-pid-file=no leaves no
// pid file even in the private runtime folder; --realtime=no and
// --high-priority=no: no real-time threads on a machine shared with builds.
[[noreturn]] void exec_server(const sound_rig &r) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int log = open(path_of(r, "server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null_in = open("/dev/null", O_RDONLY);
    if (log < 0 || null_in < 0) _exit(126);
    dup2(null_in, 0);
    dup2(log, 1);
    dup2(log, 2);
    std::string run = path_of(r, "run");
    const char *failed = nullptr;
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) < 0)
        failed = "unshare(CLONE_NEWNS|CLONE_NEWNET)";
    else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        failed = "mount(/, MS_PRIVATE)";
    else if (mount(run.c_str(), "/run", nullptr, MS_BIND, nullptr) < 0)
        failed = "mount(/run)";
    else if (mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") < 0)
        failed = "mount(/dev/shm)";
    if (failed) {
        dprintf(2, "sound rig: %s: %s\n", failed, strerror(errno));
        _exit(126);
    }
    set_client_env(r);
    unsetenv("PULSE_SERVER");
    std::string script = path_of(r, "script.pa");
    const char *argv[] = {"pulseaudio",
                          "--daemonize=no",
                          "--exit-idle-time=-1",
                          "-n",
                          "-F",
                          script.c_str(),
                          "--use-pid-file=no",
                          "--realtime=no",
                          "--high-priority=no",
                          "--log-target=stderr",
                          nullptr};
    execvp(argv[0], const_cast<char **>(argv));
    dprintf(2, "sound rig: exec pulseaudio: %s\n", strerror(errno));
    _exit(127);
}

std::string ns_of(pid_t pid, const char *kind) {
    char buf[128];
    std::string path =
        (pid ? "/proc/" + std::to_string(pid) : std::string("/proc/self")) + "/ns/" + kind;
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    return buf;
}

// False once the server has ended; it is then reaped and forgotten, so that
// no later signal can reach another process that took its pid.
bool server_alive(sound_rig *r) {
    int status;
    if (r->server <= 0) return false;
    if (waitpid(r->server, &status, WNOHANG) == 0) return true;
    r->server = -1;
    return false;
}

bool file_exists(const std::string &path, mode_t type) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && (st.st_mode & S_IFMT) == type;
}

off_t file_size(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

std::string start_server(sound_rig *r) {
    pid_t pid = fork();
    if (pid < 0) return std::string("fork(): ") + strerror(errno);
    if (pid == 0) exec_server(*r);
    r->server = pid;
    bool up =
        wait_until([&] { return !server_alive(r) || file_exists(r->socket, S_IFSOCK); }, START_MS);
    if (!up || !server_alive(r)) return "the sound server did not start: " + sound_rig_log(*r);
    // The server, by now exec'd, must really sit in namespaces of its own.
    for (const char *kind : {"mnt", "net"}) {
        std::string ours = ns_of(0, kind), its = ns_of(pid, kind);
        if (ours.empty() || its.empty() || ours == its)
            return std::string("the sound server is not in a ") + kind + " namespace of its own";
    }
    return "";
}

// The recorder asks for 10 ms blocks, and the null sink renders in blocks
// that small from then on (until then it renders 2 s ahead and the recorder
// gets nothing: the recording starts when the first block comes). 10 ms is
// 441 frames: with a block of whole frames the sink keeps a steady rate (1
// ms, 44.1 frames, has it run 900 to 1200 ppm fast, and wander). A stream
// that starts into the running sink loses the part of its first block that
// was rendered already, up to 9.4 ms of it with 10 ms blocks (0.4 to 0.9 ms
// with 1 ms ones): a player that keeps its device running, writing silence
// until its first sample is due, loses nothing.
std::string start_recorder(sound_rig *r) {
    std::vector<std::string> argv = sound_rig_prefix(*r);
    std::vector<std::string> rec = {"parec",
                                    "--device=rec.monitor",
                                    "--raw",
                                    "--format=s16le",
                                    "--rate=" + std::to_string(SOUND_RIG_RATE),
                                    "--channels=" + std::to_string(r->rooms),
                                    "--channel-map=" + channel_map(r->rooms),
                                    "--latency-msec=10"};
    argv.insert(argv.end(), rec.begin(), rec.end());
    if (!proc_start(&r->recorder, argv, r->dir, "recorder", false)) return "cannot start parec";
    r->recording = r->recorder.out_path;
    int status;
    bool ended = false;
    wait_until(
        [&] {
            ended = waitpid(r->recorder.pid, &status, WNOHANG) == r->recorder.pid;
            return ended || file_size(r->recording) > 0;
        },
        START_MS);
    if (ended) r->recorder.pid = -1;
    if (file_size(r->recording) == 0)
        return "the recorder got no sound: " + read_file(r->recorder.err_path);
    return "";
}

// Asks with sig, waits, then kills; reaps in every case.
void end_child(child_proc *p, int sig) {
    if (p->pid < 0) return;
    kill(p->pid, sig);
    int status;
    if (!proc_wait(p, STOP_MS, &status)) proc_kill(p);
}

}  // namespace

std::string sound_rig_device(int n) {
    return "room" + std::to_string(n);
}

std::string sound_rig_start(sound_rig *rig, const std::string &dir, int rooms) {
    if (rooms < 2 || rooms > 8 || rooms % 2) return "the rig has 2, 4, 6 or 8 rooms";
    rig->dir = dir + "/sound";
    rig->rooms = rooms;
    rig->socket = rig->dir + "/native";
    std::string why = write_files(*rig);
    if (why.empty()) why = start_server(rig);
    if (why.empty()) why = start_recorder(rig);
    if (!why.empty()) sound_rig_stop(rig);
    return why;
}

std::vector<std::string> sound_rig_prefix(const sound_rig &rig) {
    return {"env",
            "-u",
            "DISPLAY",
            "DBUS_SESSION_BUS_ADDRESS=" + no_bus_of(rig),
            "DBUS_SYSTEM_BUS_ADDRESS=" + no_bus_of(rig),
            "ALSA_CONFIG_PATH=" + path_of(rig, "asound.conf"),
            "PULSE_SERVER=unix:" + rig.socket,
            "PULSE_CLIENTCONFIG=" + pulse_conf_of(rig) + "/client.conf",
            "PULSE_COOKIE=" + path_of(rig, "cookie"),
            "HOME=" + path_of(rig, "home"),
            "XDG_CONFIG_HOME=" + path_of(rig, "home") + "/.config",
            "XDG_RUNTIME_DIR=" + path_of(rig, "xdg"),
            "TMPDIR=" + path_of(rig, "tmp")};
}

void sound_rig_stop(sound_rig *rig) {
    // SIGINT: parec writes out what it holds and ends.
    end_child(&rig->recorder, SIGINT);
    if (rig->server > 0) {
        child_proc server;
        server.pid = rig->server;
        end_child(&server, SIGTERM);
        rig->server = -1;
    }
}

std::string sound_rig_log(const sound_rig &rig) {
    std::string text = read_file(path_of(rig, "server.log"));
    size_t at = text.size() > 1500 ? text.rfind('\n', text.size() - 1500) : std::string::npos;
    return at == std::string::npos ? text : text.substr(at + 1);
}
