// broadcast.h - the server's sending: every channel on the air (station.h)
// sends its frames at the pace they play, interleaved, with the channel list
// at its interval, what each channel plays on the now-playing port, the
// repair of its data datagrams (repair.h) on the repair port and when they
// are due (timing.h) on the timing port, until it is told to stop; the
// folder is read again when it is told to reload. Between its sends it
// answers time requests (time_service.h).
#pragma once

#include <signal.h>
#include <stdio.h>

#include "mono_clock.h"
#include "station.h"

// Sends the list and the channels until a signal of stop (SIGTERM or
// SIGINT) arrives or, with once, every channel has ended; a SIGHUP reads
// the folder again (as reload_apply says). The signals are blocked;
// one that came before is taken too. Returns 0 then, or 1 when no channel
// plays any more (said on report), or when a send fails in a way that only
// a fault of the server explains. A network that is gone or refuses (the
// link down, the interface deleted, no route) does not stop it: one line
// when sends start failing and one when they work again, and the channels
// keep their clocks meanwhile (their audio of that time is lost).
int broadcast(on_air *air, const station_conf &conf, const sigset_t &signals, FILE *report);

// What a failed send means, by its errno: a full queue drops the datagram
// (a listener would lose it the same way); a network that is gone or
// refuses (ENETUNREACH, ENETDOWN, EHOSTUNREACH, ENODEV, EADDRNOTAVAIL,
// EPERM, ENOBUFS) loses it and the server goes on; anything else (EBADF,
// EFAULT, EINVAL, EMSGSIZE...) can only be a fault of the server.
enum send_failure { SEND_DROPPED, SEND_NETWORK_DOWN, SEND_FAULT };
send_failure broadcast_send_failure(int err);
