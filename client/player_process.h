// player_process.h - the client's player: a command run by /bin/sh on the read end
// of a pipe, in a process group of its own; watched only while the client
// waits for room in the pipe; stopped, its group with it, however the
// client ends (exit, or SIGTERM, SIGINT and SIGHUP). One player at a time.
#pragma once

// Catches the ending signals (SIGTERM, SIGINT, SIGHUP), so that an end by
// one of them stops the player first; those the process was started with
// ignored (as under nohup, or as a shell's background job) stay ignored.
void player_catch_ending_signals();

// Starts command through "sh -c" with the read end of a new pipe as its
// standard input, in a process group of its own; the child closes
// close_in_child (the client's socket) first. The player is stopped when
// the process exits. Returns the write end of the pipe, the only end the
// caller keeps, made non-blocking; or -1 after a report on standard error
// ("pipe()", "fork()"). Whatever is buffered for the standard streams must
// be written before: the child would write it again.
int player_start(const char *command, int close_in_child);

enum player_room {
    PLAYER_ROOM,         // the pipe has room, or has lost its reader (a write says so)
    PLAYER_PIPE_HELD,    // the player has ended, and what it left holds the pipe unread
    PLAYER_POLL_FAILED,  // errno set
};

// Waits until the pipe pd (player_start's) has room. While the player
// lives the wait takes as long as the player does. Once it has ended, a
// process it left behind may still hold the pipe: as long as that process
// reads anything within each PLAYER_HELD_PIPE_MS it is waited for (and so
// fed); after PLAYER_HELD_PIPE_MS in which nothing was read from the pipe,
// nobody is taken to read it any more.
player_room player_wait_for_room(int pd);

// How long nothing may be read from the pipe once the player has ended.
constexpr int PLAYER_HELD_PIPE_MS = 10000;

// Whether the pipe drains, judged from the bytes it holds, sampled while
// the client writes nothing to it: any fall is a read.
struct pipe_drain {
    long in_pipe = -1;        // bytes at the last sample; -1 when unknown
    long long since_ns = -1;  // when a read was last seen; the first sample counts as one
};

// Takes the sample in_pipe (-1 when the count could not be had) at now_ns.
// True when nothing has been seen read from the pipe for
// PLAYER_HELD_PIPE_MS.
bool pipe_drain_stalled(pipe_drain *d, long in_pipe, long long now_ns);

// Stops the player without leaving its group behind (see player_process.cc), and
// forgets it. Async-signal-safe; nothing when no player runs.
void player_stop();

// Has say called whenever the client ends after player_start, by an ending
// signal or by exit, before the player is stopped: the client's last word
// on standard error. say must be async-signal-safe; null for none. Set
// after player_start, so that the player's process, should its exec fail,
// says nothing.
void player_last_word(void (*say)());
