// option_number.h - a number given on a command line, checked against its
// range; the programs word the complaint alike.
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
