// sound_rig.h - rooms whose line-outs one recorder hears: a sound server of
// the test's own, each room an ALSA device that plays into one channel of
// one multi-channel recording, so that when each room played a sample can
// be measured from outside the players (sync_lag.py).
//
// The server runs in a mount and network namespace of its own, made for it:
// its /run is a folder of the rig's, /dev/shm a fresh tmpfs, and it has no
// network but an unconfigured lo, so nothing it opens or writes touches the
// host's. Its socket, configuration, cookie, HOME, XDG_RUNTIME_DIR and TMPDIR
// are all in the rig's folder. It holds:
//   rec        a null sink of `rooms` channels, 44100 Hz, whose monitor the
//              recorder (parec) writes to the recording; its channels are
//              where ALSA puts a stream's of as many (front-left, ...)
//   roomN      a mono sink on channel N of rec (a remap sink); a stereo
//              player's stream is mixed down to it, (L + R) / 2
// and the rig's ALSA configuration gives the players the devices roomN and
// `recorder` (rec itself, one channel per room, for signals whose channels
// must start together), each on the pulse plugin, and no other device: a
// player that opens `default` fails rather than find a real sound card.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "proc.h"

constexpr int SOUND_RIG_RATE = 44100;

struct sound_rig {
    std::string dir;        // the rig's folder (under the test's)
    int rooms = 0;          // channels of the recording, one per room
    pid_t server = -1;      // the sound server, in its own namespaces
    child_proc recorder;    // parec, writing the recording
    std::string socket;     // the server's socket
    std::string recording;  // raw s16le, `rooms` channels interleaved
};

// Starts the server with rooms rooms (2, 4, 6 or 8) in dir/sound and the
// recorder, and returns once the recorder gets sound: sample 0 of the
// recording is then a moment before anything the caller plays. "" on
// success, else why not (what was started is stopped again).
std::string sound_rig_start(sound_rig *rig, const std::string &dir, int rooms);

// The ALSA device of room n (1 to rooms): "room1", ...
std::string sound_rig_device(int n);

// The argv prefix that runs a program as a client of the rig: env(1) with
// the rig's ALSA configuration, server, client configuration (no autospawn),
// HOME, XDG_RUNTIME_DIR and TMPDIR, D-Bus addresses that lead nowhere, and
// DISPLAY unset.
std::vector<std::string> sound_rig_prefix(const sound_rig &rig);

// Ends the recorder (which first writes out what it holds) and the server,
// and reaps them. Harmless when called twice or after a failed start.
void sound_rig_stop(sound_rig *rig);

// The last lines of the server's log, for a failed test's message.
std::string sound_rig_log(const sound_rig &rig);
