// player_process.cc - starting, watching, waiting on and stopping the client's player.
#include "player_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "mono_clock.h"

namespace {

// The player, for the handler of the signals that end the client and for
// the exit handler. Set while those signals are blocked, before they can be
// delivered.
volatile pid_t player_pid = -1;
volatile int player_fd = -1;
// A descriptor that becomes readable when the player ends (pidfd_open), or
// -1 where the system has none.
volatile int player_pidfd = -1;
// Said when the client ends (player_last_word); set after the player
// started, so a child that exits after a failed exec says nothing.
void (*volatile last_word)() = nullptr;

constexpr int ENDING_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};
// How long the client, when it ends, gives the player to finish what it
// has, and then its group to go after SIGTERM: PLAYER_GRACE_STEPS waits of
// PLAYER_GRACE_STEP_MS each (about a second).
constexpr int PLAYER_GRACE_STEPS = 100;
constexpr int PLAYER_GRACE_STEP_MS = 10;
// Where the system has no pidfd, how often a wait for room looks at the
// player; once it has ended, how often the wait looks at the pipe.
constexpr int PLAYER_CHECK_MS = 100;

// True once the player process has ended. It is not reaped here: as a
// zombie it keeps its process id, and so its group's, for player_stop.
// ECHILD: the system reaped it, as when the client was started with SIGCHLD
// ignored. waitid is a system call like waitpid, safe in a signal handler.
bool player_ended() {
    siginfo_t info;
    info.si_pid = 0;
    if (waitid(P_PID, static_cast<id_t>(player_pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0)
        return errno == ECHILD;
    return info.si_pid != 0;
}

// Ends the client by sig without leaving the player behind (player_stop).
void end_by_signal(int sig) {
    if (last_word) last_word();
    player_stop();
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    raise(sig);
    _exit(128 + sig);
}

sigset_t ending_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : ENDING_SIGNALS) sigaddset(&set, sig);
    return set;
}

// Stops the player when the client exits after starting it, for whatever
// reason: no channel number, a failed write, a pipe held but not read.
void stop_player_at_exit() {
    sigset_t ending = ending_signals();
    sigprocmask(SIG_BLOCK, &ending, nullptr);  // else a signal now would stop it twice
    if (last_word) last_word();
    player_stop();
}

// The child's part of player_start: the pipe's read end as standard input,
// its own process group, the signals as the client found them, then the
// shell. Returns only when exec fails.
void become_player(const char *command, int close_in_child, const int pd[2],
                   const sigset_t &old_mask) {
    close(close_in_child);
    close(pd[1]);
    dup2(pd[0], 0);
    if (pd[0] > 0) close(pd[0]);
    setpgid(0, 0);
    signal(SIGPIPE, SIG_DFL);
    for (int sig : ENDING_SIGNALS) {
        struct sigaction now;
        if (sigaction(sig, nullptr, &now) == 0 && now.sa_handler == end_by_signal)
            signal(sig, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
}

// Closes the pipe (a player that reads its input sees end of file and
// finishes), waits about a second for the player, sends SIGTERM to its
// process group, which takes its children too, and SIGKILL about a second
// later if any of the group is still there (a member that ignores SIGTERM,
// or a zombie whose new parent does not reap it: SIGKILL does it no harm).
// Async-signal-safe calls only. The player is reaped only after its group
// is signalled: a group keeps its id while any member is left, zombies
// included.
void stop_group() {
    if (player_fd >= 0) close(player_fd);
    for (int i = 0; i < PLAYER_GRACE_STEPS && !player_ended(); i++)
        poll(nullptr, 0, PLAYER_GRACE_STEP_MS);
    kill(-player_pid, SIGTERM);
    for (int i = 0; i < PLAYER_GRACE_STEPS; i++) {
        waitpid(player_pid, nullptr, WNOHANG);
        if (kill(-player_pid, 0) < 0 && errno == ESRCH) return;
        poll(nullptr, 0, PLAYER_GRACE_STEP_MS);
    }
    kill(-player_pid, SIGKILL);
}

// Registers the player's stop at exit, once per process; false after a report.
bool stop_at_exit() {
    static bool registered = false;
    // Harmless until the player's id is set, and in the child, which never sets it.
    if (!registered && atexit(stop_player_at_exit) != 0) {
        fprintf(stderr, "atexit(): cannot register the player's stop\n");
        return false;
    }
    registered = true;
    return true;
}

// Bytes waiting in the pipe pd, or -1 when the system cannot tell.
long bytes_in(int pd) {
    int n;
    return ioctl(pd, FIONREAD, &n) < 0 ? -1 : n;
}

}  // namespace

void player_catch_ending_signals() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = end_by_signal;
    sa.sa_mask = ending_signals();  // one ending at a time
    for (int sig : ENDING_SIGNALS) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

int player_start(const char *command, int close_in_child) {
    if (!stop_at_exit()) return -1;
    int pd[2];
    if (pipe(pd) < 0) {
        perror("pipe()");
        return -1;
    }
    sigset_t ending = ending_signals();
    sigset_t old;
    sigprocmask(SIG_BLOCK, &ending, &old);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork()");
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(pd[0]);
        close(pd[1]);
        return -1;
    }
    if (pid == 0) {
        become_player(command, close_in_child, pd, old);
        perror("execl()");
        exit(1);
    }
    setpgid(pid, pid);  // also here: the group must exist before a signal can come
    close(pd[0]);
    fcntl(pd[1], F_SETFL, fcntl(pd[1], F_GETFL) | O_NONBLOCK);
    player_pid = pid;
    player_fd = pd[1];
    // By its number: glibc's wrapper is recent, and its 2.36 header does not
    // declare it for C++.
    player_pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return pd[1];
}

bool pipe_drain_stalled(pipe_drain *d, long in_pipe, long long now) {
    bool fell = in_pipe >= 0 && d->in_pipe >= 0 && in_pipe < d->in_pipe;
    if (d->since_ns < 0 || fell) d->since_ns = now;
    d->in_pipe = in_pipe;
    return now - d->since_ns >= PLAYER_HELD_PIPE_MS * 1'000'000LL;
}

// The running client watches the player only here, through its pidfd
// polled beside the pipe (where there is none, every PLAYER_CHECK_MS), so
// the relay's path gains nothing while the pipe has room. Once the player
// has ended, the pipe is sampled every PLAYER_CHECK_MS: nothing is written
// to it meanwhile, so fewer bytes in it mean a read.
player_room player_wait_for_room(int pd) {
    int pidfd = player_pidfd;
    pollfd p[2] = {{pd, POLLOUT, 0}, {pidfd, POLLIN, 0}};
    pipe_drain drain;
    pipe_drain_stalled(&drain, bytes_in(pd), now_ns());
    for (;;) {
        bool ended = player_ended();
        if (ended && pipe_drain_stalled(&drain, bytes_in(pd), now_ns())) return PLAYER_PIPE_HELD;
        bool by_pidfd = pidfd >= 0 && !ended;  // an ended player's pidfd stays readable
        int n = poll(p, by_pidfd ? 2 : 1, by_pidfd ? -1 : PLAYER_CHECK_MS);
        if (n > 0 && p[0].revents != 0) return PLAYER_ROOM;
        if (n < 0 && errno != EINTR) return PLAYER_POLL_FAILED;
    }
}

void player_last_word(void (*say)()) {
    last_word = say;
}

void player_stop() {
    if (player_pid <= 0) return;
    stop_group();
    if (player_pidfd >= 0) close(player_pidfd);
    player_pid = -1;
    player_fd = -1;
    player_pidfd = -1;
}
