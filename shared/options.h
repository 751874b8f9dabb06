// options.h - command-line options that the radio's programs read alike:
// numbers checked against their range (the complaint worded alike), the
// place of the radio (-M, -P, -I), the long options they share, the misuse
// and usage exits, and what -S means.
#pragma once

#include <string>

// A program's name, which heads its misuse line, and what follows that
// line: its usage text, or a hint to ask for it.
struct program_usage {
    const char *name;
    const char *after_misuse;
};

// Ends the process after a misuse: "NAME: WHY", then after_misuse, on
// standard error, status 1.
[[noreturn]] void misuse_exit(const program_usage &p, const std::string &why);

// True with *value set when text is a decimal number from lo to hi,
// nothing before or after it.
bool option_number(const char *text, long long lo, long long hi, long long *value);

// "WHAT must be a number from LO to HI, not 'TEXT'": what a program says
// when option_number refused text.
std::string option_number_complaint(const char *text, long long lo, long long hi, const char *what);

// The value of text, a number from lo to hi that option what gives; else
// misuse_exit with option_number_complaint.
long long number_or_exit(const program_usage &p, const char *text, long long lo, long long hi,
                         const char *what);

// number_or_exit for a UDP or TCP port: lo (0 where 0 means none) to 65535.
int port_or_exit(const program_usage &p, const char *text, int lo, const char *what);

// -M, -P and -I as the server and the gateway take them: the group, the port
// (1 to 65535) and the interface. True when c is one of them (arg stored),
// false when c is another option; misuse_exit when the port is no such
// number.
bool place_option(const program_usage &p, int c, const char *arg, const char **group, int *port,
                  const char **iface);

// Ends the process with the usage text: asked for (-H), on standard output
// with status 0 (1 when it cannot be written); after a misuse that
// getopt_long has already named, on standard error with status 1.
[[noreturn]] void usage_exit(const char *usage, bool asked);

// The long options of every program of the radio but stream_sender:
// --port, --mgroup, --help and --interface (-P, -M, -H, -I), for the head of
// a getopt_long table.
// clang-format off
#define PLACE_LONG_OPTIONS                                                                  \
    {"port", required_argument, nullptr, 'P'}, {"mgroup", required_argument, nullptr, 'M'}, \
    {"help", no_argument, nullptr, 'H'}, {"interface", required_argument, nullptr, 'I'}
// clang-format on

// The long options of a listener of the radio, the client's and the
// gateway's alike: PLACE_LONG_OPTIONS and --source (-S). New names must
// not start with p, m or h: "--p", "--m" and "--h" abbreviate these.
// clang-format off
#define LISTENER_LONG_OPTIONS PLACE_LONG_OPTIONS, {"source", required_argument, nullptr, 'S'}
// clang-format on

// What -S means, for the usage texts: the letter is kept where each
// program has always had it, so the note says which meaning it has there.
#define S_IS_SOURCE_PORT \
    "Note: -S is a source port here; in mcast-client and stream_gateway, a sender.\n"
#define S_IS_SENDER \
    "Note: -S is a sender here; in stream_server and stream_sender, a source port.\n"
