// gateway_peers.h - what the gateway benchmarks share: the options they
// have in common, their start (a private network namespace, the busy radio
// with a long piece on channel 1), Icecast with ffmpeg as its source, and
// the servers' memory and writes from /proc (their CPU: process_cpu_s,
// proc.h).
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "bench_util.h"
#include "proc.h"

// Where Icecast serves the MP3 that ffmpeg sends it.
constexpr const char *ICECAST_MOUNT = "/radio.mp3";

// A field of /proc/PID/status in KiB (VmRSS, VmHWM); -1 when missing.
long status_kib(pid_t pid, const char *field);
long rss_kib(pid_t pid);

// What pid has written so far (/proc/PID/io): its write-type system calls
// and the bytes they wrote.
struct io_counts {
    long long calls = 0, bytes = 0;
};
io_counts written_by(pid_t pid);

// Icecast as the Debian package ships it, but on 127.0.0.1:port, with room
// for clients, and as nobody (it refuses to serve as root); its files in dir.
bool start_icecast(int clients, uint16_t port, const std::string &dir, child_proc *p);

// ffmpeg sends the frames of mp3, looped, at the pace they play, to
// Icecast's ICECAST_MOUNT on 127.0.0.1:port.
bool start_source(const std::string &dir, const std::string &mp3, uint16_t port,
                  child_proc *source);

// Ends p with SIGTERM (SIGKILL after 3 s); with strict, an exit other than
// 0 is reported.
void stop_process(child_proc *p, const char *name, bool strict);

// The soft limit on open files raised to the hard one.
void raise_open_files();

// The busy radio's folder in dir, channel 1 playing a piece of long_s
// seconds that repeats no frame (*piece); "" (said) when it cannot be made.
std::string make_radio(const std::string &dir, int long_s, std::string *piece);

// The busy radio of one benchmark run: a temporary folder for its files
// (for remove_tree), and in it the radio's folder and channel 1's piece.
struct bench_radio {
    std::string dir, folder, piece;
};

// The options that both listener benchmarks take, with one meaning in
// each: --listeners N, --connect-rate N (a second), --seconds N (measured),
// --gateway PATH and --only LIST (the runs), read into these; then the
// benchmark's own options, more.
std::vector<bench_arg> listener_bench_args(int *listeners, double *connect_rate, double *seconds,
                                           std::string *gateway, std::string *only,
                                           const std::vector<bench_arg> &more = {});

// Whether there is a gateway to run: gateway, from --gateway PATH or this
// build; false after saying so.
bool gateway_given(const std::string &gateway);

// What a gateway benchmark does first, once its options are read: moves
// into a private network namespace, raises the open-files limit, and makes
// the radio (make_radio, channel 1 playing long_s seconds) in a new
// temporary folder. False after saying why.
bool enter_bench_radio(int long_s, bench_radio *r);

// Whether something accepts connections on 127.0.0.1:port.
bool accepts(uint16_t port);
