// options.h - command-line options that the radio's programs read alike:
// numbers checked against their range (the complaint worded alike), the
// place of the radio (-M, -P, -I), the listener's long options and the
// usage exit.
#pragma once

#include <string>

// True with *value set when text is a decimal number from lo to hi,
// nothing before or after it.
bool option_number(const char *text, long long lo, long long hi, long long *value);

// "WHAT must be a number from LO to HI, not 'TEXT'": what a program says
// when option_number refused text.
std::string option_number_complaint(const char *text, long long lo, long long hi, const char *what);

// -M, -P and -I as the server and the gateway take them: the group, the port
// (1 to 65535) and the interface. Returns 1 when c is one of them (arg
// stored), 0 when c is another option, -1 when the port is no such number
// (*why says so).
int place_option(int c, const char *arg, const char **group, int *port, const char **iface,
                 std::string *why);

// Ends the process with the usage text: asked for (-H), on standard output
// with status 0 (1 when it cannot be written); after a misuse that
// getopt_long has already named, on standard error with status 1.
[[noreturn]] void usage_exit(const char *usage, bool asked);

// The long options of a listener of the radio, the client's and the
// gateway's alike: --port, --mgroup, --help, --interface and --source (-P,
// -M, -H, -I, -S), for the head of a getopt_long table. New names must not
// start with p, m or h: "--p", "--m" and "--h" abbreviate these.
// clang-format off
#define LISTENER_LONG_OPTIONS                                                               \
    {"port", required_argument, nullptr, 'P'}, {"mgroup", required_argument, nullptr, 'M'}, \
    {"help", no_argument, nullptr, 'H'}, {"interface", required_argument, nullptr, 'I'},     \
    {"source", required_argument, nullptr, 'S'}
// clang-format on
